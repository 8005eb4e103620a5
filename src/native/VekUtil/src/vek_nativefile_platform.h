// The system calls behind the natives of com.nimbo.common.io.NativeFile: one
// implementation per platform (unix/vek_nativefile_unix.cpp,
// windows/vek_nativefile_windows.cpp). Each operation fills `error` with the
// message of the IOException the native is to raise and leaves it empty when
// there is nothing to report. Paths may be NULL (a null Java string).
#ifndef VEK_NATIVEFILE_PLATFORM_H
#define VEK_NATIVEFILE_PLATFORM_H

#include <string>

#include "vek_types.h"

namespace vek::nativefile {

// printf into a new string, for the exception texts (defined portably).
std::string message(const char* format, ...) VEK_PRINTF_FORMAT(1, 2);

// What getNativeOwner returns together with its exception: "" on Linux,
// NULL on Windows.
extern const bool kOwnerFailureGivesEmptyText;

bool create_symlink(const char* source, const char* dest, std::string& error);

enum class LinkState {
  kNotALink,  // a file of another kind (or no links on this platform)
  kLink,      // `target` holds the stored target text
  kFailed     // `error` says why
};
LinkState read_symlink(const char* path, std::string& target, std::string& error);

bool owner_name(const char* path, std::string& name, std::string& error);
bool get_permissions(const char* path, int& mode, std::string& error);
void set_permissions(const char* path, int mode, std::string& error);

}  // namespace vek::nativefile

#endif  // VEK_NATIVEFILE_PLATFORM_H
