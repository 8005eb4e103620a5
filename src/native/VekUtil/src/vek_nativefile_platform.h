// The system calls behind the natives of com.nimbo.common.io.NativeFile: one
// implementation per platform (unix/vek_nativefile_unix.cpp,
// windows/vek_nativefile_windows.cpp). Each operation fills `error` with the
// message of the IOException the native is to raise and leaves it empty when
// there is nothing to report.
#ifndef VEK_NATIVEFILE_PLATFORM_H
#define VEK_NATIVEFILE_PLATFORM_H

#include <string>

#include "vek_types.h"

namespace vek::nativefile {

// A file name from Java: the text for messages and the form the platform's
// calls take. A name is never turned into another: what cannot be converted
// is refused (see to_native), never replaced or cut.
struct Path {
  bool null = true;             // the Java string was null
  std::string shown{"(null)"};  // the name in Java's modified UTF-8, for messages
#ifdef _WIN32
  std::wstring native;  // UTF-16, for the wide calls
#else
  std::string native;  // multibyte text of the current locale
#endif
};

// Fills `path.native` from the UTF-16 code units of a Java string (no NUL
// among them); false when the name has no form the platform's calls take
// (Linux: a lone surrogate, or a character the locale cannot express).
bool to_native(const std::u16string& units, Path& path);

// printf into a new string, for the exception texts (defined portably).
std::string message(const char* format, ...) VEK_PRINTF_FORMAT(1, 2);

// What getNativeOwner returns together with its exception: "" on Linux,
// NULL on Windows.
extern const bool kOwnerFailureGivesEmptyText;

bool create_symlink(const Path& source, const Path& dest, std::string& error);

enum class LinkState {
  kNotALink,  // a file of another kind (or no links on this platform)
  kLink,      // `target` holds the stored target text
  kFailed     // `error` says why
};
LinkState read_symlink(const Path& path, std::string& target, std::string& error);

// The owner's account name, as text for NewStringUTF.
bool owner_name(const Path& path, std::string& name, std::string& error);
bool get_permissions(const Path& path, int& mode, std::string& error);
void set_permissions(const Path& path, int mode, std::string& error);
// Free bytes for `path` (that of the directory holding a file), all bits
// set when unknown.
vek_uint64_t available_bytes(const Path& path);

}  // namespace vek::nativefile

#endif  // VEK_NATIVEFILE_PLATFORM_H
