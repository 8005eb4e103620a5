// Reads archives with libarchive; writes them again with tar_stream_t. An
// archive goes into the payload as it stands only when the installer's own
// reader finds in it exactly the entries libarchive finds.
#include "archive_rewriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "payload_tree.h"
#include "temporary_files.h"
#include "vek_logging.h"

namespace {

const size_t COPY_BUFFER_SIZE = 65536;

using archive_ptr = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

// libarchive gives no text for some failures.
std::string error_text(struct archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unreadable archive";
}

archive_ptr open_archive(const std::string& path, std::string* error) {
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_all(a.get());
  if (archive_read_open_filename(a.get(), path.c_str(), COPY_BUFFER_SIZE) != ARCHIVE_OK) {
    *error = "cannot read " + path + ": " + error_text(a.get());
    a.reset();
  }
  return a;
}

// The entry as the installer's reader takes it; false for what no payload
// holds (sockets), which is skipped.
bool describe(struct archive_entry* e, tar_entry_t* out) {
  const char* name = archive_entry_pathname(e);
  out->name = name ? name : "";
  out->mode = (int)(archive_entry_perm(e) & 07777);
  out->size = 0;
  out->link.clear();
  const char* hardlink = archive_entry_hardlink(e);
  if (hardlink != nullptr) {
    out->type = TAR_TYPE_HARDLINK;
    out->link = hardlink;
    // cpio gives a hard-link group's data with one of its names (newc: the last)
    out->size = archive_entry_size_is_set(e) && archive_entry_size(e) > 0 ? (uint64_t)archive_entry_size(e) : 0;
    return true;
  }
  switch (archive_entry_filetype(e)) {
    case AE_IFDIR:
      out->type = TAR_TYPE_DIRECTORY;
      if (out->name.empty() || out->name.back() != '/') out->name += '/';
      return true;
    case AE_IFLNK:
      out->type = TAR_TYPE_SYMLINK;
      out->link = archive_entry_symlink(e) ? archive_entry_symlink(e) : "";
      return true;
    case AE_IFCHR:
    case AE_IFBLK:
      out->type = archive_entry_filetype(e) == AE_IFCHR ? TAR_TYPE_CHAR_DEVICE : TAR_TYPE_BLOCK_DEVICE;
      out->major = (unsigned)archive_entry_rdevmajor(e);
      out->minor = (unsigned)archive_entry_rdevminor(e);
      return true;
    case AE_IFIFO: out->type = TAR_TYPE_FIFO; return true;
    case AE_IFSOCK: return false;
    default:  // regular files, and formats that name no type
      out->type = TAR_TYPE_FILE;
      out->size = archive_entry_size_is_set(e) ? (uint64_t)archive_entry_size(e) : 0;
      return true;
  }
}

std::string entry_label(const std::string& archive, const tar_entry_t& entry) {
  return archive + ": entry " + (entry.name.empty() ? "(no name)" : printable_name(entry.name));
}

// The entries of an archive as "kind name mode size target" lines, sorted:
// what libarchive reads and what the installer's reader applies compare equal
// exactly when the installer extracts the archive as it was written.
using listing_t = std::vector<std::string>;

std::string listing_line(char kind, const std::string& name, int mode, uint64_t size, const std::string& target) {
  payload_tree_t keys(false);
  return std::string(1, kind) + " " + keys.key_of(name) + " " + std::to_string(mode & 07777) + " " +
         std::to_string(size) + " " + (kind == 'h' ? keys.key_of(target) : target);
}

std::string listing_line(const tar_entry_t& entry) {
  switch (entry.type) {
    case TAR_TYPE_HARDLINK: return listing_line('h', entry.name, 0, 0, entry.link);
    case TAR_TYPE_SYMLINK: return listing_line('l', entry.name, 0, 0, entry.link);
    case TAR_TYPE_DIRECTORY: return listing_line('d', entry.name, entry.mode, 0, "");
    case TAR_TYPE_FILE: return listing_line('f', entry.name, entry.mode, entry.size, "");
    default: return listing_line('n', entry.name, entry.mode, 0, "");
  }
}

// What one scan learns of an archive.
struct scan_t {
  bool as_is = true;       // it may go into the payload unchanged, if the installer's reader agrees
  bool has_links = false;  // it holds hard or symbolic links
  listing_t listing;       // its entries as libarchive reads them
};

// One pass over the headers: refuses what cannot be represented, and tells
// whether the file may go into the payload unchanged.
bool scan_archive(const std::string& path, const tar_options_t& options, scan_t* scan, std::string* error) {
  archive_ptr a = open_archive(path, error);
  if (!a) return false;
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    tar_entry_t entry;
    if (!describe(e, &entry)) {
      scan->as_is = false;  // the socket is left out by the rewrite
      continue;
    }
    std::string reason = unrepresentable_reason(entry, options);
    if (!reason.empty()) {
      *error = entry_label(path, entry) + ": " + reason;
      return false;
    }
    int format = archive_format(a.get());
    bool link = entry.type == TAR_TYPE_HARDLINK || entry.type == TAR_TYPE_SYMLINK;
    scan->has_links = scan->has_links || link;
    scan->as_is = scan->as_is && rc == ARCHIVE_OK && archive_entry_sparse_count(e) == 0 &&
                  (format == ARCHIVE_FORMAT_TAR_USTAR || format == ARCHIVE_FORMAT_TAR_GNUTAR) &&
                  !(link && options.windows) && !(entry.type == TAR_TYPE_HARDLINK && entry.size > 0);
    scan->listing.push_back(listing_line(entry));
  }
  if (rc != ARCHIVE_EOF) {
    *error = "cannot read " + path + ": " + error_text(a.get());
    return false;
  }
  scan->as_is =
      scan->as_is && archive_filter_count(a.get()) == 2 && archive_filter_code(a.get(), 0) == ARCHIVE_FILTER_GZIP;
  std::sort(scan->listing.begin(), scan->listing.end());
  return true;
}

