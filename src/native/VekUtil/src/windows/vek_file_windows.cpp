// Win32 and C runtime calls behind vek_file. Windows separates with "\\" and
// also accepts "/"; existence tests use the extended-length form so that they
// are not bound by the 260-character limit. Paths reach the system through
// the wide-character calls: as UTF-8 when they are valid UTF-8, in the ANSI
// code page otherwise.
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_file_platform.h"
#include "vek_logging.h"

namespace {

constexpr int kTempNameAttempts = 500;
constexpr unsigned int kTempNameStep = 7777;
constexpr const char kTempNameAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// errno for the Win32 failures callers of this module may look at.
void set_errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: errno = EEXIST; break;
    case ERROR_ACCESS_DENIED: errno = EACCES; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    default: errno = ENOENT; break;
  }
}

// "\\?\" + the normalised full path ("\\?\UNC\server\share" for a network
// path); a relative path as it is. The system does not clean up "." and ".."
// behind the prefix, hence the normalisation.
std::string extended_length_form(const char* path) {
  if (!vek_isFullPath(path)) return path;
  std::vector<char> buffer(std::strlen(path) * 3 + 12);
  std::string clean = vek_normalizePath(path, buffer.data(), buffer.size()) ? buffer.data() : path;
  if (clean.size() > 2 && is_separator(clean[0]) && is_separator(clean[1])) {
    return "\\\\?\\UNC\\" + clean.substr(2);
  }
  if (clean.size() > 3 && is_separator(clean[0])) clean.erase(0, 1);  // "/C:/dir"
  return "\\\\?\\" + clean;
}

// Out of memory the path cannot be converted: reported as not found
// (errno ENOMEM) rather than thrown through the C interface.
DWORD wide_attributes(const char* path) {
  try {
    std::wstring wide = vek::file::wide_extended_path(path);
    return wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
  } catch (...) {
    errno = ENOMEM;
    return INVALID_FILE_ATTRIBUTES;
  }
}

// Paths are taken as UTF-8 when they are valid UTF-8 (names from archives,
// the installer's own) and in the ANSI code page otherwise (what the ANSI
// calls took before); ASCII is the same either way. *utf8 tells which, so
// that names read back go out in the same encoding.
std::wstring to_wide(const char* text, bool* utf8) {
  for (UINT code_page : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int count = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
    if (count <= 0) continue;
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(code_page, flags, text, -1, wide.data(), count);
    wide.resize(static_cast<size_t>(count) - 1);  // the terminator is the string's own
    if (utf8 != nullptr) *utf8 = code_page == CP_UTF8;
    return wide;
  }
  return std::wstring();
}

