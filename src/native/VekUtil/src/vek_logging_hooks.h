// The logging core's slots for the modules above it. The core reacts to the
// process lifecycle and hands log events a Java environment, but the work
// belongs to the VM support, the start-up cache, the VM logger and the file
// logger: each of those fills its slot from a static registrar in its own
// object file, so that the core names none of them and a program that does
// not link one (the installer) carries no trace of it. An empty slot means
// "module not linked": nothing to do.
#ifndef VEK_LOGGING_HOOKS_H
#define VEK_LOGGING_HOOKS_H

#include <jni.h>

namespace vek::logging {

struct Hooks {
  JNIEnv* (*get_env)(JavaVM* vm) = nullptr;                   // VM support: this thread's environment, or null
  bool (*attach_thread)(JavaVM* vm, JNIEnv** env) = nullptr;  // VM support: attaches this thread
  void (*detach_thread)(JavaVM* vm) = nullptr;                // VM support: detaches this thread
  void (*vm_available)() = nullptr;                           // start-up cache: hand cached lines to the VM
  void (*vm_unavailable)() = nullptr;                         // VM logger: stop delivering to the gone VM
  void (*initialise)() = nullptr;                             // file logger: ready for configuration
  void (*shutdown)() = nullptr;                               // file logger: close the log at exit
};

// Constant-initialised, all slots empty until a registrar fills one.
extern constinit Hooks hooks;

// Fills the slots given non-null in `fill`; the others stay as they are.
struct HookRegistrar {
  explicit HookRegistrar(const Hooks& fill) noexcept;
};

}  // namespace vek::logging

#endif  // VEK_LOGGING_HOOKS_H
