// The bridge between launcher messages and the hosted Java VM: once a VM is
// announced, incoming messages are handed to the Java side's
// MessageHandler.incomingMessage, and a Java message object converts back to
// the native record. The VM layer's part of messaging; the registry below
// names none of it (vek_message_bridge.h).
#include <cstdlib>

#include "vek_jvmutils.h"
#include "vek_log_source.h"
#include "vek_logging.h"
#include "vek_message.h"
#include "vek_message_bridge.h"

VEK_LOG_SOURCE(message);

namespace {

constexpr jint LOCAL_FRAME_CAPACITY = 32;

const char* const MESSAGE_HANDLER_CLASS = "com/nimbo/common/launcher/message/MessageHandler";
const char* const INCOMING_MESSAGE_SIGNATURE = "(IZ[BZ)Lcom/nimbo/common/launcher/message/Message;";

// The Java bridge. Written only by the lifecycle hook before it registers the
// VM processor (under the registry's processor_mutex), read only by that
// processor during a dispatch (under processor_mutex too).
JavaVM* java_vm = nullptr;                       // the VM in use; NULL when the bridge is unusable
jclass gMessageHandlerClass = nullptr;           // global reference to MessageHandler
jmethodID gMessageHandler_newMessage = nullptr;  // its static incomingMessage
bool vm_init_done = false;                       // the first VM announcement has been handled

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
    veklog_ex(VEK_SOURCE_HERE(message), VEKLOG_WARN, thrown, "%s", text);
  } else {
    veklog(VEK_SOURCE_HERE(message), VEKLOG_WARN, "%s", text);
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
      veklog_ex(VEK_SOURCE_HERE(message), VEKLOG_WARN, thrown,
                "Could not load the com.nimbo.common.launcher.message.MessageHandler class.");
    } else {
      veklog(VEK_SOURCE_HERE(message), VEKLOG_WARN,
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
      veklog(VEK_SOURCE_HERE(message), VEKLOG_WARN, "Could not obtain current environment pointer from the Java VM");
      java_vm = nullptr;
    } else {
      look_up_message_handler(env);
    }
    if (attached_here) vek_detachThreadFromJVM(vm);
  }
  vm_init_done = true;
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
    result =
        env->CallStaticObjectMethod(gMessageHandlerClass, gMessageHandler_newMessage, static_cast<jint>(incoming->type),
                                    response_expected, payload, already_handled ? JNI_TRUE : JNI_FALSE);
  }
  vek_message_t* reply = nullptr;
  if (payload == nullptr || env->ExceptionCheck()) {
    warn_with_exception(env, pass_failed);
  } else if (!already_handled && result != nullptr) {
    reply = vek_convert_java_message_to_native(env, result);
    if (env->ExceptionCheck()) {
      warn_with_exception(env,
                          "Could not convert the embedded Java VM's inter-launcher message into its native format.");
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
  veklog(VEK_SOURCE_HERE(message), VEKLOG_ERROR, "%s", missing_text);
  if (thrown != nullptr) env->Throw(thrown);
  return nullptr;
}

// Copies a Java byte array into the message's payload; false when out of memory.
bool copy_java_payload(JNIEnv* env, jbyteArray data, vek_message_t* message) {
  const jsize length = env->GetArrayLength(data);
  if (length <= 0) return true;
  message->data = static_cast<char*>(malloc(static_cast<size_t>(length)));
  if (message->data == nullptr) {
    veklog(VEK_SOURCE_HERE(message), VEKLOG_ERROR,
           "Could not allocate %ld bytes for the returned message object's data.", static_cast<long>(length));
    return false;
  }
  env->GetByteArrayRegion(data, 0, length, reinterpret_cast<jbyte*>(message->data));
  message->length = length;
  return true;
}

}  // namespace

extern "C" vek_message_t* vek_convert_java_message_to_native(JNIEnv* env, jobject javaOutgoing) {
  if (env == nullptr || javaOutgoing == nullptr) return nullptr;
  jclass cls = env->GetObjectClass(javaOutgoing);
  if (cls == nullptr) return nullptr;
  jfieldID type_field =
      message_field(env, cls, "mType", "I", "Could not find the type field in the returned message object.");
  jfieldID expected_field =
      type_field == nullptr
          ? nullptr
          : message_field(env, cls, "mResponseExpected", "Z",
                          "Could not find the 'response expected' field in the returned message object.");
  jfieldID data_field =
      expected_field == nullptr
          ? nullptr
          : message_field(env, cls, "mData", "[B", "Could not find the data field in the returned message object.");
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
      veklog(VEK_SOURCE_HERE(message), VEKLOG_WARN,
             "(internal error) Could not obtain current environment pointer from the Java VM");
      return nullptr;
    }
    attached_here = true;
  }
  vek_message_t* reply = call_java_handler(env, incoming, already_handled);
  if (attached_here) vek_detachThreadFromJVM(java_vm);
  return reply;
}

namespace {

// Messaging's lifecycle hook calls these at the VM stages.
void connect_vm(JavaVM* vm) {
  if (!vm_init_done) init_java_bridge(vm);
  vek_addMessageProcessor(vek_VmMessageProcessor);
}

void disconnect_vm() { vek_removeMessageProcessor(vek_VmMessageProcessor); }

const vek::message::BridgeRegistrar java_bridge({.vm_available = connect_vm, .vm_unavailable = disconnect_vm});

}  // namespace

// The registrar above has filled the slots by now (it runs at static
// initialisation); naming this function is what links it.
void vek::message::connect_java_bridge() noexcept {
  if (bridge.vm_available == nullptr) bridge = {connect_vm, disconnect_vm};
}