std::string from_wide(const wchar_t* text, bool utf8) {
  UINT code_page = utf8 ? CP_UTF8 : CP_ACP;
  int count = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string narrow(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(code_page, 0, text, -1, narrow.data(), count, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(count) - 1);
  return narrow;
}

class FindGuard {
 public:
  explicit FindGuard(HANDLE handle) : handle_(handle) {}
  ~FindGuard() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindGuard(const FindGuard&) = delete;
  FindGuard& operator=(const FindGuard&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

void write_temp_name(char* suffix, unsigned long value) {
  for (int k = 0; k < 6; ++k) {
    suffix[k] = kTempNameAlphabet[value % 62];
    value /= 62;
  }
}

}  // namespace

namespace vek::file {

std::wstring wide_extended_path(const char* path) { return to_wide(extended_length_form(path).c_str(), nullptr); }

bool is_full_path(const char* path) {
  size_t len = std::strlen(path);
  if (len > 2 && is_separator(path[0]) && is_separator(path[1])) return true;
  if (len > 3 && is_separator(path[0]) && is_letter(path[1]) && path[2] == ':' && is_separator(path[3])) {
    return true;
  }
  return len > 2 && is_letter(path[0]) && path[1] == ':' && is_separator(path[2]);
}

bool is_network_path(const char* path) {
  return std::strlen(path) > 2 && is_separator(path[0]) && is_separator(path[1]);
}

bool full_path(const char* path, std::string& out) {
  bool utf8 = false;
  std::wstring wide = to_wide(path, &utf8);
  wchar_t buffer[VEK_PATH_MAX];
  DWORD len = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), VEK_PATH_MAX, buffer, nullptr);
  if (len == 0 || len >= VEK_PATH_MAX) {
    errno = len == 0 ? ENOENT : ENAMETOOLONG;
    return false;
  }
  out = from_wide(buffer, utf8);
  if (out.size() >= VEK_PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  return !out.empty();
}

bool stat_path(const char* path, bool& is_directory, bool& owner_exec, vek_uint64_t& size) {
  struct _stat64 st;
  if (_wstat64(to_wide(path, nullptr).c_str(), &st) != 0) return false;
  is_directory = (st.st_mode & _S_IFDIR) != 0;
  owner_exec = (st.st_mode & _S_IEXEC) != 0;
  size = static_cast<vek_uint64_t>(st.st_size);
  return true;
}

bool directory_exists(const char* path) {
  DWORD attributes = wide_attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool file_exists(const char* path) {
  WIN32_FIND_DATAW data;
  FindGuard find(FindFirstFileW(to_wide(path, nullptr).c_str(), &data));
  if (find.get() == INVALID_HANDLE_VALUE) {
    errno = ENOENT;
    return false;
  }
  errno = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR : 0;
  return errno == 0;
}

void set_missing_name_error() {
  errno = ENOENT;
  SetLastError(ERROR_FILE_NOT_FOUND);
}

bool make_directory(const char* path, int) {
  if (CreateDirectoryW(to_wide(path, nullptr).c_str(), nullptr)) return true;
  set_errno_from_last_error();
  return false;
}

// Names come back in the encoding of `path`, so that joined to it they name
// the entries again.
bool list_directory(const char* path, std::vector<std::string>& names) {
  bool utf8 = false;
  std::wstring pattern = to_wide(path, &utf8) + L"\\*";
  WIN32_FIND_DATAW data;
  FindGuard find(FindFirstFileW(pattern.c_str(), &data));
  if (find.get() == INVALID_HANDLE_VALUE) return false;
  do {
    names.emplace_back(from_wide(data.cFileName, utf8));
  } while (FindNextFileW(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool entry_kind(const char* path, EntryKind& kind) {
  DWORD attributes = wide_attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // A directory link or junction goes with RemoveDirectory, which leaves
  // the target alone; descending into it would empty the target.
  bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  kind = !directory ? EntryKind::kOther : link ? EntryKind::kDirectoryLink : EntryKind::kDirectory;
  return true;
}

bool remove_file(const char* path) { return _wunlink(to_wide(path, nullptr).c_str()) == 0; }

bool remove_empty_directory(const char* path) { return _wrmdir(to_wide(path, nullptr).c_str()) == 0; }

std::vector<std::string> fixed_temp_candidates() { return {"C:\\TEMP", "/tmp", "/usr/tmp", "/var/tmp", "\\"}; }

bool working_directory(std::string& out) {
  char buffer[VEK_PATH_MAX] = {};
  if (_getcwd(buffer, sizeof buffer - 1) == nullptr) return false;
  out = buffer;
  return true;
}

int make_temp_file_handle(char* template_name) {
  size_t len = template_name != nullptr ? std::strlen(template_name) : 0;
  int fd = -1;
  if (len < 6 || std::strcmp(template_name + len - 6, "XXXXXX") != 0) {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR,
           "The last 6 characters of the template for the temporary file name must be XXXXXX");
    errno = EINVAL;
  } else {
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    unsigned long value = static_cast<unsigned long>(std::rand());
    for (int attempt = 0; attempt < kTempNameAttempts && fd == -1; ++attempt) {
      write_temp_name(template_name + len - 6, value);
      fd = _open(template_name, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
      value += kTempNameStep;
    }
  }
  if (fd == -1) {
    int error = errno;
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "Couldn't open temporary file %s: %s",
           template_name != nullptr ? template_name : "(null)", std::strerror(error));
    errno = error;
  }
  return fd;
}

FILE* open_stream(int fd) { return _fdopen(fd, "w+b"); }

void close_descriptor(int fd) { _close(fd); }

vek_uint64_t available_bytes(const char* name) {
  ULARGE_INTEGER available;
  BOOL ok;
  if (name == nullptr || name[0] == '\0') {
    veklog(VEK_SOURCE_HERE(file), VEKLOG_ERROR, "null file name");
    errno = ENOENT;
    SetLastError(ERROR_FILE_NOT_FOUND);
    ok = GetDiskFreeSpaceExA(nullptr, &available, nullptr, nullptr);
  } else if (vek_doesFileExist(name)) {
    // The free space of a file is that of the directory holding it.
    char* dir = vek_getDirName(name);
    ok = dir != nullptr && GetDiskFreeSpaceExW(to_wide(dir, nullptr).c_str(), &available, nullptr, nullptr);
    std::free(dir);
  } else {
    ok = GetDiskFreeSpaceExW(to_wide(name, nullptr).c_str(), &available, nullptr, nullptr);
  }
  return ok ? static_cast<vek_uint64_t>(available.QuadPart) : VEK_UINT64_UNKNOWN;
}

// Windows has no mount flag that forbids running programs.
bool no_exec_file_system(const char*) { return false; }

}  // namespace vek::file
