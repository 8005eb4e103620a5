// Launcher messages: the message record and its helpers, the name of the
// socket file through which a launcher is reached, the registry of
// processors that answer incoming messages, and the processor that hands a
// message to the hosted Java VM. The transport is vek_message_unix (Linux);
// the Windows build has the registry and the bridge but no transport.
#include "vek_message.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vek_function_slot.h"
#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#ifndef _WIN32
#include "vek_file.h"
#include "vek_md5.h"
#endif

namespace {

constexpr jint LOCAL_FRAME_CAPACITY = 32;
constexpr size_t SOCKET_PATH_CAPACITY = 108;  // sun_path of a local socket address

const char* const MESSAGE_HANDLER_CLASS = "com/nimbo/common/launcher/message/MessageHandler";
const char* const INCOMING_MESSAGE_SIGNATURE = "(IZ[BZ)Lcom/nimbo/common/launcher/message/Message;";

vek_list_t* processor_list = nullptr;    // message processors, newest first; never destroyed
vek_mutex_t* processor_mutex = nullptr;  // "message processor": held for a whole dispatch
vek_mutex_t* registry_mutex = nullptr;   // "message processor registry": guards processor_list, held briefly
// A processor may change the registry (a VM destroyed from a processor
// unregisters the VM's), and exit processing may run while a processor
// holds processor_mutex (exit() from a processor, or System.exit from the
// Java handler, whose exit handlers run on another thread). Neither may
// wait for the dispatch: they change the registry under registry_mutex alone.
thread_local bool dispatching = false;   // this thread runs a dispatch
std::atomic<bool> exiting{false};        // exit processing has begun

// The Java bridge. Written only by the lifecycle hook before it registers the
// VM processor (under processor_mutex), read only by that processor during a
// dispatch (under processor_mutex too).
JavaVM* java_vm = nullptr;                      // the VM in use; NULL when the bridge is unusable
jclass gMessageHandlerClass = nullptr;          // global reference to MessageHandler
jmethodID gMessageHandler_newMessage = nullptr; // its static incomingMessage
bool vm_init_done = false;                      // the first VM announcement has been handled

using text_ptr = std::unique_ptr<char, decltype(&free)>;

void* as_slot(vek_message_processor_t processor) { return vek::function_slot(processor); }

vek_message_processor_t as_processor(void* slot) { return vek::slot_function<vek_message_processor_t>(slot); }

bool registry_exists(const char* caller) {
  if (processor_list != nullptr) return true;
  veklog(VEK_HERE, VEKLOG_ERROR,
         "%s() called before vek_lifecycleInit() created the message processor registry. This is an internal "
         "programming error",
         caller);
  return false;
}

// Takes and clears the pending exception, if any; null when there is none.
jthrowable take_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return nullptr;
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  return pending;
}

// Logs `text` at WARN, through veklog_ex with the pending exception when
// there is one (taken and cleared first: the VM logger may call into Java).
void warn_with_exception(JNIEnv* env, const char* text) {
  jthrowable thrown = take_exception(env);
  if (thrown != nullptr) {
    veklog_ex(VEK_HERE, VEKLOG_WARN, thrown, "%s", text);
  } else {
    veklog(VEK_HERE, VEKLOG_WARN, "%s", text);
  }
}

// Finds MessageHandler and its incomingMessage; on failure the VM is
// forgotten, so that the VM processor answers nothing.
void look_up_message_handler(JNIEnv* env) {
  jclass found = vek_findClass(env, nullptr, MESSAGE_HANDLER_CLASS);
  if (found == nullptr) {
    java_vm = nullptr;
    jthrowable thrown = take_exception(env);
    if (thrown != nullptr) {
      veklog_ex(VEK_HERE, VEKLOG_WARN, thrown, "Could not load the com.nimbo.common.launcher.message.MessageHandler class.");
    } else {
      veklog(VEK_HERE, VEKLOG_WARN,
             "Could not load the com.nimbo.common.launcher.message.MessageHandler class. No further information is "
             "available.");
    }
    return;
  }
  gMessageHandlerClass = static_cast<jclass>(env->NewGlobalRef(found));
  env->DeleteLocalRef(found);
  jmethodID method = gMessageHandlerClass == nullptr
                         ? nullptr
                         : env->GetStaticMethodID(gMessageHandlerClass, "incomingMessage", INCOMING_MESSAGE_SIGNATURE);
  if (method == nullptr || env->ExceptionCheck()) {
    java_vm = nullptr;
    warn_with_exception(env,
                        "Could not find the method newMessage() in the com.nimbo.common.launcher.message."
                        "MessageHandler class.");
    if (gMessageHandlerClass != nullptr) env->DeleteGlobalRef(gMessageHandlerClass);
    gMessageHandlerClass = nullptr;
    return;
  }
  gMessageHandler_newMessage = method;
}

