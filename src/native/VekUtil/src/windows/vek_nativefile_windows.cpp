// Win32 calls behind the NativeFile natives. Windows has no Unix mode bits:
// they are synthesised from the attributes, and only write access maps back
// (the read-only attribute). Links are not supported here. Names go to the
// wide calls as Java's own UTF-16: a narrow code page would turn characters
// it lacks into others, and so a name into another file's.
#include <windows.h>

#include <cerrno>
#include <string>

#include "vek_nativefile_platform.h"
#include "vek_win32_error.h"

namespace {

constexpr int kDirectoryOrProgramMode = 0755;
constexpr int kFileMode = 0644;
constexpr int kWriteBits = 0222;

// A block from the process heap, freed when it goes.
class HeapBlock {
 public:
  explicit HeapBlock(DWORD size) : data_(HeapAlloc(GetProcessHeap(), 0, size)) {}
  ~HeapBlock() {
    if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
  }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  void* get() const { return data_; }

 private:
  void* data_;
};

// A LocalAlloc text buffer of wide characters, freed when it goes.
class LocalText {
 public:
  explicit LocalText(DWORD chars)
      : data_(static_cast<wchar_t*>(LocalAlloc(LPTR, (chars != 0 ? chars : 1) * sizeof(wchar_t)))) {}
  ~LocalText() {
    if (data_ != nullptr) LocalFree(data_);
  }
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  wchar_t* get() const { return data_; }

 private:
  wchar_t* data_;
};

using vek::nativefile::Path;

// "<what> <path>: <system text of GetLastError()>".
std::string failure(const char* what, const Path& path) {
  vek::LastWin32ErrorText text;
  return vek::nativefile::message("%s %s: %s", what, path.shown.c_str(), text.c_str());
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The full path of a name (separators made '\\', "." and ".." resolved),
// or the name itself when it has none.
std::wstring full_path(const std::wstring& path) {
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

// "\\?\" and the full path ("\\?\UNC\server\share" for a network path),
// so that no length limit and no name rewriting applies.
std::wstring extended_form(const std::wstring& path) {
  std::wstring full = full_path(path);
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.size() > 2 && is_separator(full[0]) && is_separator(full[1])) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Attributes through the extended-length form; INVALID_FILE_ATTRIBUTES (with
// the last error set) on failure.
DWORD attributes_of(const Path& path, std::wstring& extended) {
  if (path.null) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  extended = extended_form(path.native);
  return GetFileAttributesW(extended.c_str());
}

bool is_program(const Path& path) {
  DWORD type = 0;
  return GetBinaryTypeW(path.native.c_str(), &type) != 0;
}

// UTF-8 of wide text, for NewStringUTF.
std::string utf8(const wchar_t* text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

// The owner SID's account name; `security` holds the descriptor.
bool account_of(const Path& path, PSECURITY_DESCRIPTOR security, std::string& name, std::string& error) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(security, &owner, &defaulted) || owner == nullptr) {
    error = failure("Could not retrieve security descriptor for", path);
    errno = EINVAL;
    return false;
  }
  DWORD name_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use;
  LookupAccountSidW(nullptr, owner, nullptr, &name_size, nullptr, &domain_size, &use);
  LocalText account(name_size);
  LocalText domain(domain_size);
  if (account.get() == nullptr || domain.get() == nullptr ||
      !LookupAccountSidW(nullptr, owner, account.get(), &name_size, domain.get(), &domain_size, &use)) {
    error = failure("Could not retrieve account name for", path);
    return false;
  }
  name = utf8(account.get());
  return true;
}

}  // namespace

namespace vek::nativefile {

const bool kOwnerFailureGivesEmptyText = false;

// Java's UTF-16 is the wide calls' own: nothing to convert, nothing lost.
bool to_native(const std::u16string& units, Path& path) {
  path.native.assign(units.begin(), units.end());
  return true;
}

bool create_symlink(const Path&, const Path&, std::string&) { return false; }

LinkState read_symlink(const Path&, std::string&, std::string&) { return LinkState::kNotALink; }

bool owner_name(const Path& path, std::string& name, std::string& error) {
  DWORD needed = 0;
  const wchar_t* native = path.native.c_str();
  if (!path.null) GetFileSecurityW(native, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  HeapBlock security(needed != 0 ? needed : 1);
  if (path.null || needed == 0 || security.get() == nullptr ||
      !GetFileSecurityW(native, OWNER_SECURITY_INFORMATION, security.get(), needed, &needed)) {
    if (path.null) SetLastError(ERROR_INVALID_PARAMETER);
    error = failure("Could not retrieve file security for", path);
    errno = EINVAL;
    return false;
  }
  return account_of(path, security.get(), name, error);
}

bool get_permissions(const Path& path, int& mode, std::string& error) {
  std::wstring extended;
  DWORD attributes = attributes_of(path, extended);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = failure("Could not retrieve attributes for", path);
    errno = EINVAL;
    return false;
  }
  bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  mode = directory || is_program(path) ? kDirectoryOrProgramMode : kFileMode;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) mode &= ~kWriteBits;
  return true;
}

// Only write access maps: no write bit makes the file read-only, and any
// write bit makes it writable again, so that a mode read back is the mode
// set (444 stays 444, 644 after 444 is 644 again).
void set_permissions(const Path& path, int mode, std::string& error) {
  std::wstring extended;
  DWORD attributes = attributes_of(path, extended);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = failure("Could not retrieve attributes for", path);
    return;
  }
  bool read_only = (mode & kWriteBits) == 0;
  if (read_only == ((attributes & FILE_ATTRIBUTE_READONLY) != 0)) return;
  // The directory bit cannot be set, and "normal" stands only alone.
  DWORD wanted = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY);
  if (read_only) wanted |= FILE_ATTRIBUTE_READONLY;
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(extended.c_str(), wanted)) error = failure("Could not set permissions on", path);
}

// The free space of a file is that of the directory holding it.
vek_uint64_t available_bytes(const Path& path) {
  if (path.null || path.native.empty()) return VEK_UINT64_UNKNOWN;
  std::wstring directory = full_path(path.native);
  DWORD attributes = GetFileAttributesW(extended_form(path.native).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    size_t last = directory.find_last_of(L"\\/");
    if (last != std::wstring::npos) directory.resize(last);
  }
  if (directory.empty() || !is_separator(directory.back())) directory += L'\\';
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) return VEK_UINT64_UNKNOWN;
  return static_cast<vek_uint64_t>(available.QuadPart);
}

}  // namespace vek::nativefile
