// Win32 calls behind the NativeFile natives. Windows has no Unix mode bits:
// they are synthesised from the attributes, and only write access maps back
// (the read-only attribute). Links are not supported here.
#include <windows.h>

#include <cerrno>
#include <string>

#include "vek_file_platform.h"
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

// A LocalAlloc text buffer, freed when it goes.
class LocalText {
 public:
  explicit LocalText(DWORD size) : data_(static_cast<char*>(LocalAlloc(LPTR, size != 0 ? size : 1))) {}
  ~LocalText() {
    if (data_ != nullptr) LocalFree(data_);
  }
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  char* get() const { return data_; }

 private:
  char* data_;
};

const char* shown(const char* path) { return path != nullptr ? path : "(null)"; }

// "<what> <path>: <system text of GetLastError()>".
std::string failure(const char* what, const char* path) {
  vek::LastWin32ErrorText text;
  return vek::nativefile::message("%s %s: %s", what, shown(path), text.c_str());
}

// Attributes through the extended-length form; INVALID_FILE_ATTRIBUTES (with
// the last error set) on failure.
DWORD attributes_of(const char* path, std::wstring& wide) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  wide = vek::file::wide_extended_path(path);
  if (wide.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(wide.c_str());
}

bool is_program(const char* path) {
  DWORD type = 0;
  return GetBinaryTypeA(path, &type) != 0;
}

// The owner SID's account name; `security` holds the descriptor.
bool account_of(const char* path, PSECURITY_DESCRIPTOR security, std::string& name, std::string& error) {
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
  LookupAccountSidA(nullptr, owner, nullptr, &name_size, nullptr, &domain_size, &use);
  LocalText account(name_size);
  LocalText domain(domain_size);
  if (account.get() == nullptr || domain.get() == nullptr ||
      !LookupAccountSidA(nullptr, owner, account.get(), &name_size, domain.get(), &domain_size, &use)) {
    error = failure("Could not retrieve account name for", path);
    return false;
  }
  name = account.get();
  return true;
}

}  // namespace

namespace vek::nativefile {

const bool kOwnerFailureGivesEmptyText = false;

bool create_symlink(const char*, const char*, std::string&) { return false; }

LinkState read_symlink(const char*, std::string&, std::string&) { return LinkState::kNotALink; }

bool owner_name(const char* path, std::string& name, std::string& error) {
  DWORD needed = 0;
  if (path != nullptr) GetFileSecurityA(path, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  HeapBlock security(needed != 0 ? needed : 1);
  if (needed == 0 || security.get() == nullptr ||
      !GetFileSecurityA(path, OWNER_SECURITY_INFORMATION, security.get(), needed, &needed)) {
    if (path == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
    error = failure("Could not retrieve file security for", path);
    errno = EINVAL;
    return false;
  }
  return account_of(path, security.get(), name, error);
}

bool get_permissions(const char* path, int& mode, std::string& error) {
  std::wstring wide;
  DWORD attributes = attributes_of(path, wide);
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
void set_permissions(const char* path, int mode, std::string& error) {
  std::wstring wide;
  DWORD attributes = attributes_of(path, wide);
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
  if (!SetFileAttributesW(wide.c_str(), wanted)) error = failure("Could not set permissions on", path);
}

}  // namespace vek::nativefile