// First VM announcement: remember the VM and look up the Java handler on
// this thread, attached for the purpose when it was not.
void init_java_bridge(JavaVM* vm) {
  if (vm != nullptr) {
    java_vm = vm;
    JNIEnv* env = vek_getEnvFromJVM(vm);
    bool attached_here = false;
    if (env == nullptr) attached_here = vek_attachThreadToJVM(vm, &env);
    if (env == nullptr) {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not obtain current environment pointer from the Java VM");
      java_vm = nullptr;
    } else {
      look_up_message_handler(env);
    }
    if (attached_here) vek_detachThreadFromJVM(vm);
  }
  vm_init_done = true;
}

void messaging_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* vm) {
  switch (stage) {
    case VEK_VM_AVAILABLE:
      if (!vm_init_done) init_java_bridge(vm);
      vek_addMessageProcessor(vek_VmMessageProcessor);
      break;
    case VEK_VM_UNAVAILABLE:
      vek_removeMessageProcessor(vek_VmMessageProcessor);
      break;
    case VEK_SHUTDOWN:
      vek_message_native_shutdown();
      break;
    case VEK_CHILD_AFTER_FORK:
      break;
  }
}

// Hands `incoming` to MessageHandler.incomingMessage inside a local frame.
vek_message_t* call_java_handler(JNIEnv* env, vek_message_t* incoming, bool already_handled) {
  const char* pass_failed = "Could not pass the inter-launcher message into the embedded VM for handling.";
  if (env->PushLocalFrame(LOCAL_FRAME_CAPACITY) != JNI_OK) {
    warn_with_exception(env, pass_failed);
    return nullptr;
  }
  const jsize length = incoming->length > 0 && incoming->data != nullptr ? incoming->length : 0;
  jbyteArray payload = env->NewByteArray(length);
  if (payload != nullptr && length > 0)
    env->SetByteArrayRegion(payload, 0, length, reinterpret_cast<const jbyte*>(incoming->data));
  jobject result = nullptr;
  if (payload != nullptr && !env->ExceptionCheck()) {
    // The wire carries an int; Java wants a strict boolean of its low byte.
    const jboolean response_expected = (incoming->response_expected & 0xFF) != 0 ? JNI_TRUE : JNI_FALSE;
    result = env->CallStaticObjectMethod(gMessageHandlerClass, gMessageHandler_newMessage,
                                         static_cast<jint>(incoming->type), response_expected, payload,
                                         already_handled ? JNI_TRUE : JNI_FALSE);
  }
  vek_message_t* reply = nullptr;
  if (payload == nullptr || env->ExceptionCheck()) {
    warn_with_exception(env, pass_failed);
  } else if (!already_handled && result != nullptr) {
    reply = vek_convert_java_message_to_native(env, result);
    if (env->ExceptionCheck()) {
      warn_with_exception(env, "Could not convert the embedded Java VM's inter-launcher message into its native format.");
      vek_destroyMessage(reply);
      reply = nullptr;
    }
  }
  env->PopLocalFrame(nullptr);
  return reply;
}

// Reads one field of a Java message; on a missing field the lookup's
// exception is taken, the ERROR logged and the exception raised again, so
// that the caller sees it pending.
jfieldID message_field(JNIEnv* env, jclass cls, const char* name, const char* signature, const char* missing_text) {
  jfieldID field = env->GetFieldID(cls, name, signature);
  if (field != nullptr && !env->ExceptionCheck()) return field;
  jthrowable thrown = take_exception(env);
  veklog(VEK_HERE, VEKLOG_ERROR, "%s", missing_text);
  if (thrown != nullptr) env->Throw(thrown);
  return nullptr;
}

