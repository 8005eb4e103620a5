// Paths and directories, temporary locations and temporary files: the logic
// shared by both platforms. The system calls live in unix/vek_file_unix.cpp
// and windows/vek_file_windows.cpp behind vek_file_platform.h.
#include "vek_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vek_file_platform.h"
#include "vek_list.h"
#include "vek_logging.h"

VEK_LOG_SOURCE(file) = __FILE__;

namespace {

using vek::file::EntryKind;
using CBuffer = std::unique_ptr<char, decltype(&free)>;

// Process-wide choice of vek_getTempDir: set once, never freed.
const char* vek_temp_dir = nullptr;
// The environment variable whose value became vek_temp_dir ("TMP", "TEMP"
// or "TMPDIR"); NULL for a fixed place or the working directory.
const char* vek_temp_dir_variable = nullptr;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_dir_name_separator(char c) { return std::strchr(vek::file::kDirNameSeparators, c) != nullptr && c != '\0'; }

// Copies `text` into the caller's buffer, cut to buf_len - 1 bytes, and
// returns the number of bytes written before the terminator.
size_t copy_cut(const std::string& text, char* buffer, size_t buf_len) {
  if (buffer == nullptr || buf_len == 0) return 0;
  size_t n = text.size() < buf_len - 1 ? text.size() : buf_len - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

// Components split on either separator; runs of separators give no empty
// component, so leading and trailing separators vanish.
std::vector<std::string_view> split_components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// "." drops out, ".." cancels the component before it unless that is itself
// "..": leading ".." survive, also right after the root.
std::vector<std::string_view> fold_dots(const std::vector<std::string_view>& parts) {
  std::vector<std::string_view> kept;
  for (std::string_view part : parts) {
    if (part == ".") continue;
    if (part == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  return kept;
}

std::string join_components(const std::vector<std::string_view>& parts, bool full, bool network) {
  std::string result;
  if (network) {
    result.assign(2, vek::file::kJoinSeparator);
  } else if (full && vek::file::kRootSeparatorLeads) {
    result.push_back(vek::file::kJoinSeparator);
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result.push_back(vek::file::kJoinSeparator);
    result.append(parts[i]);
  }
  return result;
}

bool normalize(const char* filename, char* buffer, size_t buf_len) {
  bool full = vek_isFullPath(filename);
  bool network = vek::file::is_network_path(filename);
  std::vector<std::string_view> parts = split_components(filename);
  if (parts.empty()) return false;
  std::string result = join_components(fold_dots(parts), full, network);
  if (result == filename) return false;
  size_t len = std::strlen(filename);
  if (full && vek::file::kKeepTrailingSeparatorOfFullPath && is_separator(filename[len - 1])) {
    result.push_back(vek::file::kJoinSeparator);
  }
  copy_cut(result, buffer, buf_len);
  return true;
}

std::string dir_name(std::string_view path) {
  size_t end = path.size();
  if (end > 0 && is_dir_name_separator(path[end - 1])) {
    // A trailing separator names the directory itself.
    while (end > 0 && is_dir_name_separator(path[end - 1])) --end;
    if (end == 0) return std::string(1, path[0]);  // only separators: the root
    return std::string(path.substr(0, end));
  }
  if (path.size() <= 1) return ".";
  size_t cut = end;
  while (cut > 0 && !is_dir_name_separator(path[cut - 1])) --cut;
  if (cut == 0) return ".";
  size_t root_char = cut - 1;
  --cut;
  while (cut > 0 && is_dir_name_separator(path[cut - 1])) --cut;
  if (cut == 0) return std::string(1, path[root_char]);  // "/a" gives "/"
  return std::string(path.substr(0, cut));
}

bool create_path_levels(const char* path, int mode) {
  if (vek_doesDirectoryExist(path)) return true;
  CBuffer parent(vek_getDirName(path), &free);
  if (!parent) return false;
  // The parent of a root is the root itself: stop there instead of looping.
  if (std::strcmp(parent.get(), ".") != 0 && std::strcmp(parent.get(), path) != 0 &&
      !create_path_levels(parent.get(), mode)) {
    return false;
  }
  return vek_createDirectory(path, mode);
}

// Deletes what is below `path` and then `path`. Entries are examined without
// following links, so a link inside the tree is deleted as a link and what it
// points to is never touched.
bool remove_tree(const std::string& path) {
  std::vector<std::string> names;
  if (!vek::file::list_directory(path.c_str(), names)) return false;
  for (const std::string& name : names) {
    if (name == "." || name == "..") continue;
    std::string child = path + vek::file::kJoinSeparator + name;
    EntryKind kind;
    if (!vek::file::entry_kind(child.c_str(), kind)) continue;
    if (kind == EntryKind::kDirectory) {
      remove_tree(child);
    } else if (kind == EntryKind::kDirectoryLink) {
      vek::file::remove_empty_directory(child.c_str());
    } else {
      vek::file::remove_file(child.c_str());
    }
  }
  return vek::file::remove_empty_directory(path.c_str());
}

// A candidate is usable when a file can be made and written in it. The probe
// is removed again; a name that was never created is not removed, so a
// failed probe cannot delete a file that belongs to someone else.
bool probe_temp_candidate(const std::string& dir) {
  std::string probe = dir + "/pas-tmp.XXXXXX";
  FILE* stream = vek_makeTempFile(probe.data());
  if (stream == nullptr) return false;
  bool written = std::fputc('!', stream) != EOF;
  bool closed = std::fclose(stream) == 0;
  std::remove(probe.c_str());
  return written && closed;
}

// One place to try: the directory and the variable that named it (NULL
// for the fixed places).
struct temp_candidate_t {
  std::string dir;       // the candidate directory as given
  const char* variable;  // constant name of its environment variable, or NULL
};

std::vector<temp_candidate_t> temp_candidates() {
  std::vector<temp_candidate_t> candidates;
  for (const char* variable : {"TMP", "TEMP", "TMPDIR"}) {
    const char* value = std::getenv(variable);
    // An empty value would put the probe at the root of the file system.
    if (value != nullptr && value[0] != '\0') candidates.push_back({value, variable});
  }
  for (std::string& fixed : vek::file::fixed_temp_candidates()) candidates.push_back({fixed, nullptr});
  return candidates;
}

// A probe that failed for want of memory says nothing about its directory:
// the choice is given up (and made again by the next call) rather than
// settled for good on a later candidate.
const char* choose_temp_dir() {
  for (const temp_candidate_t& candidate : temp_candidates()) {
    if (probe_temp_candidate(candidate.dir)) {
      vek_temp_dir_variable = candidate.variable;
      return strdup(candidate.dir.c_str());
    }
    if (errno == ENOMEM) return nullptr;
  }
  std::string cwd;
  if (vek::file::working_directory(cwd) && probe_temp_candidate(cwd)) return strdup(cwd.c_str());
  return nullptr;
}

}  // namespace

extern "C" {

bool vek_isFullPath(const char* filename) { return filename != nullptr && vek::file::is_full_path(filename); }

bool vek_normalizePath(const char* filename, char* buffer, size_t buf_len) {
  if (filename == nullptr || std::strcmp(filename, ".") == 0) return false;
  if (buffer == nullptr || buf_len == 0) return false;
  try {
    return normalize(filename, buffer, buf_len);
  } catch (...) {
    return false;  // out of memory: callers go on with the path as given
  }
}

size_t vek_getFullPath(const char* filename, char* buffer, size_t buf_len) {
  try {
    std::string full;
    if (filename != nullptr && vek::file::full_path(filename, full) && !full.empty()) {
      return copy_cut(full, buffer, buf_len);
    }
  } catch (...) {
  }
  veklog(VEK_HERE, VEKLOG_WARN, "Could not convert path name '%s' to its canonical form",
         filename != nullptr ? filename : "(null)");
  return 0;
}

char* vek_getDirName(const char* path) {
  if (path == nullptr) return nullptr;
  try {
    return strdup(dir_name(path).c_str());
  } catch (...) {
    return nullptr;
  }
}

const char* vek_getFileName(const char* path) {
  if (path == nullptr) return nullptr;
  const char* name = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (is_dir_name_separator(*p)) name = p + 1;
  }
  return name != nullptr ? name : "";
}

bool vek_doesDirectoryExist(const char* directory) {
  if (directory == nullptr || directory[0] == '\0') {
    errno = ENOENT;
    return false;
  }
  return vek::file::directory_exists(directory);
}

bool vek_doesFileExist(const char* filename) {
  if (filename == nullptr || filename[0] == '\0') {
    veklog(VEK_HERE, VEKLOG_ERROR, "null file name");
    vek::file::set_missing_name_error();
    return false;
  }
  return vek::file::file_exists(filename);
}

bool vek_isFileExecutable(const char* filename) {
  bool is_directory = false;
  bool owner_exec = false;
  vek_uint64_t size = 0;
  if (!vek_doesFileExist(filename)) return false;
  if (!vek::file::stat_path(filename, is_directory, owner_exec, size)) return false;
  errno = owner_exec ? 0 : ENOEXEC;
  return owner_exec;
}

vek_uint64_t vek_getFileSize(const char* path) {
  bool is_directory = false;
  bool owner_exec = false;
  vek_uint64_t size = 0;
  if (!vek_doesFileExist(path)) return VEK_UINT64_UNKNOWN;
  if (!vek::file::stat_path(path, is_directory, owner_exec, size)) return VEK_UINT64_UNKNOWN;
  return size;
}

bool vek_createDirectory(const char* name, int mode) {
  if (vek_doesDirectoryExist(name)) return true;
  if (name == nullptr || name[0] == '\0') return false;
  return vek::file::make_directory(name, mode);
}

bool vek_createPath(const char* path, int mode) {
  if (path == nullptr) return false;
  char normalized[VEK_PATH_MAX];
  const char* target = vek_normalizePath(path, normalized, sizeof normalized) ? normalized : path;
  return create_path_levels(target, mode);
}

vek_list_t* vek_getDirectoryContents(const char* name) {
  if (!vek_doesDirectoryExist(name)) return nullptr;
  try {
    std::vector<std::string> names;
    if (!vek::file::list_directory(name, names)) return nullptr;
    vek_list_t* list = vek_listCreate(1);
    if (list == nullptr) return nullptr;
    for (const std::string& entry : names) {
      char* copy = strdup(entry.c_str());
      if (copy == nullptr || !vek_listAdd(list, copy)) {
        free(copy);
        vek_listDeleteAll(list);
        vek_listDestroy(list);
        return nullptr;
      }
    }
    return list;
  } catch (...) {
    return nullptr;
  }
}

bool vek_removeDirectory(const char* name) {
  EntryKind kind;
  if (!vek_doesDirectoryExist(name)) return false;
  if (!vek::file::entry_kind(name, kind)) return false;
  if (kind != EntryKind::kDirectory) {
    // A link to a directory: deleting "its" tree would delete the target's.
    errno = ENOTDIR;
    return false;
  }
  try {
    return remove_tree(name);
  } catch (...) {
    return false;
  }
}

const char* vek_getTempDir(void) {
  if (vek_temp_dir != nullptr) return vek_temp_dir;
  try {
    vek_temp_dir = choose_temp_dir();
  } catch (...) {
    return nullptr;
  }
  return vek_temp_dir;
}

const char* vek_getTempDirVariable(void) { return vek_temp_dir != nullptr ? vek_temp_dir_variable : nullptr; }

bool vek_isNoExecFileSystem(const char* name) {
  return name != nullptr && name[0] != '\0' && vek::file::no_exec_file_system(name);
}

int vek_makeTempFileHandle(char* template_name) { return vek::file::make_temp_file_handle(template_name); }

FILE* vek_makeTempFile(char* template_name) {
  int fd = vek_makeTempFileHandle(template_name);
  if (fd == -1) return nullptr;
  FILE* stream = vek::file::open_stream(fd);
  if (stream == nullptr) {
    int error = errno;
    veklog(VEK_HERE, VEKLOG_ERROR, "Couldn't create temporary file's (%s) file descriptor: %s", template_name,
           std::strerror(error));
    // The caller gets no handle to the new file: do not leave it behind.
    vek::file::close_descriptor(fd);
    std::remove(template_name);
    errno = error;
  }
  return stream;
}

vek_uint64_t vek_getAvailableBytes(const char* name) { return vek::file::available_bytes(name); }

}  // extern "C"
