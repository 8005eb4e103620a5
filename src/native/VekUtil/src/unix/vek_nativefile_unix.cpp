// POSIX calls behind the NativeFile natives. Each builds the text of the
// IOException its native raises.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "vek_file.h"
#include "vek_nativefile_platform.h"

namespace {

constexpr size_t kLinkBufferSize = 4096;
constexpr size_t kFirstAccountBufferSize = 1024;
constexpr size_t kMaxAccountBufferSize = 1024 * 1024;

using vek::nativefile::Path;

const char* shown(const Path& path) { return path.shown.c_str(); }

// errno for a null path, which the system calls would meet as EFAULT.
bool refuse_null(const Path& path) {
  if (!path.null) return false;
  errno = EINVAL;
  return true;
}

// The code points of UTF-16 units (wchar_t is UTF-32 here); false for a
// lone surrogate, which names no character.
bool code_points(const std::u16string& units, std::wstring& out) {
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t unit = units[i];
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return false;
    }
    out += static_cast<wchar_t>(unit);
  }
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

// Through the current locale, as the system's other programs name files.
bool to_native(const std::u16string& units, Path& path) {
  std::wstring wide;
  if (!code_points(units, wide)) return false;
  const wchar_t* source = wide.c_str();
  std::mbstate_t state{};
  size_t needed = std::wcsrtombs(nullptr, &source, 0, &state);
  if (needed == static_cast<size_t>(-1)) return false;
  std::string native(needed + 1, '\0');
  source = wide.c_str();
  state = std::mbstate_t{};
  std::wcsrtombs(native.data(), &source, native.size(), &state);
  native.resize(needed);
  path.native = std::move(native);
  return true;
}

bool create_symlink(const Path& source, const Path& dest, std::string& error) {
  if (!refuse_null(source) && !refuse_null(dest) && symlink(dest.native.c_str(), source.native.c_str()) == 0)
    return true;
  error = message("Could create symbolic link from %s to %s: %s", shown(source), shown(dest), strerror(errno));
  return false;
}

LinkState read_symlink(const Path& path, std::string& target, std::string& error) {
  if (path.null) {
    error = "Null filename provided, cannot determine symlink state";
    return LinkState::kFailed;
  }
  struct stat st;
  if (lstat(path.native.c_str(), &st) != 0) {
    error = message("Could not stat file %s: %s", shown(path), strerror(errno));
    return LinkState::kFailed;
  }
  if (!S_ISLNK(st.st_mode)) return LinkState::kNotALink;
  char buffer[kLinkBufferSize];
  ssize_t n = readlink(path.native.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) {
    error = message("Could not read symbolic link info for %s: %s", shown(path), strerror(errno));
    return LinkState::kFailed;
  }
  target.assign(buffer, static_cast<size_t>(n));
  return LinkState::kLink;
}

bool owner_name(const Path& path, std::string& name, std::string& error) {
  struct stat st;
  if (refuse_null(path) || stat(path.native.c_str(), &st) != 0) {
    error = message("Could not get ownership on file %s: %s", shown(path), strerror(errno));
    return false;
  }
  if (!account_name(st.st_uid, name)) name = std::to_string(static_cast<unsigned long>(st.st_uid));
  return true;
}

bool get_permissions(const Path& path, int& mode, std::string& error) {
  struct stat st;
  if (refuse_null(path) || lstat(path.native.c_str(), &st) != 0) {
    error = message("Could not lstat file %s: %s", shown(path), strerror(errno));
    return false;
  }
  mode = static_cast<int>(st.st_mode & 07777);
  return true;
}

void set_permissions(const Path& path, int mode, std::string& error) {
  if (!refuse_null(path) && chmod(path.native.c_str(), static_cast<mode_t>(mode)) == 0) return;
  error = message("Could not set permissions on %s: %s", shown(path), strerror(errno));
}

vek_uint64_t available_bytes(const Path& path) {
  return vek_getAvailableBytes(path.null ? nullptr : path.native.c_str());
}

}  // namespace vek::nativefile
