// Writes tar streams in the old GNU form, header by header, into bounded
// gzip members, and packs directory trees with it. Headers are laid out here
// rather than by a library: the installer's reader accepts exactly one
// long-link form.
#include "tar_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "path_gate.h"
#include "payload_tree.h"
#include "status_line.h"
#include "tar_format.h"

namespace {

const size_t BLOCK = TAR_BLOCK_SIZE;
const size_t RECORD = TAR_RECORD_SIZE;  // archives end on a whole record, as tar tools write them
const size_t COPY_BUFFER_SIZE = 65536;
const size_t NAME_FIELD = sizeof(tar_header_t::name);
const size_t LINK_FIELD = sizeof(tar_header_t::linkname);

uint64_t packed_entries = 0;  // entries of every stream of this run
uint64_t packed_bytes = 0;    // file data of every stream of this run

// Octal digits and a NUL; values that do not fit take the GNU base-256 form.
void put_number(char* field, size_t width, uint64_t value) {
  if (width - 1 >= 22 || value < (1ull << (3 * (width - 1)))) {
    snprintf(field, width, "%0*llo", (int)(width - 1), (unsigned long long)value);
    return;
  }
  memset(field, 0, width);
  field[0] = (char)0x80;
  for (size_t i = width - 1; i > 0 && value != 0; --i, value >>= 8) field[i] = (char)(value & 0xff);
}

}  // namespace

// Names are judged as the tar stream holds them, '/' separating, with the
// path gate's own tests; the path gate proper runs over the simulated tree
// when the payload is read back.
std::string unrepresentable_reason(const tar_entry_t& entry, const tar_options_t& options) {
  const std::string& name = entry.name;
  bool link = entry.type == TAR_TYPE_HARDLINK || entry.type == TAR_TYPE_SYMLINK;
  if (name.empty()) return "the entry has no name";
  if (name.find('\0') != std::string::npos) return "the name holds a NUL byte";
  if (path_is_separator(name[0], PATH_RULES_POSIX)) return "absolute names are refused by the installer";
  if (path_has_parent_reference(name, PATH_RULES_POSIX))
    return "names with a \"..\" component are refused by the installer";
  if (name.size() + 1 > TAR_MAX_LONG_NAME)
    return "a name of " + std::to_string(name.size()) + " bytes is longer than the installer's reader holds";
  if (entry.link.size() + 1 > TAR_MAX_LONG_NAME)
    return "a link target of " + std::to_string(entry.link.size()) +
           " bytes is longer than the installer's reader holds";
  if (link && entry.link.empty()) return "the link has no target";
  if (entry.type == TAR_TYPE_HARDLINK &&
      (path_is_separator(entry.link[0], PATH_RULES_POSIX) || path_has_parent_reference(entry.link, PATH_RULES_POSIX)))
    return "hard links to an absolute target or one with a \"..\" component are refused by the installer";
  if (!options.windows) return "";
  if (entry.type == TAR_TYPE_CHAR_DEVICE || entry.type == TAR_TYPE_BLOCK_DEVICE || entry.type == TAR_TYPE_FIFO)
    return "the Windows installer cannot create devices or FIFOs";
  if (name.find(':') != std::string::npos || name.find('\\') != std::string::npos)
    return "names with ':' or '\\' are refused by the Windows installer";
  return "";
}

tar_stream_t::tar_stream_t(output_file_t& out, const tar_options_t& options)
    : options_(options), members_(out, options.level, member_writer_t::default_threads()) {}

bool tar_stream_t::put(const void* data, size_t size, std::string* error) {
  if (!members_.write(data, size, error)) return false;
  written_ += size;
  return true;
}

bool tar_stream_t::pad_block(std::string* error) {
  static const char zeros[BLOCK] = {0};
  size_t rest = (size_t)(written_ % BLOCK);
  return rest == 0 || put(zeros, BLOCK - rest, error);
}

bool tar_stream_t::put_header(const tar_entry_t& entry, char type, const std::string& name, uint64_t size,
                              std::string* error) {
  tar_block_t block;
  memset(&block, 0, sizeof(block));
  tar_header_t& h = block.header;
  memcpy(h.name, name.data(), std::min(name.size(), NAME_FIELD));
  put_number(h.mode, sizeof(h.mode), (uint64_t)(entry.mode & 07777));
  put_number(h.uid, sizeof(h.uid), 0);
  put_number(h.gid, sizeof(h.gid), 0);
  put_number(h.size, sizeof(h.size), size);
  put_number(h.mtime, sizeof(h.mtime), (uint64_t)std::max<int64_t>(options_.mtime, 0));
  h.typeflag = type;
  if (type == TAR_TYPE_HARDLINK || type == TAR_TYPE_SYMLINK)
    memcpy(h.linkname, entry.link.data(), std::min(entry.link.size(), LINK_FIELD));
  // The old GNU magic and version: the form whose long records the reader takes.
  memcpy(h.magic, TAR_OLDGNU_MAGIC, sizeof(h.magic));
  memcpy(h.version, TAR_OLDGNU_MAGIC + sizeof(h.magic), sizeof(h.version));
  memcpy(h.uname, "root", 4);
  memcpy(h.gname, "root", 4);
  if (type == TAR_TYPE_CHAR_DEVICE || type == TAR_TYPE_BLOCK_DEVICE) {
    put_number(h.devmajor, sizeof(h.devmajor), entry.major);
    put_number(h.devminor, sizeof(h.devminor), entry.minor);
  }
  memset(h.chksum, ' ', sizeof(h.chksum));
  unsigned sum = 0;
  for (size_t i = 0; i < BLOCK; ++i) sum += (unsigned char)block.data[i];
  snprintf(h.chksum, 7, "%06o", sum);  // six digits, NUL, and the blank already there
  return put(block.data, BLOCK, error);
}