// ---- The installer's reader over the archive as it stands ----------------------

listing_t* reader_listing = nullptr;  // filled by the recording operations
std::string open_name;                // the file being read
int open_mode = 0;

ssize_t gz_read(void* ctx, void* buf, size_t count) {
  int got = gzread(static_cast<gzFile>(static_cast<untar_context*>(ctx)->source), buf, (unsigned)count);
  return got < 0 ? -1 : got;
}

int record_open_file(void*, const char* name, int mode) {
  open_name = name;
  open_mode = mode;
  return 0;
}

int record_write_file(void* ctx, int, const char*, size_t sz) {
  static_cast<untar_context*>(ctx)->written_bytes += sz;
  return static_cast<int>(sz);
}

void record_close_file(void* ctx, int) {
  reader_listing->push_back(
      listing_line('f', open_name, open_mode, static_cast<untar_context*>(ctx)->written_bytes, ""));
  static_cast<untar_context*>(ctx)->written_bytes = 0;
}

bool record_make_directory(void*, const char* name, int mode) {
  reader_listing->push_back(listing_line('d', name, mode, 0, ""));
  return true;
}

bool record_make_device(void*, const char* name, int mode, int, int) {
  reader_listing->push_back(listing_line('n', name, mode, 0, ""));
  return true;
}

bool record_make_symlink(void*, const char* to, const char* from) {
  reader_listing->push_back(listing_line('l', from, 0, 0, to));
  return true;
}

bool record_make_hardlink(void*, const char* to, const char* from) {
  reader_listing->push_back(listing_line('h', from, 0, 0, to));
  return true;
}

