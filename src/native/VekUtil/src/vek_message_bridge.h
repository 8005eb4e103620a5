// The message registry's slots for the Java bridge (vek_message_java): the
// registry reacts to the VM stages by connecting or disconnecting the VM's
// processor, but the work is the VM layer's. Empty slots mean "bridge not
// linked": a program without a VM has nothing to connect.
#ifndef VEK_MESSAGE_BRIDGE_H
#define VEK_MESSAGE_BRIDGE_H

#include <jni.h>

namespace vek::message {

struct Bridge {
  void (*vm_available)(JavaVM* vm) = nullptr;  // a VM came: register its message processor
  void (*vm_unavailable)() = nullptr;          // the VM went: unregister it
};

// Constant-initialised; filled by the bridge's registrar when it is linked.
extern constinit Bridge bridge;

struct BridgeRegistrar {
  explicit BridgeRegistrar(const Bridge& fill) noexcept { bridge = fill; }
};

// Called by the VM start: a started VM answers launcher messages, so linking
// the start links the bridge.
void connect_java_bridge() noexcept;

}  // namespace vek::message

#endif  // VEK_MESSAGE_BRIDGE_H
