// Reads archives with libarchive; writes them again with tar_stream_t.
#include "archive_rewriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const size_t COPY_BUFFER_SIZE = 65536;
const size_t NAME_FIELD = 100;

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
    out->type = '1';
    out->link = hardlink;
    return true;
  }
  switch (archive_entry_filetype(e)) {
    case AE_IFDIR:
      out->type = '5';
      if (out->name.empty() || out->name.back() != '/') out->name += '/';
      return true;
    case AE_IFLNK:
      out->type = '2';
      out->link = archive_entry_symlink(e) ? archive_entry_symlink(e) : "";
      return true;
    case AE_IFCHR:
    case AE_IFBLK:
      out->type = archive_entry_filetype(e) == AE_IFCHR ? '3' : '4';
      out->major = (unsigned)archive_entry_rdevmajor(e);
      out->minor = (unsigned)archive_entry_rdevminor(e);
      return true;
    case AE_IFIFO:
      out->type = '6';
      return true;
    case AE_IFSOCK:
      return false;
    default:  // regular files, and formats that name no type
      out->type = '0';
      out->size = archive_entry_size_is_set(e) ? (uint64_t)archive_entry_size(e) : 0;
      return true;
  }
}

std::string entry_label(const std::string& archive, const tar_entry_t& entry) {
  return archive + ": entry " + (entry.name.empty() ? "(no name)" : entry.name);
}

// Whether the installer's reader takes this header as it was written: ustar
// or old GNU headers only, no sparse data, and no link whose long name GNU
// tar wrote as an 'L' record alone before the link header.
bool readable_as_is(struct archive* a, struct archive_entry* e, const tar_entry_t& entry) {
  int format = archive_format(a);
  if (format != ARCHIVE_FORMAT_TAR_USTAR && format != ARCHIVE_FORMAT_TAR_GNUTAR) return false;
  if (archive_entry_sparse_count(e) > 0) return false;
  bool link = entry.type == '1' || entry.type == '2';
  return !(link && format == ARCHIVE_FORMAT_TAR_GNUTAR && entry.name.size() > NAME_FIELD &&
           entry.link.size() <= NAME_FIELD);
}

// One pass over the headers: refuses what cannot be represented, and tells
// whether the file may go into the payload unchanged.
bool scan_archive(const std::string& path, const tar_options_t& options, bool* as_is, std::string* error) {
  archive_ptr a = open_archive(path, error);
  if (!a) return false;
  *as_is = true;
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    tar_entry_t entry;
    if (!describe(e, &entry)) {
      *as_is = false;  // the socket is left out by the rewrite
      continue;
    }
    std::string reason = unrepresentable_reason(entry, options);
    if (!reason.empty()) {
      *error = entry_label(path, entry) + ": " + reason;
      return false;
    }
    *as_is = *as_is && rc == ARCHIVE_OK && readable_as_is(a.get(), e, entry);
  }
  if (rc != ARCHIVE_EOF) {
    *error = "cannot read " + path + ": " + error_text(a.get());
    return false;
  }
  *as_is = *as_is && archive_filter_count(a.get()) == 2 && archive_filter_code(a.get(), 0) == ARCHIVE_FILTER_GZIP;
  return true;
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

bool rewrite_entry(struct archive* a, struct archive_entry* e, tar_entry_t& entry, tar_stream_t& stream,
                   std::string* error) {
  if (entry.type != '0') return stream.add_entry(entry, error);
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

bool rewrite_archive(const std::string& path, const tar_options_t& options, output_file_t& out,
                     std::string* error) {
  archive_ptr a = open_archive(path, error);
  if (!a) return false;
  tar_stream_t stream(out, options);
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    tar_entry_t entry;
    if (!describe(e, &entry)) {
      fprintf(stderr, "mkinstaller: warning: %s: skipping socket %s\n", path.c_str(), entry.name.c_str());
      continue;
    }
    std::string reason;
    if (!rewrite_entry(a.get(), e, entry, stream, &reason)) {
      *error = entry_label(path, entry) + ": " + reason;
      return false;
    }
    show_packing_progress(false);
  }
  if (rc != ARCHIVE_EOF) {
    *error = "cannot read " + path + ": " + error_text(a.get());
    return false;
  }
  return stream.finish(error);
}

}  // namespace

bool prepare_archive_entry(const std::string& archive, const tar_options_t& options,
                           const std::string& temp_template, std::string* rewritten, std::string* error) {
  rewritten->clear();
  bool as_is = false;
  if (!scan_archive(archive, options, &as_is, error)) return false;
  if (as_is) return true;
  std::string name = temp_template;
  int fd = mkstemp(&name[0]);
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