// Whether the installer's reader applies exactly the entries of `expected`
// from the .tar.gz at `path`. It fails, for one, on pax headers, GNU volume
// labels, sparse entries and redundant long-name records, and misreads GNU
// incremental archives, whose times stand where it looks for a name prefix.
bool reader_agrees(const std::string& path, const listing_t& expected) {
  gzFile gz = gzopen(path.c_str(), "rb");
  if (gz == nullptr) return false;
  listing_t found;
  reader_listing = &found;
  untar_ops ops = {gz_read,
                   record_open_file,
                   record_write_file,
                   record_close_file,
                   record_make_directory,
                   record_make_device,
                   record_make_symlink,
                   record_make_hardlink};
  untar_context ctx = {};
  ctx.source = gz;
  VEKLOG_LEVEL level = vek_getLogLevel();
  vek_setLogLevel(VEKLOG_FATAL);  // a refusal here only means the archive is rewritten
  bool read = extract_tar(&ops, &ctx);
  vek_setLogLevel(level);
  gzclose(gz);
  reader_listing = nullptr;
  std::sort(found.begin(), found.end());
  return read && found == expected;
}

struct file_closer_t {
  void operator()(FILE* f) const { fclose(f); }
};

// The data of an entry whose size the archive does not announce (streamed
// zip members) is spooled first: a tar header needs the size up front.
bool spool_data(struct archive* a, FILE* spool, uint64_t* size, std::string* error) {
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  *size = 0;
  for (;;) {
    la_ssize_t got = archive_read_data(a, buffer.get(), COPY_BUFFER_SIZE);
    if (got < 0) {
      *error = error_text(a);
      return false;
    }
    if (got == 0) break;
    if (fwrite(buffer.get(), 1, (size_t)got, spool) != (size_t)got) {
      *error = std::string("cannot spool the data: ") + strerror(errno);
      return false;
    }
    *size += (uint64_t)got;
  }
  return fflush(spool) == 0 && fseek(spool, 0, SEEK_SET) == 0;
}

bool copy_from_spool(FILE* spool, tar_stream_t& stream, uint64_t size, std::string* error) {
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  while (size > 0) {
    size_t got = fread(buffer.get(), 1, COPY_BUFFER_SIZE, spool);
    if (got == 0) {
      *error = "cannot read the spooled data back";
      return false;
    }
    if (!stream.add_data(buffer.get(), got, error)) return false;
    size -= got;
  }
  return true;
}

bool copy_announced_data(struct archive* a, tar_stream_t& stream, uint64_t size, std::string* error) {
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  uint64_t copied = 0;
  for (;;) {
    la_ssize_t got = archive_read_data(a, buffer.get(), COPY_BUFFER_SIZE);
    if (got < 0) {
      *error = error_text(a);
      return false;
    }
    if (got == 0) break;
    if (copied + (uint64_t)got > size) {
      *error = "the data is longer than the size its header gives";
      return false;
    }
    if (!stream.add_data(buffer.get(), (size_t)got, error)) return false;
    copied += (uint64_t)got;
    show_packing_progress(false);
  }
  if (copied == size) return true;
  *error = "the data ends after " + std::to_string(copied) + " of " + std::to_string(size) + " bytes";
  return false;
}

// A file entry and its data, read from the archive (spooled first when the
// archive does not announce the size: a tar header needs it up front).
bool write_file_entry(struct archive* a, struct archive_entry* e, tar_entry_t entry, tar_stream_t& stream,
                      std::string* error) {
  entry.type = TAR_TYPE_FILE;
  if (archive_entry_size_is_set(e)) {
    return stream.add_entry(entry, error) && copy_announced_data(a, stream, entry.size, error);
  }
  std::unique_ptr<FILE, file_closer_t> spool(tmpfile());
  if (!spool) {
    *error = std::string("cannot create a spool file: ") + strerror(errno);
    return false;
  }
  return spool_data(a, spool.get(), &entry.size, error) && stream.add_entry(entry, error) &&
         copy_from_spool(spool.get(), stream, entry.size, error);
}

// Hard-link groups. cpio gives a group's data with one of its names (newc,
// and so RPM payloads, with the last): a file with several links and no data
// waits for the name that brings it; that name is written as the file and
// the group's other names as links to it. A link bringing data to a group
// already written (old cpio repeats the data with every name) takes the
// group's data over, as extracting it would: the other names are linked
// to it again.
class link_groups_t {
 public:
  explicit link_groups_t(tar_stream_t& stream) : stream_(stream) {}

