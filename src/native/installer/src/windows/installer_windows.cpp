// System calls of the installer's driver on Windows.
#include <windows.h>
#include <aclapi.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "installer.h"
#include "file_io_windows.h"
#include "installer_platform.h"
#include "vek_log_source.h"
#include "wide_text_windows.h"

VEK_LOG_SOURCE(installer);

// A name cut to the buffer (the call then returns the buffer's size) is no
// answer. The wide interface names any file; the name is only for messages.
int platform_open_installer(char* name, size_t name_size) {
  if (name_size == 0) return -1;
  std::vector<wchar_t> path(32768);
  DWORD length = GetModuleFileNameW(nullptr, path.data(), (DWORD)path.size());
  if (length == 0 || length >= path.size()) return -1;
  snprintf(name, name_size, "%s", installer_utf8(path.data()).c_str());
  return open_shared_for_reading(path.data());
}

int platform_process_id(void) { return (int)GetCurrentProcessId(); }

void platform_sleep_seconds(unsigned seconds) { Sleep(seconds * 1000); }

// Wide calls, so that a directory of any name is found again; UTF-8 text.
char* platform_get_cwd(void) {
  std::vector<wchar_t> buffer(32768);
  if (!_wgetcwd(buffer.data(), (int)buffer.size())) return nullptr;
  return _strdup(installer_utf8(buffer.data()).c_str());
}

bool platform_chdir(const char* dir) { return _wchdir(installer_wide(dir).c_str()) == 0; }

namespace {

struct handle_closer_t {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using owned_handle_t = std::unique_ptr<void, handle_closer_t>;

struct local_freer_t {
  void operator()(void* memory) const { LocalFree(memory); }
};

// Rights that let their holder change what the directory holds or who may
// use it. Reading and listing are not among them.
const DWORD WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                           FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The SID of the user the process runs as, in `storage`; null on failure.
PSID current_user(std::vector<unsigned char>& storage) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  owned_handle_t guard(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  storage.assign(size, 0);
  if (!GetTokenInformation(token, TokenUser, storage.data(), size, &size)) return nullptr;
  return reinterpret_cast<TOKEN_USER*>(storage.data())->User.Sid;
}

bool is_deny_ace(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// The local system and the administrators may take any file anyway: their
// rights do not let another user in.
bool may_write(PSID sid, PSID user) {
  return EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// An entry that grants another user a right to write. Entries that only
// apply to what is created inside count too: a file extracted there would
// inherit them. Grants of a kind not understood here count as unsafe.
bool grants_write_to_another(const ACE_HEADER* header, PSID user) {
  if (is_deny_ace(header->AceType)) return false;
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  PSID sid = const_cast<DWORD*>(&ace->SidStart);
  return (ace->Mask & WRITE_RIGHTS) != 0 && !may_write(sid, user);
}

// Opens the directory itself (never what a reparse point leads to) to read
// its attributes, identity and security.
owned_handle_t open_directory(const char* dir) {
  HANDLE handle = CreateFileW(installer_wide(dir).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return owned_handle_t(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

bool directory_identity(HANDLE handle, private_dir_id_t* id, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  *id = {info.dwVolumeSerialNumber, ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow, 0, 0};
  *attributes = info.dwFileAttributes;
  return true;
}

bool handle_is_private(HANDLE handle) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_DEBUG, "cannot read the security of the extraction directory (error %lu)",
           (unsigned long)GetLastError());
    return false;
  }
  std::unique_ptr<void, local_freer_t> guard(descriptor);
  std::vector<unsigned char> storage;
  PSID user = current_user(storage);
  return user != nullptr && platform_descriptor_is_private(descriptor, user);
}

}  // namespace

bool platform_descriptor_is_private(void* descriptor, void* user) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr || !EqualSid(owner, user))
    return false;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) return false;
  ACL_SIZE_INFORMATION info;
  if (!GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) return false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || grants_write_to_another(static_cast<ACE_HEADER*>(ace), user)) return false;
  }
  return true;
}