// Copies a Java byte array into the message's payload; false when out of memory.
bool copy_java_payload(JNIEnv* env, jbyteArray data, vek_message_t* message) {
  const jsize length = env->GetArrayLength(data);
  if (length <= 0) return true;
  message->data = static_cast<char*>(malloc(static_cast<size_t>(length)));
  if (message->data == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate %ld bytes for the returned message object's data.",
           static_cast<long>(length));
    return false;
  }
  env->GetByteArrayRegion(data, 0, length, reinterpret_cast<jbyte*>(message->data));
  message->length = length;
  return true;
}

// Registered with atexit after the lifecycle's exit handler, so run before
// it: from here on no registry change waits for a dispatch.
void mark_exiting() { exiting = true; }

// Holds processor_mutex for a registry change made from outside a dispatch,
// so that a processor removed is not running when the removal returns.
class RegistryChange {
 public:
  RegistryChange() : dispatch_(dispatching || exiting ? nullptr : processor_mutex), registry_(registry_mutex) {}

 private:
  VekMutexGuard dispatch_;
  VekMutexGuard registry_;
};

bool is_registered(void* slot) {
  VekMutexGuard lock(registry_mutex);
  return vek_listFind(processor_list, slot) >= 0;
}

// The processors to ask, newest first: a copy, since a processor may change
// the registry while the dispatch runs. Empty when out of memory (logged).
std::vector<void*> processors_to_ask() {
  std::vector<void*> slots;
  try {
    VekMutexGuard lock(registry_mutex);
    for (size_t i = 0; i < vek_listGetSize(processor_list); ++i) slots.push_back(vek_listGet(processor_list, i));
  } catch (const std::bad_alloc&) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not dispatch an inter-launcher message: out of memory");
    slots.clear();
  }
  return slots;
}

// Marks this thread as dispatching for one scope.
class Dispatching {
 public:
  Dispatching() : outer_(dispatching) { dispatching = true; }
  ~Dispatching() { dispatching = outer_; }
  Dispatching(const Dispatching&) = delete;
  Dispatching& operator=(const Dispatching&) = delete;

 private:
  bool outer_;
};

}  // namespace

extern "C" vek_message_t* vek_createEmptyMessage(void) {
  auto* message = static_cast<vek_message_t*>(calloc(1, sizeof(vek_message_t)));
  if (message == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate a new inter-launcher message.");
    return nullptr;
  }
  message->type = VEK_MESSAGE_NONE;
  message->response_expected = 1;
  return message;
}

extern "C" void vek_destroyMessage(vek_message_t* message) {
  if (message == nullptr) return;
  free(message->data);
  free(message);
}

extern "C" void vek_setMessageTextPayload(vek_message_t* message, const char* text) {
  if (message == nullptr) return;
  free(message->data);
  message->data = nullptr;
  message->length = 0;
  if (text == nullptr) return;
  const size_t length = strlen(text) + 1;
  if (length > static_cast<size_t>(VEK_MESSAGE_MAX_LENGTH)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) A message text of %lu bytes exceeds the %ld bytes a message can carry.",
           static_cast<unsigned long>(length), static_cast<long>(VEK_MESSAGE_MAX_LENGTH));
    return;
  }
  message->data = static_cast<char*>(malloc(length));
  if (message->data == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate %lu bytes for a message text.", static_cast<unsigned long>(length));
    return;
  }
  memcpy(message->data, text, length);
  message->length = static_cast<int32_t>(length);
}

extern "C" char* vek_getMessagePayloadAsText(vek_message_t* message) {
  if (message == nullptr || message->length <= 0 || message->data == nullptr) return nullptr;
  const size_t length = static_cast<size_t>(message->length);
  char* text = static_cast<char*>(malloc(length + 1));
  if (text == nullptr) return nullptr;
  memcpy(text, message->data, length);
  text[length] = '\0';
  return text;
}

#ifndef _WIN32
extern "C" char* vek_getMessagePath(const char* app_name, const char* state_location) {
  if (app_name == nullptr || state_location == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) null argument passed to vek_getMessagePath()");
    return nullptr;
  }
  const char* temp_dir = vek_getTempDir();
  if (temp_dir == nullptr) return nullptr;
  try {
    text_ptr digest(vek_MD5String((std::string(app_name) + state_location).c_str()), free);
    if (digest == nullptr) return nullptr;
    std::string path = std::string(temp_dir) + "/" + app_name + "-" + digest.get() + ".msg";
    // The short form also serves names with a "/", which would otherwise
    // place the socket file outside the temporary directory.
    if (path.size() >= SOCKET_PATH_CAPACITY || strchr(app_name, '/') != nullptr)
      path = std::string(temp_dir) + "/" + digest.get() + ".msg";
    return strdup(path.c_str());
  } catch (...) {
    return nullptr;
  }
}
#endif

