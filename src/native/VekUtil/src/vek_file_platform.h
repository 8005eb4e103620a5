// The system calls behind vek_file: one implementation per platform
// (unix/vek_file_unix.cpp, windows/vek_file_windows.cpp). The portable module
// (vek_file.cpp) holds the path logic and checks arguments before calling
// these; every path passed here is non-NULL and non-empty unless said.
#ifndef VEK_FILE_PLATFORM_H
#define VEK_FILE_PLATFORM_H

#include <cstdio>
#include <string>
#include <vector>

#include "vek_file.h"

#include "vek_log_source.h"

// Platform files log under the module's own name (VekUtil/src/vek_file).
VEK_LOG_SOURCE(file);

namespace vek::file {

#ifdef _WIN32
constexpr char kJoinSeparator = '\\';
// Full paths begin with a drive: no separator goes in front of the first
// component, and a trailing separator of a full path is kept ("C:\").
constexpr bool kRootSeparatorLeads = false;
constexpr bool kKeepTrailingSeparatorOfFullPath = true;
constexpr const char* kDirNameSeparators = "\\/";
#else
constexpr char kJoinSeparator = '/';
constexpr bool kRootSeparatorLeads = true;
constexpr bool kKeepTrailingSeparatorOfFullPath = false;
constexpr const char* kDirNameSeparators = "/";
#endif

// What a directory entry is, seen without following links.
enum class EntryKind {
  kDirectory,      // a real directory: descend into it
  kDirectoryLink,  // a link or junction that the system removes as a directory (Windows)
  kOther           // a file, a symbolic link, a device...: unlink it
};

bool is_full_path(const char* path);
// Network path (two leading separators) that normalisation keeps as such.
bool is_network_path(const char* path);

// Canonical form for vek_getFullPath; false with errno set on failure.
bool full_path(const char* path, std::string& out);

// stat (links followed); false with errno set. The size is 64-bit.
bool stat_path(const char* path, bool& is_directory, bool& owner_exec, vek_uint64_t& size);
bool directory_exists(const char* path);  // with the errno rules of vek_doesDirectoryExist
bool file_exists(const char* path);       // path may not be empty; errno rules of vek_doesFileExist
// The not-found error of a null or empty name: errno ENOENT (Windows: also
// the last error ERROR_FILE_NOT_FOUND).
void set_missing_name_error();

bool make_directory(const char* path, int mode);
// Entry names in system order, "." and ".." included; false when unreadable.
bool list_directory(const char* path, std::vector<std::string>& names);
// The kind of `path` itself; false when it cannot be examined.
bool entry_kind(const char* path, EntryKind& kind);
bool remove_file(const char* path);
bool remove_empty_directory(const char* path);

// Fixed temporary-directory candidates after TMP, TEMP and TMPDIR, in order.
std::vector<std::string> fixed_temp_candidates();
// The working directory, cut to the platform's path buffer; false on failure.
bool working_directory(std::string& out);

int make_temp_file_handle(char* template_name);  // logs its own failures
FILE* open_stream(int fd);                       // fdopen(fd, "w+b"); NULL with errno
void close_descriptor(int fd);
vek_uint64_t available_bytes(const char* name);
// The file system holding `name` is known to refuse running programs.
bool no_exec_file_system(const char* name);

#ifdef _WIN32
// The wide extended-length form of `path` for the W calls: "\\?\" and the
// normalised full path, a relative path as it is; taken as UTF-8 when it is
// valid UTF-8, in the ANSI code page otherwise.
// Empty when the text cannot be converted.
std::wstring wide_extended_path(const char* path);
#endif

}  // namespace vek::file

#endif  // VEK_FILE_PLATFORM_H
