// What the parts of vek_jvmutils share on Linux: the VM location and option
// lists (vek_jvmutils_location.cpp), the start, join and calls into the Java
// side (vek_jvmutils_start.cpp) and the environments and class lookup of
// every build (vek_jvmutils.cpp). All of them log under the module's name.
#ifndef VEK_JVMUTILS_INTERNAL_H
#define VEK_JVMUTILS_INTERNAL_H

#include <jni.h>

#include <cstddef>
#include <string_view>

#include "vek_log_source.h"

// Every part of the module logs as VekUtil/src/vek_jvmutils.
VEK_LOG_SOURCE(jvmutils);

namespace vek::jvm {

// Takes and clears the pending exception, if any; null when there is none.
jthrowable take_exception(JNIEnv* env);

// What an entry point does when memory ran out half way: no exception may
// reach a C caller, so it reports (errno ENOMEM) and the caller returns its
// failure result.
void report_out_of_memory(const char* function) noexcept;

#ifndef _WIN32
// The VM library for a start (vek_getJVMLibrary into `library`); false after
// the FATAL line when there is none.
bool find_vm_library(char* library, size_t size, const char* installDir, int vmPreference);
// Whether the last library search found the library only under $JAVA_HOME.
bool found_only_under_java_home();
// Records the library of a successful start for vek_getLoadedVMlibrary.
void set_loaded_library(const char* path);

// Option identity: the kind of an option text, and the text in a list slot
// ("" for an empty slot or record).
constexpr int SYSTEM_PROPERTY_OPTION = 8;  // -D
int option_kind(std::string_view option);
std::string_view option_in_slot(const void* slot);
#endif

}  // namespace vek::jvm

#endif  // VEK_JVMUTILS_INTERNAL_H