extern "C" void vek_addMessageProcessor(vek_message_processor_t processor) {
  if (processor == nullptr || !registry_exists("vek_addMessageProcessor")) return;
  RegistryChange change;
  vek_listInsert(processor_list, as_slot(processor), 0);
}

extern "C" bool vek_removeMessageProcessor(vek_message_processor_t processor) {
  if (processor == nullptr || !registry_exists("vek_removeMessageProcessor")) return false;
  RegistryChange change;
  return vek_listRemove(processor_list, as_slot(processor));
}

// A processor removed while the dispatch runs is not asked any more; one
// added meanwhile is asked from the next dispatch on.
extern "C" vek_message_t* vek_handle_message(vek_message_t* incoming) {
  if (incoming == nullptr || !registry_exists("vek_handle_message")) return nullptr;
  VekMutexGuard lock(processor_mutex);
  Dispatching mark;
  vek_message_t* answer = nullptr;
  for (void* slot : processors_to_ask()) {
    if (!is_registered(slot)) continue;
    vek_message_t* reply = as_processor(slot)(incoming, answer != nullptr);
    if (answer == nullptr) {
      answer = reply;
    } else {
      vek_destroyMessage(reply);
    }
  }
  return answer;
}

extern "C" void vek_initialize_messaging(void) {
  if (processor_list == nullptr) {
    processor_list = vek_listCreate(1);
    processor_mutex = vek_createMutex("message processor");
    registry_mutex = vek_createMutex("message processor registry");
    atexit(mark_exiting);
  }
  vek_message_native_init();
  vek_addLifecycleNotification(messaging_lifecycle);
}

extern "C" vek_message_t* vek_convert_java_message_to_native(JNIEnv* env, jobject javaOutgoing) {
  if (env == nullptr || javaOutgoing == nullptr) return nullptr;
  jclass cls = env->GetObjectClass(javaOutgoing);
  if (cls == nullptr) return nullptr;
  jfieldID type_field = message_field(env, cls, "mType", "I", "Could not find the type field in the returned message object.");
  jfieldID expected_field =
      type_field == nullptr ? nullptr
                            : message_field(env, cls, "mResponseExpected", "Z",
                                            "Could not find the 'response expected' field in the returned message object.");
  jfieldID data_field = expected_field == nullptr ? nullptr
                                                  : message_field(env, cls, "mData", "[B",
                                                                  "Could not find the data field in the returned message object.");
  env->DeleteLocalRef(cls);
  if (data_field == nullptr) return nullptr;

  vek_message_t* message = vek_createEmptyMessage();
  if (message == nullptr) return nullptr;
  message->type = env->GetIntField(javaOutgoing, type_field);
  message->response_expected = env->GetBooleanField(javaOutgoing, expected_field) ? 1 : 0;
  auto data = static_cast<jbyteArray>(env->GetObjectField(javaOutgoing, data_field));
  if (data != nullptr) {
    const bool copied = copy_java_payload(env, data, message);
    env->DeleteLocalRef(data);
    if (!copied) {
      vek_destroyMessage(message);
      return nullptr;
    }
  }
  return message;
}

extern "C" vek_message_t* vek_VmMessageProcessor(vek_message_t* incoming, bool already_handled) {
  if (incoming == nullptr || java_vm == nullptr || gMessageHandler_newMessage == nullptr) return nullptr;
  JNIEnv* env = vek_getEnvFromJVM(java_vm);
  bool attached_here = false;
  if (env == nullptr) {
    if (!vek_attachThreadToJVM(java_vm, &env)) {
      veklog(VEK_HERE, VEKLOG_WARN, "(internal error) Could not obtain current environment pointer from the Java VM");
      return nullptr;
    }
    attached_here = true;
  }
  vek_message_t* reply = call_java_handler(env, incoming, already_handled);
  if (attached_here) vek_detachThreadFromJVM(java_vm);
  return reply;
}
