// File-writing operations: create the extracted tree below the working
// directory. Every operation that creates something first passes its names
// through check_extraction_path, and so through unsafe_path_reason, the one
// place that decides whether a name stays inside the extraction directory.
#include "file_untar_ops.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "file_untar_ops_platform.h"
#include "path_gate.h"
#include "printable_name.h"
#include "vek_file.h"
#include "vek_logging.h"

extern "C" const char file_untar_ops_source_path[] = __FILE__;

// Directory entries whose mode waits for the end of the archive: a mode
// without write or search bits applied at once would stop the entries that
// follow inside the directory.
struct directory_mode_queue_t {
  std::map<std::string, int> modes;  // directory key (see directory_key) -> permission bits
};

namespace {

// The file being written (the reader writes one at a time), to name it when
// its close fails; and who hears of the bytes written.
std::string open_file_name;
file_progress_func progress_callback = nullptr;

#ifdef _WIN32
const path_rules_t kNativeRules = PATH_RULES_WINDOWS;
#else
const path_rules_t kNativeRules = PATH_RULES_POSIX;
#endif

// Device names Windows reserves in every directory, compared without case.
const char* const kReservedDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// COM and LPT take a digit 1-9, or a superscript 1-3 (UTF-8).
const char* const kReservedPortDigits[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9",
                                           "\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};

// Marks the archive as failed at once, so that the reader does not retry or
// drop the refusal like an ordinary link failure.
bool refuse(void* ctx, const char* entry_name, const std::string& reason) {
  veklog(VEK_HERE, VEKLOG_ERROR, "refusing to extract %s: %s", printable_name(entry_name).c_str(),
         printable_name(reason).c_str());
  if (ctx != nullptr) static_cast<untar_context*>(ctx)->abort_archive = true;
  errno = EPERM;
  return false;
}

bool equals_ignoring_case(const std::string& a, const char* b) {
  size_t n = strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

// A component of only dots and blanks with two dots or more: Windows drops
// trailing dots and blanks, so ".. " and "..." may reach the parent.
bool is_parent_reference(const std::string& part, path_rules_t rules) {
  if (rules == PATH_RULES_POSIX) return part == "..";
  size_t dots = 0;
  for (char c : part) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

// A character that no Windows file name holds; ':' is refused as a drive
// or stream before this is asked.
bool is_forbidden_windows_char(char c) {
  return c != '\0' && ((c > 0 && c < 0x20) || strchr("<>\"|?*", c) != nullptr);
}

// Leading separator, or under Windows rules a colon anywhere: "C:x" is
// relative to that drive's own directory, "f:s" an alternate data stream.
std::string rooted_reason(const char* path, path_rules_t rules) {
  if (path_is_separator(path[0], rules)) return std::string("absolute path ") + path;
  if (rules == PATH_RULES_WINDOWS && strchr(path, ':') != nullptr)
    return std::string("drive or stream name in ") + path;
  return "";
}

// Why one component cannot be made under `rules`, or "".
std::string component_reason(const std::string& part, const char* path, path_rules_t rules) {
  if (is_parent_reference(part, rules)) return std::string("parent directory reference in ") + path;
  if (rules == PATH_RULES_POSIX) return "";
  for (char c : part)
    if (is_forbidden_windows_char(c)) return std::string("a character Windows cannot hold in a name in ") + path;
  if (path_is_reserved_device_name(part.data(), part.size()))
    return "reserved device name " + part + " in " + path;
  return "";
}

// Asks the disk: the file-writing operations' view of the tree.
bool disk_is_symlink(void*, const char* prefix) {
  return platform_is_symlink(prefix);
}

// The gate over the disk with this system's rules; `entry_name` names the
// entry in the ERROR.
bool check_extraction_path(void* ctx, const char* entry_name, const char* path, path_use_t use) {
  std::string reason = unsafe_path_reason(path, use, kNativeRules, disk_is_symlink, nullptr);
  return reason.empty() || refuse(ctx, entry_name, reason);
}

// "dir/" names the directory "dir": the trimmed name is the one made and
// the one whose mode is remembered.
std::string without_trailing_separators(const char* name) {
  std::string trimmed(name);
  while (trimmed.size() > 1 && path_is_separator(trimmed.back(), kNativeRules)) trimmed.pop_back();
  return trimmed;
}

int file_open_file(void* ctx, const char* file_name, int mode) {
  if (!check_extraction_path(ctx, file_name, file_name, PATH_CREATE)) return -1;
  int fd = platform_open_file(file_name, mode);
  if (fd != -1) open_file_name = file_name;
  return fd;
}

int file_write_file(void*, int fd, const char* buf, size_t sz) {
  int written = platform_write_file(fd, buf, sz);
  if (written > 0 && progress_callback != nullptr) progress_callback(static_cast<vek_uint64_t>(written));
  return written;
}

// A file whose close fails may be short (a deferred write error): it fails
// the archive, which the close slot can only report through the context.
void file_close_file(void* ctx, int fd) {
  if (platform_close_file(fd)) return;
  int error = errno;
  veklog(VEK_HERE, VEKLOG_ERROR, "cannot finish writing %s: %s", printable_name(open_file_name).c_str(),
         strerror(error));
  if (ctx != nullptr) static_cast<untar_context*>(ctx)->abort_archive = true;
  errno = error;
}

// The name's components without empty and "." ones, joined by '/': the
// same directory always gets the same key, and "" is the working directory.
std::string directory_key(const std::string& name) {
  std::string key;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !path_is_separator(name[end], kNativeRules)) ++end;
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") key += (key.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return key;
}

size_t depth_of(const std::string& key) {
  return static_cast<size_t>(std::count(key.begin(), key.end(), '/'));
}

// The working directory itself ("./" in archives made of ".") belongs to the
// installer: its mode is left alone.
bool remember_directory_mode(void* ctx, const std::string& directory, int mode) {
  std::string key = directory_key(directory);
  if (ctx == nullptr || key.empty()) return true;
  auto* context = static_cast<untar_context*>(ctx);
  try {
    if (context->directory_modes == nullptr) context->directory_modes = new directory_mode_queue_t;
    context->directory_modes->modes[key] = mode & 07777;  // a later entry of the same directory wins
    return true;
  } catch (const std::bad_alloc&) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot remember the mode of directory %s", printable_name(directory).c_str());
    errno = ENOMEM;
    return false;
  }
}

bool file_make_directory(void* ctx, const char* name, int mode) {
  if (!check_extraction_path(ctx, name, name, PATH_CREATE)) return false;
  std::string directory = without_trailing_separators(name);
  return create_parent_dirs(directory.c_str()) && platform_make_directory(directory.c_str(), mode) &&
         remember_directory_mode(ctx, directory, mode);
}

bool file_make_device(void* ctx, const char* device_name, int mode, int major, int minor) {
  if (!check_extraction_path(ctx, device_name, device_name, PATH_CREATE)) return false;
  return platform_make_device(device_name, mode, major, minor);
}

bool file_make_symlink(void* ctx, const char* to, const char* from) {
  if (!check_extraction_path(ctx, from, from, PATH_LINK_NAME)) return false;
  return platform_make_symlink(to, from);
}

// A hard link's target is checked too: a target reached through a symbolic
// link would put an outside file under an inside name, and a later entry of
// that name would overwrite it.
bool file_make_hardlink(void* ctx, const char* to, const char* from) {
  if (!check_extraction_path(ctx, from, from, PATH_LINK_NAME) ||
      !check_extraction_path(ctx, from, to, PATH_LINK_NAME))
    return false;
  return platform_make_hardlink(to, from);
}

// A directory that became a symbolic link or something else meanwhile is
// skipped: its mode is never applied through a link.
bool apply_directory_mode(const std::string& directory, int mode) {
  std::string reason = unsafe_path_reason(directory.c_str(), PATH_CREATE, kNativeRules, disk_is_symlink, nullptr);
  if (reason.empty() && platform_set_directory_mode(directory.c_str(), mode)) return true;
  if (reason.empty() && errno != ELOOP && errno != ENOTDIR) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot set the mode of directory %s: %s", printable_name(directory).c_str(),
           strerror(errno));
    return false;
  }
  veklog(VEK_HERE, VEKLOG_WARN, "not setting the mode of %s: %s", printable_name(directory).c_str(),
         reason.empty() ? "no longer a directory" : printable_name(reason).c_str());
  return true;
}

}  // namespace