// A GNU record ('L' long name, 'K' long link target): the text and a NUL
// as its data.
bool tar_stream_t::put_long_record(char type, const std::string& text, std::string* error) {
  tar_entry_t record;
  record.mode = 0644;
  return put_header(record, type, TAR_LONG_NAME_TAG, text.size() + 1, error) &&
         put(text.c_str(), text.size() + 1, error) && pad_block(error);
}

bool tar_stream_t::add_entry(const tar_entry_t& entry, std::string* error) {
  if (data_left_ != 0) {
    *error = "internal error: the data of the previous entry is incomplete";
    return false;
  }
  bool link = entry.type == TAR_TYPE_HARDLINK || entry.type == TAR_TYPE_SYMLINK;
  bool long_name = entry.name.size() > NAME_FIELD;
  // The reader takes a long link only as K, L, header: a long name alone
  // before a link header is refused, so such a link gets its K record too.
  if (link && (entry.link.size() > LINK_FIELD || long_name) && !put_long_record(TAR_TYPE_LONG_LINK, entry.link, error))
    return false;
  if (long_name && !put_long_record(TAR_TYPE_LONG_NAME, entry.name, error)) return false;
  uint64_t size = entry.type == TAR_TYPE_FILE ? entry.size : 0;
  if (!put_header(entry, entry.type, entry.name, size, error)) return false;
  data_left_ = size;
  ++packed_entries;
  return true;
}

bool tar_stream_t::add_data(const void* data, size_t size, std::string* error) {
  if (size > data_left_) {
    *error = "internal error: more data than the entry's size";
    return false;
  }
  if (!put(data, size, error)) return false;
  data_left_ -= size;
  packed_bytes += size;
  return data_left_ != 0 || pad_block(error);
}

bool tar_stream_t::finish(std::string* error) {
  if (data_left_ != 0) {
    *error = "internal error: the data of the last entry is incomplete";
    return false;
  }
  // Two zero blocks, then zeros up to the record: at most a record and a block.
  std::vector<char> zeros(RECORD + BLOCK, 0);
  size_t end = (size_t)((written_ + 2 * BLOCK + RECORD - 1) / RECORD * RECORD);
  return put(zeros.data(), end - (size_t)written_, error) && members_.finish(error);
}

void show_packing_progress(bool force) {
  char text[80];
  snprintf(text, sizeof(text), "Packing: %llu entries, %llu MiB", (unsigned long long)packed_entries,
           (unsigned long long)(packed_bytes >> 20));
  status_line_show(text, force);
}

// ---- Directory trees --------------------------------------------------------------

namespace {

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

class tree_packer_t {
 public:
  tree_packer_t(const std::string& root, const tar_options_t& options, tar_stream_t& stream)
      : root_(root), options_(options), stream_(stream), tree_(false) {}

  // For a Windows payload: learns the whole tree first, where links lead.
  bool learn(const std::vector<std::string>& names, std::string* error);
  bool add(const std::string& name, std::string* error);

 private:
  // False with *error set; "skip" for what cannot be archived at all.
  bool describe(const std::string& name, const struct stat& st, tar_entry_t* entry, std::string* error);
  bool read_link(const std::string& path, const struct stat& st, std::string* target, std::string* error);
  bool put(const tar_entry_t& entry, const std::string& path, std::string* error);
  bool copy_data(const std::string& path, uint64_t size, std::string* error);

  std::string root_;
  tar_options_t options_;
  tar_stream_t& stream_;
  std::map<std::pair<dev_t, ino_t>, std::string> first_links_;  // inode -> name it was stored under
  payload_tree_t tree_;  // Windows: the tree on disk, to copy what its symbolic links lead to
};

bool tree_packer_t::read_link(const std::string& path, const struct stat& st, std::string* target, std::string* error) {
  std::vector<char> buffer((size_t)st.st_size + 1 > 4096 ? (size_t)st.st_size + 1 : 4096);
  ssize_t len = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  if (len < 0) {
    *error = "cannot read symbolic link " + path + ": " + std::strerror(errno);
    return false;
  }
  target->assign(buffer.data(), (size_t)len);
  return true;
}

bool tree_packer_t::learn(const std::vector<std::string>& names, std::string* error) {
  for (const std::string& name : names) {
    std::string path = root_ + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      *error = "cannot examine " + path + ": " + std::strerror(errno);
      return false;
    }
    tree_node_t node;
    node.kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : 'n';
    node.mode = (int)(st.st_mode & 07777);
    node.size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    if (node.kind == 'l' && !read_link(path, st, &node.target, error)) return false;
    tree_.add(name, node);  // the names are checked when the payload is read back
  }
  return true;
}