int platform_check_private_directory(const char* dir, private_dir_id_t* id) {
  owned_handle_t handle = open_directory(dir);
  if (!handle) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PRIVATE_DIR_MISSING : PRIVATE_DIR_UNSAFE;
  }
  DWORD attributes = 0;
  private_dir_id_t found;
  if (!directory_identity(handle.get(), &found, &attributes)) return PRIVATE_DIR_UNSAFE;
  bool real_directory =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (!real_directory || !handle_is_private(handle.get())) return PRIVATE_DIR_UNSAFE;
  *id = found;
  return PRIVATE_DIR_OK;
}

bool platform_is_checked_directory(const char* dir, const private_dir_id_t* id) {
  owned_handle_t handle = open_directory(dir);
  private_dir_id_t now;
  DWORD attributes = 0;
  return handle && directory_identity(handle.get(), &now, &attributes) &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && now.device == id->device && now.inode == id->inode;
}

bool platform_is_working_directory(const private_dir_id_t* id) {
  owned_handle_t handle = open_directory(".");
  private_dir_id_t now;
  DWORD attributes = 0;
  return handle && directory_identity(handle.get(), &now, &attributes) && now.device == id->device &&
         now.inode == id->inode;
}

// Owner the user, and a protected access list (nothing inherited from the
// parent, which may be C:\Windows\Temp or the root of a drive) granting the
// user alone full access, inherited by everything extracted inside.
bool platform_create_private_directory(const char* dir) {
  std::vector<unsigned char> storage;
  PSID user = current_user(storage);
  if (user == nullptr) {
    errno = EACCES;
    return false;
  }
  DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
  std::vector<unsigned char> acl_storage(acl_size, 0);
  PACL acl = reinterpret_cast<PACL>(acl_storage.data());
  SECURITY_DESCRIPTOR descriptor;
  bool built =
      InitializeAcl(acl, acl_size, ACL_REVISION) &&
      AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, user) &&
      InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorOwner(&descriptor, user, FALSE) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
      SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  if (!built) {
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_DEBUG,
           "cannot build the security of the extraction directory (error %lu)", (unsigned long)GetLastError());
    errno = EACCES;
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  if (CreateDirectoryW(installer_wide(dir).c_str(), &attributes)) return true;
  errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
  return false;
}

// The C runtime resets a handler to the default once it has run.
void platform_rearm_interrupt(int signum, void (*handler)(int)) { signal(signum, handler); }

namespace {

bool break_installed = false;
void (*previous_break)(int) = SIG_DFL;

}  // namespace

void platform_install_stop_handlers(void (*handler)(int)) {
  previous_break = signal(SIGBREAK, handler);
  break_installed = previous_break != SIG_ERR;
  if (!break_installed)
    veklog(VEK_SOURCE_HERE(installer), VEKLOG_WARN, "cannot install CTRL+BREAK handler: %s", strerror(errno));
}

void platform_restore_stop_handlers(void) {
  if (break_installed) signal(SIGBREAK, previous_break);
  break_installed = false;
}

void platform_install_bus_error_handler(void) {}

void platform_restore_bus_error_handler(void) {}

// Quotes one argument so that the C runtime of the started program splits
// it back exactly: backslashes before a quote (or before the closing quote)
// are doubled and the quote itself escaped; other backslashes stay single.
char* copy_arg(const char* arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char* c = arg; *c; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    if (*c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    quoted += *c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return _strdup(quoted.c_str());
}

int platform_run_configuration(char** args) {
  std::string command_line;
  for (char** arg = args; *arg; ++arg) {
    if (arg != args) command_line += ' ';
    command_line += *arg;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (!CreateProcessA(args[0], &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    // A policy that forbids programs in the temporary directory answers so.
    if (GetLastError() == ERROR_ACCESS_DENIED) log_run_permission_hint(args[0]);
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = (DWORD)-1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)exit_code;
}

void platform_make_tree_removable(const char*) {}
