// Writes a directory tree as an old-GNU tar archive in bounded gzip members.
// libarchive lays out the tar headers; member_writer_t compresses, so that
// the gzip headers carry neither a name nor a time.
#include "tar_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "member_writer.h"

namespace {

const size_t COPY_BUFFER_SIZE = 65536;

// Receives the tar stream from libarchive and compresses it into the output.
struct deflate_sink_t {
  member_writer_t* members;  // bounded gzip members on their way out
  std::string error;         // first failure, empty while all is well
};

la_ssize_t sink_write(struct archive*, void* client, const void* buffer, size_t length) {
  auto* sink = static_cast<deflate_sink_t*>(client);
  return sink->members->write(buffer, length, &sink->error) ? (la_ssize_t)length : -1;
}

int sink_close(struct archive*, void* client) {
  auto* sink = static_cast<deflate_sink_t*>(client);
  return sink->members->finish(&sink->error) ? ARCHIVE_OK : ARCHIVE_FATAL;
}

// Every entry below `root`, as paths relative to it, sorted bytewise so that
// a parent always comes before what it holds.
bool collect_entries(const std::string& root, const std::string& rel, std::vector<std::string>* names,
                     std::string* error) {
  std::string path = rel.empty() ? root : root + "/" + rel;
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    *error = "cannot read directory " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> children;
  while (struct dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name != "." && name != "..") children.push_back(rel.empty() ? name : rel + "/" + name);
  }
  closedir(dir);
  std::sort(children.begin(), children.end());
  for (const std::string& child : children) {
    names->push_back(child);
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        !collect_entries(root, child, names, error)) {
      return false;
    }
  }
  return true;
}

class tar_builder_t {
 public:
  tar_builder_t(const std::string& root, const tar_options_t& options) : root_(root), options_(options) {}

  bool add(struct archive* a, const std::string& name, std::string* error);

 private:
  bool describe(const std::string& name, const struct stat& st, struct archive_entry* e, bool* has_data,
                std::string* error);
  bool copy_data(struct archive* a, const std::string& path, int64_t size, std::string* error);

  std::string root_;
  tar_options_t options_;
  std::map<std::pair<dev_t, ino_t>, std::string> first_links_;  // inode -> name it was stored under
};

bool tar_builder_t::describe(const std::string& name, const struct stat& st, struct archive_entry* e,
                             bool* has_data, std::string* error) {
  std::string path = root_ + "/" + name;
  archive_entry_set_pathname(e, S_ISDIR(st.st_mode) ? (name + "/").c_str() : name.c_str());
  archive_entry_set_perm(e, st.st_mode & 07777);
  archive_entry_set_uid(e, 0);
  archive_entry_set_gid(e, 0);
  archive_entry_set_mtime(e, (time_t)options_.mtime, 0);
  archive_entry_set_size(e, 0);
  *has_data = false;
  if (S_ISREG(st.st_mode)) {
    archive_entry_set_filetype(e, AE_IFREG);
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto found = st.st_nlink > 1 ? first_links_.find(key) : first_links_.end();
    if (found != first_links_.end()) {
      archive_entry_set_hardlink(e, found->second.c_str());
      return true;
    }
    if (st.st_nlink > 1) first_links_[key] = name;
    archive_entry_set_size(e, st.st_size);
    *has_data = st.st_size > 0;
  } else if (S_ISDIR(st.st_mode)) {
    archive_entry_set_filetype(e, AE_IFDIR);
  } else if (S_ISLNK(st.st_mode)) {
    std::vector<char> target((size_t)st.st_size + 1 > 4096 ? (size_t)st.st_size + 1 : 4096);
    ssize_t len = readlink(path.c_str(), target.data(), target.size() - 1);
    if (len < 0) {
      *error = "cannot read symbolic link " + path + ": " + std::strerror(errno);
      return false;
    }
    archive_entry_set_filetype(e, AE_IFLNK);
    archive_entry_set_symlink(e, std::string(target.data(), (size_t)len).c_str());
  } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    archive_entry_set_filetype(e, S_ISFIFO(st.st_mode) ? AE_IFIFO : S_ISCHR(st.st_mode) ? AE_IFCHR : AE_IFBLK);
    archive_entry_set_rdev(e, st.st_rdev);
  } else {
    *error = "skip";
    return false;
  }
  return true;
}

bool tar_builder_t::copy_data(struct archive* a, const std::string& path, int64_t size, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  int64_t copied = 0;
  bool ok = true;
  while (ok && copied < size) {
    size_t want = (size_t)std::min<int64_t>(size - copied, (int64_t)COPY_BUFFER_SIZE);
    ssize_t got = read(fd, buffer.get(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = path + (got < 0 ? ": " + std::string(std::strerror(errno)) : " shrank while being archived");
      ok = false;
    } else if (archive_write_data(a, buffer.get(), (size_t)got) != got) {
      *error = std::string("cannot archive ") + path + ": " + archive_error_string(a);
      ok = false;
    } else {
      copied += got;
    }
  }
  close(fd);
  return ok;
}

bool tar_builder_t::add(struct archive* a, const std::string& name, std::string* error) {
  std::string path = root_ + "/" + name;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *error = "cannot examine " + path + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                             archive_entry_free);
  bool has_data = false;
  if (!describe(name, st, entry.get(), &has_data, error)) {
    if (*error != "skip") return false;
    fprintf(stderr, "mkinstaller: warning: skipping %s: sockets cannot be archived\n", path.c_str());
    error->clear();
    return true;
  }
  if (archive_write_header(a, entry.get()) < ARCHIVE_WARN) {
    *error = "cannot archive " + path + ": " + archive_error_string(a);
    return false;
  }
  return !has_data || copy_data(a, path, (int64_t)st.st_size, error);
}

}  // namespace

bool write_directory_archive(const std::string& dir, const tar_options_t& options, output_file_t& out,
                             std::string* error) {
  std::vector<std::string> names;
  if (!collect_entries(dir, "", &names, error)) return false;

  member_writer_t members(out, options.level, member_writer_t::default_threads());
  auto sink = std::make_unique<deflate_sink_t>();
  sink->members = &members;
  std::unique_ptr<struct archive, decltype(&archive_write_free)> a(archive_write_new(), archive_write_free);
  archive_write_set_format_gnutar(a.get());
  bool ok = archive_write_open(a.get(), sink.get(), nullptr, sink_write, sink_close) == ARCHIVE_OK;
  if (!ok) *error = std::string("cannot start the archive: ") + archive_error_string(a.get());
  tar_builder_t builder(dir, options);
  for (size_t i = 0; ok && i < names.size(); ++i) ok = builder.add(a.get(), names[i], error);
  if (archive_write_close(a.get()) != ARCHIVE_OK && ok) {
    *error = sink->error.empty() ? std::string("cannot finish the archive: ") + archive_error_string(a.get())
                                 : sink->error;
    ok = false;
  }
  if (ok && !sink->error.empty()) {
    *error = sink->error;
    ok = false;
  }
  return ok;
}
