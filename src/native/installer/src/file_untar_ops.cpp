// File-writing operations: create the extracted tree below the working
// directory. Every operation that creates something first passes its names
// through check_extraction_path, and so through unsafe_path_reason
// (path_gate.cpp), the one place that decides whether a name stays inside
// the extraction directory.
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
#include "vek_log_source.h"

VEK_LOG_SOURCE(file_untar_ops) = __FILE__;

// Directory entries whose mode waits for the end of the archive: a mode
// without write or search bits applied at once would stop the entries that
// follow inside the directory.
struct directory_mode_queue_t {
  std::map<std::string, int> modes;  // directory key (path_key) -> permission bits
};

namespace {

// The file being written (the reader writes one at a time), to name it when
// its close fails; and who hears of the bytes written.
std::string open_file_name;
file_progress_func progress_callback = nullptr;

// Marks the archive as failed at once, so that the reader does not retry or
// drop the refusal like an ordinary link failure.
bool refuse(void* ctx, const char* entry_name, const std::string& reason) {
  veklog(VEK_HERE, VEKLOG_ERROR, "refusing to extract %s: %s", printable_name(entry_name).c_str(),
         printable_name(reason).c_str());
  if (ctx != nullptr) static_cast<untar_context*>(ctx)->abort_archive = true;
  errno = EPERM;
  return false;
}

// Asks the disk: the file-writing operations' view of the tree.
bool disk_is_symlink(void*, const char* prefix) { return platform_is_symlink(prefix); }

// The gate over the disk with this system's rules; `entry_name` names the
// entry in the ERROR.
bool check_extraction_path(void* ctx, const char* entry_name, const char* path, path_use_t use) {
  std::string reason = unsafe_path_reason(path, use, native_path_rules(), disk_is_symlink, nullptr);
  return reason.empty() || refuse(ctx, entry_name, reason);
}

// "dir/" names the directory "dir": the trimmed name is the one made and
// the one whose mode is remembered.
std::string without_trailing_separators(const char* name) {
  std::string trimmed(name);
  while (trimmed.size() > 1 && path_is_separator(trimmed.back(), native_path_rules())) trimmed.pop_back();
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

size_t depth_of(const std::string& key) { return static_cast<size_t>(std::count(key.begin(), key.end(), '/')); }

// The working directory itself ("./" in archives made of ".") belongs to the
// installer: its mode is left alone.
bool remember_directory_mode(void* ctx, const std::string& directory, int mode) {
  std::string key = path_key(directory, native_path_rules());
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
  if (!check_extraction_path(ctx, from, from, PATH_LINK_NAME) || !check_extraction_path(ctx, from, to, PATH_LINK_NAME))
    return false;
  return platform_make_hardlink(to, from);
}

// A directory that became a symbolic link or something else meanwhile is
// skipped: its mode is never applied through a link.
bool apply_directory_mode(const std::string& directory, int mode) {
  std::string reason =
      unsafe_path_reason(directory.c_str(), PATH_CREATE, native_path_rules(), disk_is_symlink, nullptr);
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
  for (const auto& item : order)
    applied = apply_directory_mode(item.second->first, item.second->second & ~mask) && applied;
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

void set_file_untar_progress(file_progress_func callback) { progress_callback = callback; }

void init_file_untar_ops(untar_ops* ops) {
  ops->open_file = file_open_file;
  ops->write_file = file_write_file;
  ops->close_file = file_close_file;
  ops->make_directory = file_make_directory;
  ops->make_device = file_make_device;
  ops->make_symlink = file_make_symlink;
  ops->make_hardlink = file_make_hardlink;
}
