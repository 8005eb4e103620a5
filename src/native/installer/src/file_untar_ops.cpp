// File-writing operations: create the extracted tree below the working
// directory. Every operation that creates something first passes its names
// through check_extraction_path, the one place that decides whether a name
// stays inside the extraction directory.
#include "file_untar_ops.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "file_untar_ops_platform.h"
#include "vek_file.h"
#include "vek_logging.h"

namespace {

enum class PathUse {
  kCreate,    // the name itself is opened or created: it may not be a symbolic link either
  kLinkName,  // the name of a link or a hard link's target: link calls do not follow the last part
};

// Marks the archive as failed at once, so that the reader does not retry or
// drop the refusal like an ordinary link failure.
bool refuse(void* ctx, const char* entry_name, const std::string& reason) {
  veklog(VEK_HERE, VEKLOG_ERROR, "refusing to extract %s: %s", entry_name, reason.c_str());
  if (ctx != nullptr) static_cast<untar_context*>(ctx)->abort_archive = true;
  errno = EPERM;
  return false;
}

// True when writing `path` cannot touch anything outside the working
// directory: it is relative, has no ".." component and reaches no existing
// symbolic link on the way (a link made by an earlier entry or an earlier
// archive included). Symbolic links may point anywhere; nothing is written
// through one. `entry_name` names the entry in the ERROR.
bool check_extraction_path(void* ctx, const char* entry_name, const char* path, PathUse use) {
  if (path[0] == '\0') return refuse(ctx, entry_name, "empty name");
  if (platform_is_rooted(path)) return refuse(ctx, entry_name, std::string("absolute path ") + path);
  std::string prefix;
  const char* p = path;
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && !platform_is_separator(*end)) ++end;
    std::string part(p, end);
    prefix.append(p, end);
    bool last = (*end == '\0');
    if (platform_is_parent_reference(part.data(), part.size())) return refuse(ctx, entry_name, std::string("parent directory reference in ") + path);
    bool check_link = !part.empty() && part != "." && (!last || use == PathUse::kCreate);
    if (check_link && platform_is_symlink(prefix.c_str()))
      return refuse(ctx, entry_name, "path goes through symbolic link " + prefix);
    if (last) break;
    prefix.push_back(*end);
    p = end + 1;
  }
  return true;
}

// "dir/" names the directory "dir"; mkdir of the trimmed name applies the
// entry's mode where the parent creation would otherwise make it first.
std::string without_trailing_separators(const char* name) {
  std::string trimmed(name);
  while (trimmed.size() > 1 && platform_is_separator(trimmed.back())) trimmed.pop_back();
  return trimmed;
}

int file_open_file(void* ctx, const char* file_name, int mode) {
  if (!check_extraction_path(ctx, file_name, file_name, PathUse::kCreate)) return -1;
  return platform_open_file(file_name, mode);
}

int file_write_file(void*, int fd, const char* buf, size_t sz) {
  return platform_write_file(fd, buf, sz);
}

void file_close_file(void*, int fd) {
  platform_close_file(fd);
}

bool file_make_directory(void* ctx, const char* name, int mode) {
  if (!check_extraction_path(ctx, name, name, PathUse::kCreate)) return false;
  std::string directory = without_trailing_separators(name);
  return create_parent_dirs(directory.c_str()) && vek_createDirectory(directory.c_str(), mode);
}

bool file_make_device(void* ctx, const char* device_name, int mode, int major, int minor) {
  if (!check_extraction_path(ctx, device_name, device_name, PathUse::kCreate)) return false;
  return platform_make_device(device_name, mode, major, minor);
}

bool file_make_symlink(void* ctx, const char* to, const char* from) {
  if (!check_extraction_path(ctx, from, from, PathUse::kLinkName)) return false;
  return platform_make_symlink(to, from);
}

// A hard link's target is checked too: a target reached through a symbolic
// link would put an outside file under an inside name, and a later entry of
// that name would overwrite it.
bool file_make_hardlink(void* ctx, const char* to, const char* from) {
  if (!check_extraction_path(ctx, from, from, PathUse::kLinkName) ||
      !check_extraction_path(ctx, from, to, PathUse::kLinkName))
    return false;
  return platform_make_hardlink(to, from);
}

}  // namespace

bool create_parent_dirs(const char* path) {
  std::unique_ptr<char, decltype(&free)> dir(vek_getDirName(path), &free);
  if (!dir) {
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot get parent directory name for %s: %s", path, strerror(errno));
    return false;
  }
  if (!vek_createPath(dir.get(), 0777)) {
    int saved_errno = errno;
    veklog(VEK_HERE, VEKLOG_ERROR, "cannot create parents of %s", dir.get());
    errno = saved_errno;
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "created parents of %s", path);
  return true;
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