  // Handles a file or hard link entry; false with *error set.
  bool add(struct archive* a, struct archive_entry* e, const tar_entry_t& entry, std::string* error);
  // Writes the groups still waiting: the first name as an empty file.
  bool finish(std::string* error);

 private:
  struct group_t {
    std::vector<tar_entry_t> waiting;  // names without data, not written yet
    std::vector<std::string> names;    // names written, in order
    std::string holder;                // the name written as the file, "" while waiting
  };

  bool link_all(group_t& group, std::string* error);

  tar_stream_t& stream_;
  std::vector<std::unique_ptr<group_t>> groups_;
  std::map<std::string, group_t*> by_name_;  // every name of a group -> the group
};

bool link_groups_t::link_all(group_t& group, std::string* error) {
  for (tar_entry_t& waiting : group.waiting) group.names.push_back(waiting.name);
  group.waiting.clear();
  for (const std::string& name : group.names) {
    if (name == group.holder) continue;
    tar_entry_t link;
    link.type = TAR_TYPE_HARDLINK;
    link.name = name;
    link.link = group.holder;
    if (!stream_.add_entry(link, error)) return false;
  }
  return true;
}

bool link_groups_t::add(struct archive* a, struct archive_entry* e, const tar_entry_t& entry, std::string* error) {
  bool cpio = (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_CPIO;
  if (entry.type == TAR_TYPE_FILE) {
    if (!(cpio && archive_entry_nlink(e) > 1 && entry.size == 0)) return write_file_entry(a, e, entry, stream_, error);
    groups_.push_back(std::make_unique<group_t>());
    groups_.back()->waiting.push_back(entry);
    by_name_[entry.name] = groups_.back().get();
    return true;
  }
  auto found = by_name_.find(entry.link);
  group_t* group = found != by_name_.end() ? found->second : nullptr;
  if (group == nullptr) {  // a link to a plain file written before
    groups_.push_back(std::make_unique<group_t>());
    group = groups_.back().get();
    group->names.push_back(entry.link);
    group->holder = entry.link;
    by_name_[entry.link] = group;
  }
  by_name_[entry.name] = group;
  if (entry.size == 0 && group->holder.empty()) {
    group->waiting.push_back(entry);
    return true;
  }
  if (entry.size == 0) {
    group->names.push_back(entry.name);
    tar_entry_t link = entry;
    link.link = group->holder;
    return stream_.add_entry(link, error);
  }
  if (!write_file_entry(a, e, entry, stream_, error)) return false;
  group->holder = entry.name;
  group->names.push_back(entry.name);
  return link_all(*group, error);
}

bool link_groups_t::finish(std::string* error) {
  for (auto& group : groups_) {
    if (!group->holder.empty() || group->waiting.empty()) continue;
    tar_entry_t first = group->waiting.front();
    group->waiting.erase(group->waiting.begin());
    if (!stream_.add_entry(first, error)) return false;
    group->holder = first.name;
    group->names.push_back(first.name);
    if (!link_all(*group, error)) return false;
  }
  return true;
}

bool rewrite_archive(const std::string& path, const tar_options_t& options, output_file_t& out, std::string* error) {
  archive_ptr a = open_archive(path, error);
  if (!a) return false;
  tar_stream_t stream(out, options);
  link_groups_t groups(stream);
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    tar_entry_t entry;
    if (!describe(e, &entry)) {
      fprintf(stderr, "mkinstaller: warning: %s: skipping socket %s\n", path.c_str(),
              printable_name(entry.name).c_str());
      continue;
    }
    std::string reason;
    bool file = entry.type == TAR_TYPE_FILE || entry.type == TAR_TYPE_HARDLINK;
    if (!(file ? groups.add(a.get(), e, entry, &reason) : stream.add_entry(entry, &reason))) {
      *error = entry_label(path, entry) + ": " + reason;
      return false;
    }
    show_packing_progress(false);
  }
  if (rc != ARCHIVE_EOF) {
    *error = "cannot read " + path + ": " + error_text(a.get());
    return false;
  }
  return groups.finish(error) && stream.finish(error);
}

