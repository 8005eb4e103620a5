// The system calls behind the VM location of vek_jvmutils
// (unix/vek_jvmutils_unix.cpp; the Windows build carries none of it).
#ifndef VEK_JVMUTILS_PLATFORM_H
#define VEK_JVMUTILS_PLATFORM_H

namespace vek::jvm {

// Sets or replaces one environment variable; false (errno set) on failure.
bool set_environment(const char* name, const char* value);
// Removes one environment variable; false (errno set) on failure.
bool unset_environment(const char* name);
// Replaces the process image with a new image of the running program's own
// file (never a file found by argv[0]) and the NULL-terminated `argv`, after
// flushing the C streams. Returns only on failure (errno set).
void execute_self(char* const* argv);

}  // namespace vek::jvm

#endif  // VEK_JVMUTILS_PLATFORM_H
