// POSIX calls behind the NativeFile natives. Each builds the text of the
// IOException its native raises.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "vek_nativefile_platform.h"

namespace {

constexpr size_t kLinkBufferSize = 4096;
constexpr size_t kFirstAccountBufferSize = 1024;
constexpr size_t kMaxAccountBufferSize = 1024 * 1024;

const char* shown(const char* path) { return path != nullptr ? path : "(null)"; }

// errno for a null path, which the system calls would meet as EFAULT.
bool refuse_null(const char* path) {
  if (path != nullptr) return false;
  errno = EINVAL;
  return true;
}

// The account name of `uid` through the re-entrant lookup: the natives run
// on any Java thread at once and must not share getpwuid's static record.
// False when the ID has no account (or the lookup fails).
bool account_name(uid_t uid, std::string& name) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = suggested > 0 ? static_cast<size_t>(suggested) : kFirstAccountBufferSize;
  for (;;) {
    std::vector<char> buffer(size);
    struct passwd record;
    struct passwd* found = nullptr;
    int rc = getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && size < kMaxAccountBufferSize) {
      size *= 2;
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    name = found->pw_name;
    return true;
  }
}

}  // namespace

namespace vek::nativefile {

const bool kOwnerFailureGivesEmptyText = true;

bool create_symlink(const char* source, const char* dest, std::string& error) {
  if (!refuse_null(source) && !refuse_null(dest) && symlink(dest, source) == 0) return true;
  error = message("Could create symbolic link from %s to %s: %s", shown(source), shown(dest), strerror(errno));
  return false;
}

LinkState read_symlink(const char* path, std::string& target, std::string& error) {
  if (path == nullptr) {
    error = "Null filename provided, cannot determine symlink state";
    return LinkState::kFailed;
  }
  struct stat st;
  if (lstat(path, &st) != 0) {
    error = message("Could not stat file %s: %s", path, strerror(errno));
    return LinkState::kFailed;
  }
  if (!S_ISLNK(st.st_mode)) return LinkState::kNotALink;
  char buffer[kLinkBufferSize];
  ssize_t n = readlink(path, buffer, sizeof buffer - 1);
  if (n < 0) {
    error = message("Could not read symbolic link info for %s: %s", path, strerror(errno));
    return LinkState::kFailed;
  }
  target.assign(buffer, static_cast<size_t>(n));
  return LinkState::kLink;
}

bool owner_name(const char* path, std::string& name, std::string& error) {
  struct stat st;
  if (refuse_null(path) || stat(path, &st) != 0) {
    error = message("Could not get ownership on file %s: %s", shown(path), strerror(errno));
    return false;
  }
  if (!account_name(st.st_uid, name)) name = std::to_string(static_cast<unsigned long>(st.st_uid));
  return true;
}

bool get_permissions(const char* path, int& mode, std::string& error) {
  struct stat st;
  if (refuse_null(path) || lstat(path, &st) != 0) {
    error = message("Could not lstat file %s: %s", shown(path), strerror(errno));
    return false;
  }
  mode = static_cast<int>(st.st_mode & 07777);
  return true;
}

void set_permissions(const char* path, int mode, std::string& error) {
  if (!refuse_null(path) && chmod(path, static_cast<mode_t>(mode)) == 0) return;
  error = message("Could not set permissions on %s: %s", shown(path), strerror(errno));
}

}  // namespace vek::nativefile