bool tree_packer_t::describe(const std::string& name, const struct stat& st, tar_entry_t* e, std::string* error) {
  std::string path = root_ + "/" + name;
  e->name = name;
  e->mode = (int)(st.st_mode & 07777);
  if (S_ISREG(st.st_mode)) {
    // The Windows installer makes no links: each name gets the data.
    bool linked = st.st_nlink > 1 && !options_.windows;
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto found = linked ? first_links_.find(key) : first_links_.end();
    if (found != first_links_.end()) {
      e->type = TAR_TYPE_HARDLINK;
      e->link = found->second;
      return true;
    }
    if (linked) first_links_[key] = name;
    e->type = TAR_TYPE_FILE;
    e->size = (uint64_t)st.st_size;
  } else if (S_ISDIR(st.st_mode)) {
    e->type = TAR_TYPE_DIRECTORY;
    e->name += "/";
  } else if (S_ISLNK(st.st_mode)) {
    e->type = TAR_TYPE_SYMLINK;
    if (!read_link(path, st, &e->link, error)) return false;
  } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    e->type = S_ISFIFO(st.st_mode) ? TAR_TYPE_FIFO : S_ISCHR(st.st_mode) ? TAR_TYPE_CHAR_DEVICE : TAR_TYPE_BLOCK_DEVICE;
    e->major = major(st.st_rdev);
    e->minor = minor(st.st_rdev);
  } else {
    *error = "skip";
    return false;
  }
  return true;
}

bool tree_packer_t::copy_data(const std::string& path, uint64_t size, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  uint64_t copied = 0;
  bool ok = true;
  while (ok && copied < size) {
    size_t want = (size_t)std::min<uint64_t>(size - copied, COPY_BUFFER_SIZE);
    ssize_t got = read(fd, buffer.get(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = path + (got < 0 ? ": " + std::string(std::strerror(errno)) : " shrank while being archived");
      ok = false;
    } else {
      ok = stream_.add_data(buffer.get(), (size_t)got, error);
      copied += (uint64_t)got;
      show_packing_progress(false);
    }
  }
  close(fd);
  return ok;
}

// One entry, checked, and the data of a file from `path`.
bool tree_packer_t::put(const tar_entry_t& entry, const std::string& path, std::string* error) {
  std::string reason = unrepresentable_reason(entry, options_);
  if (!reason.empty()) {
    *error = "cannot pack " + printable_name(path) + ": " + reason;
    return false;
  }
  if (!stream_.add_entry(entry, error)) return false;
  show_packing_progress(false);
  return entry.type != TAR_TYPE_FILE || copy_data(path, entry.size, error);
}

bool tree_packer_t::add(const std::string& name, std::string* error) {
  std::string path = root_ + "/" + name;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *error = "cannot examine " + path + ": " + std::strerror(errno);
    return false;
  }
  tar_entry_t entry;
  if (!describe(name, st, &entry, error)) {
    if (*error != "skip") return false;
    status_line_erase();
    fprintf(stderr, "mkinstaller: warning: skipping %s: sockets cannot be archived\n", printable_name(path).c_str());
    error->clear();
    return true;
  }
  if (entry.type != TAR_TYPE_SYMLINK || !options_.windows) return put(entry, path, error);
  // A copy of what the link leads to stands in its place.
  auto emit = [&](const std::string& copy, const tree_node_t& node, const std::string& data_key, std::string* why) {
    tar_entry_t e;
    e.name = node.kind == 'd' ? copy + "/" : copy;
    e.type = node.kind == 'd' ? TAR_TYPE_DIRECTORY : TAR_TYPE_FILE;
    e.mode = node.mode;
    e.size = node.size;
    return put(e, root_ + "/" + data_key, why);
  };
  if (copy_link_target(tree_, name, emit, error)) return true;
  *error = "cannot pack " + printable_name(root_) + ": " + *error;
  return false;
}

}  // namespace

bool write_directory_archive(const std::string& dir, const tar_options_t& options, output_file_t& out,
                             std::string* error) {
  std::vector<std::string> names;
  if (!collect_entries(dir, "", &names, error)) return false;
  tar_stream_t stream(out, options);
  tree_packer_t packer(dir, options, stream);
  if (options.windows && !packer.learn(names, error)) return false;
  for (const std::string& name : names)
    if (!packer.add(name, error)) return false;
  return stream.finish(error);
}