path_rules_t native_path_rules() {
  return kNativeRules;
}

bool path_is_separator(char c, path_rules_t rules) {
  return c == '/' || (rules == PATH_RULES_WINDOWS && c == '\\');
}

// The part before the first dot, less trailing blanks, is what Windows
// compares: "aux.h", "Nul .txt" and "COM1" are all devices.
bool path_is_reserved_device_name(const char* part, size_t len) {
  std::string base(part, len);
  base = base.substr(0, base.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* name : kReservedDeviceNames)
    if (equals_ignoring_case(base, name)) return true;
  if (base.size() < 4 || !(equals_ignoring_case(base.substr(0, 3), "COM") || equals_ignoring_case(base.substr(0, 3), "LPT")))
    return false;
  for (const char* digit : kReservedPortDigits)
    if (base.compare(3, std::string::npos, digit) == 0) return true;
  return false;
}

std::string unsafe_path_reason(const char* path, path_use_t use, path_rules_t rules, path_is_symlink_func is_symlink,
                               void* tree) {
  if (path[0] == '\0') return "empty name";
  std::string reason = rooted_reason(path, rules);
  if (!reason.empty()) return reason;
  std::string prefix;
  const char* p = path;
  for (;;) {
    const char* end = p;
    while (*end != '\0' && !path_is_separator(*end, rules)) ++end;
    std::string part(p, end);
    prefix.append(p, end);
    bool last = (*end == '\0');
    reason = component_reason(part, path, rules);
    if (!reason.empty()) return reason;
    bool check_link = !part.empty() && part != "." && (!last || use == PATH_CREATE);
    if (check_link && is_symlink(tree, prefix.c_str())) return "path goes through symbolic link " + prefix;
    if (last) return "";
    prefix.push_back(*end);
    p = end + 1;
  }
}

