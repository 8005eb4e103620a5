// Launcher messages and the registry of processors that answer them. So far:
// the registry and the lifecycle handler that shuts the transport down at
// exit (the message helpers, dispatch and the Java VM bridge come later).
#include "vek_message.h"

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_mutex.h"

namespace {

vek_list_t* processor_list = nullptr;   // message processors, newest first
vek_mutex_t* processor_mutex = nullptr; // "message processor": guards processor_list

void messaging_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* /*vm*/) {
  if (stage == VEK_SHUTDOWN) vek_message_native_shutdown();
}

}  // namespace

extern "C" void vek_initialize_messaging(void) {
  if (processor_list == nullptr) {
    processor_list = vek_listCreate(1);
    processor_mutex = vek_createMutex("message processor");
  }
  vek_message_native_init();
  vek_addLifecycleNotification(messaging_lifecycle);
}
