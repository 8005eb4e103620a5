// Launcher messages: the message record and its helpers, the name of the
// socket file through which a launcher is reached, the registry of
// processors that answer incoming messages. The processor that hands a
// message to the hosted Java VM is the VM layer's (vek_message_java), which
// plugs into this registry through vek_message_bridge.h. The transport is
// vek_message_unix (Linux); the Windows build has the registry but no
// transport.
#include "vek_message.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vek_function_slot.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_log_source.h"
#include "vek_logging.h"
#include "vek_message_bridge.h"
#include "vek_module_init.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#ifndef _WIN32
#include "vek_file.h"
#include "vek_md5.h"
#endif

VEK_LOG_SOURCE(message) = __FILE__;

namespace {

constexpr size_t SOCKET_PATH_CAPACITY = 108;  // sun_path of a local socket address

vek_list_t* processor_list = nullptr;    // message processors, newest first; never destroyed
vek_mutex_t* processor_mutex = nullptr;  // "message processor": held for a whole dispatch
vek_mutex_t* registry_mutex = nullptr;   // "message processor registry": guards processor_list, held briefly
// A processor may change the registry (a VM destroyed from a processor
// unregisters the VM's), and exit processing may run while a processor
// holds processor_mutex (exit() from a processor, or System.exit from the
// Java handler, whose exit handlers run on another thread). Neither may
// wait for the dispatch: they change the registry under registry_mutex alone.
thread_local bool dispatching = false;  // this thread runs a dispatch
std::atomic<bool> exiting{false};       // exit processing has begun

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

void messaging_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* vm) {
  switch (stage) {
    case VEK_VM_AVAILABLE:
      if (vek::message::bridge.vm_available != nullptr) vek::message::bridge.vm_available(vm);
      break;
    case VEK_VM_UNAVAILABLE:
      if (vek::message::bridge.vm_unavailable != nullptr) vek::message::bridge.vm_unavailable();
      break;
    case VEK_SHUTDOWN: vek_message_native_shutdown(); break;
    case VEK_CHILD_AFTER_FORK: break;
  }
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

constinit vek::message::Bridge vek::message::bridge = {};

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
    veklog(VEK_HERE, VEKLOG_ERROR,
           "(internal error) A message text of %lu bytes exceeds the %ld bytes a message can carry.",
           static_cast<unsigned long>(length), static_cast<long>(VEK_MESSAGE_MAX_LENGTH));
    return;
  }
  message->data = static_cast<char*>(malloc(length));
  if (message->data == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate %lu bytes for a message text.",
           static_cast<unsigned long>(length));
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

namespace {
const vek::ModuleInitialiser messaging_start(vek::ModuleRank::messaging, vek_initialize_messaging);
}  // namespace