bool finish_file_untar_ops(untar_context* ctx, bool apply_modes) {
  std::unique_ptr<directory_mode_queue_t> queue(ctx->directory_modes);
  ctx->directory_modes = nullptr;
  if (!queue || !apply_modes) return true;
  // Deepest first: a parent made read-only or unsearchable must not stop
  // the directories below it.
  std::vector<std::pair<size_t, const std::pair<const std::string, int>*>> order;
  try {
    order.reserve(queue->modes.size());
  } catch (const std::bad_alloc&) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot order the directory modes of the archive");
    return false;
  }
  for (const auto& entry : queue->modes) order.emplace_back(depth_of(entry.first), &entry);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  int mask = platform_creation_mask();
  bool applied = true;
  for (const auto& item : order) applied = apply_directory_mode(item.second->first, item.second->second & ~mask) && applied;
  return applied;
}

bool create_parent_dirs(const char* path) {
  std::unique_ptr<char, decltype(&free)> dir(vek_getDirName(path), &free);
  if (!dir) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot get parent directory name for %s: %s", printable_name(path).c_str(),
           strerror(errno));
    return false;
  }
  if (!vek_createPath(dir.get(), 0777)) {
    int saved_errno = errno;
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot create parents of %s", printable_name(dir.get()).c_str());
    errno = saved_errno;
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "created parents of %s", printable_name(path).c_str());
  return true;
}

void set_file_untar_progress(file_progress_func callback) {
  progress_callback = callback;
}

void init_file_untar_ops(untar_ops* ops) {
  ops->open_file = file_open_file;
  ops->write_file = file_write_file;
  ops->close_file = file_close_file;
  ops->make_directory = file_make_directory;
  ops->make_device = file_make_device;
  ops->make_symlink = file_make_symlink;
  ops->make_hardlink = file_make_hardlink;
}