// ---- Windows: links become copies ----------------------------------------------

// libarchive's message with the extraction directory taken out of the names.
std::string without_directory(std::string text, const std::string& dir) {
  for (size_t at; (at = text.find(dir + "/")) != std::string::npos;) text.erase(at, dir.size() + 1);
  return text;
}

// The archive extracted into `dir` as libarchive extracts it (hard-link
// groups of every format included), never outside it; the caller packs the
// directory, whose links become copies.
bool extract_archive(const std::string& path, const std::string& dir, std::string* error) {
  archive_ptr a = open_archive(path, error);
  if (!a) return false;
  std::unique_ptr<struct archive, decltype(&archive_write_free)> disk(archive_write_disk_new(), archive_write_free);
  // The names are made absolute below `dir`; the scan refused absolute ones.
  archive_write_disk_set_options(
      disk.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    std::string name = archive_entry_pathname(e) ? archive_entry_pathname(e) : "";
    if (archive_entry_filetype(e) == AE_IFSOCK) continue;
    archive_entry_copy_pathname(e, (dir + "/" + name).c_str());
    if (archive_entry_hardlink(e) != nullptr)
      archive_entry_copy_hardlink(e, (dir + "/" + archive_entry_hardlink(e)).c_str());
    bool ok = archive_write_header(disk.get(), e) >= ARCHIVE_WARN;
    const void* block;
    size_t size;
    la_int64_t offset;
    int data_rc = ARCHIVE_OK;
    while (ok && (data_rc = archive_read_data_block(a.get(), &block, &size, &offset)) == ARCHIVE_OK)
      ok = archive_write_data_block(disk.get(), block, size, offset) >= ARCHIVE_WARN;
    if (!ok || data_rc < ARCHIVE_WARN || archive_write_finish_entry(disk.get()) < ARCHIVE_WARN) {
      *error = path + ": entry " + printable_name(name) + ": " +
               without_directory(ok ? error_text(a.get()) : error_text(disk.get()), dir);
      return false;
    }
  }
  if (rc != ARCHIVE_EOF || archive_write_close(disk.get()) != ARCHIVE_OK) {
    *error = "cannot read " + path + ": " + error_text(rc != ARCHIVE_EOF ? a.get() : disk.get());
    return false;
  }
  return true;
}

}  // namespace

bool prepare_archive_entry(const std::string& archive, const tar_options_t& options, const std::string& temp_template,
                           std::string* rewritten, std::string* error) {
  rewritten->clear();
  scan_t scan;
  if (!scan_archive(archive, options, &scan, error)) return false;
  if (scan.as_is && reader_agrees(archive, scan.listing)) return true;
  std::string name = temp_template;
  if (options.windows && scan.has_links) {
    if (!temporary_directory_create(&name)) {
      *error = "cannot create a directory for the extracted " + archive + ": " + strerror(errno);
      return false;
    }
    *rewritten = name;
    std::unique_ptr<char, decltype(&free)> absolute(realpath(name.c_str(), nullptr), &free);
    if (!absolute) {
      *error = "cannot find " + name + ": " + strerror(errno);
      return false;
    }
    return extract_archive(archive, absolute.get(), error);
  }
  int fd = temporary_file_create(&name);
  if (fd < 0) {
    *error = "cannot create a file for the rewritten " + archive + ": " + strerror(errno);
    return false;
  }
  *rewritten = name;
  output_file_t out(fd);
  bool ok = rewrite_archive(archive, options, out, error);
  if (close(fd) != 0 && ok) {
    *error = "cannot write " + name + ": " + strerror(errno);
    ok = false;
  }
  return ok;
}
