// Lays out an installer: the stub unchanged, the entries back to back, the
// table of contents (big-endian offsets and a 0) and the 16-byte trailer.
// The result is written to a temporary file beside the output, read back
// through the installer's own table-of-contents and tar reader, and only
// then renamed into place.
#include "payload_writer.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "member_decoder.h"
#include "member_format.h"
#include "member_writer.h"
#include "payload.h"
#include "payload_tree.h"
#include "pe_layout.h"
#include "temporary_files.h"
#include "vek_logging.h"

namespace {

const size_t COPY_BUFFER_SIZE = 65536;
const size_t KEPT_MESSAGES = 8;

// Keeps the last messages of the installer's reader, to explain a refusal.
std::deque<std::string> reader_messages;
bool reader_verbose = false;

void capture_logger(vek_log_event_t* event) {
  if (reader_verbose) fprintf(stderr, "mkinstaller: installer: %s\n", event->text);
  reader_messages.push_back(event->text);
  if (reader_messages.size() > KEPT_MESSAGES) reader_messages.pop_front();
}

bool append_be64(std::string* bytes, int64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) bytes->push_back((char)(((uint64_t)value >> shift) & 0xff));
  return true;
}

// Hands every chunk of the file at `path` to `take`, in order. False with
// *error set when the file cannot be read or `take` refuses a chunk.
template <typename Take>
bool for_each_chunk(const std::string& path, std::string* error, Take take) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[COPY_BUFFER_SIZE]);
  bool ok = true;
  for (;;) {
    ssize_t got = read(fd, buffer.get(), COPY_BUFFER_SIZE);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ok = false;
    }
    if (got <= 0) break;
    if (!take(buffer.get(), (size_t)got)) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

// Copies a gzip file into the output as it is.
bool copy_gzip_into(const std::string& path, output_file_t& out, std::string* error) {
  bool first = true;
  bool ok = for_each_chunk(path, error, [&](const char* data, size_t size) {
    if (first && !member_has_gzip_magic(reinterpret_cast<const unsigned char*>(data), size)) {
      *error = path + " is not a gzip-compressed file (expected a directory or a .tar.gz)";
      return false;
    }
    first = false;
    return out.write(data, size, error);
  });
  if (ok && first) {
    *error = path + " is empty";
    ok = false;
  }
  return ok;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool read_whole_file(const std::string& path, std::string* bytes, std::string* error) {
  bytes->clear();
  return for_each_chunk(path, error, [&](const char* data, size_t size) {
    bytes->append(data, size);
    return true;
  });
}

// The stub as it goes into the installer. A signature covers the file it was
// made for: a signed stub's certificate table would end up in the middle of
// the installer, so it is cut off and its directory entry and checksum
// cleared; the vendor signs the finished installer.
bool prepare_stub(const std::string& path, std::string* stub, std::string* error) {
  if (!read_whole_file(path, stub, error)) return false;
  pe_layout_t pe;
  int64_t size = (int64_t)stub->size();
  if (!parse_pe_layout(reinterpret_cast<const unsigned char*>(stub->data()), size, &pe) || pe.cert_size == 0)
    return true;
  // The fields cleared below must lie before the cut.
  int64_t headers_end = std::max(pe.cert_entry_offset + 8, pe.checksum_offset + 4);
  if (pe.cert_offset < pe.image_end || pe.cert_offset < headers_end || pe.cert_offset + pe.cert_size != size) {
    *error = path +
             " has a certificate table that does not end the file; cannot remove its signature "
             "(use the unsigned build of the stub)";
    return false;
  }
  fprintf(stderr, "mkinstaller: %s is signed; its signature is removed (sign the installer after packing)\n",
          path.c_str());
  stub->resize((size_t)pe.cert_offset);
  memset(&(*stub)[(size_t)pe.cert_entry_offset], 0, 8);
  memset(&(*stub)[(size_t)pe.checksum_offset], 0, 4);
  return true;
}

// Inflates a .tar.gz (every member, zero padding after the last one as gzip
// -d allows) and compresses its tar data again into bounded members.
class recompressor_t {
 public:
  recompressor_t(const std::string& path, const tar_options_t& options, output_file_t& out)
      : path_(path), members_(out, options.level, member_writer_t::default_threads()) {
    memset(&zs_, 0, sizeof(zs_));
  }
  ~recompressor_t() {
    if (started_) inflateEnd(&zs_);
  }

  bool run(std::string* error) {
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      *error = "cannot open " + path_ + ": " + std::strerror(errno);
      return false;
    }
    bool ok = start(error) && inflate_all(error) && members_.finish(error);
    close(fd_);
    return ok;
  }

 private:
  bool start(std::string* error) {
    if (!fill(error)) return false;
    if (!member_has_gzip_magic(input_, zs_.avail_in)) {
      *error = path_ +
               (zs_.avail_in == 0 ? " is empty" : " is not a gzip-compressed file (expected a directory or a .tar.gz)");
      return false;
    }
    started_ = inflateInit2(&zs_, 16 + MAX_WBITS) == Z_OK;
    if (!started_) *error = "cannot start decompression";
    return started_;
  }

  bool fill(std::string* error) {
    ssize_t got;
    do {
      got = read(fd_, input_, sizeof(input_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      *error = "cannot read " + path_ + ": " + std::strerror(errno);
      return false;
    }
    zs_.next_in = input_;
    zs_.avail_in = (uInt)got;
    return true;
  }

  bool damaged(const std::string& what, std::string* error) {
    *error = path_ + ": " + what + "; it cannot be extracted by the installer";
    return false;
  }

  // After the last member only zero bytes may follow.
  bool rest_is_zero(std::string* error) {
    do {
      for (uInt i = 0; i < zs_.avail_in; ++i)
        if (zs_.next_in[i] != 0) return damaged("data after the last gzip member", error);
      if (!fill(error)) return false;
    } while (zs_.avail_in > 0);
    return true;
  }

  bool inflate_all(std::string* error) {
    bool in_member = true;
    for (;;) {
      if (zs_.avail_in == 0) {
        if (!fill(error)) return false;
        if (zs_.avail_in == 0) return in_member ? damaged("gzip data cut short", error) : true;
      }
      if (!in_member) {
        if (zs_.next_in[0] == 0) return rest_is_zero(error);
        inflateReset(&zs_);
        in_member = true;
      }
      zs_.next_out = output_;
      zs_.avail_out = sizeof(output_);
      int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
        return damaged(std::string("damaged gzip data (") + (zs_.msg ? zs_.msg : "error") + ")", error);
      if (!members_.write(output_, sizeof(output_) - zs_.avail_out, error)) return false;
      if (rc == Z_STREAM_END) in_member = false;
    }
  }

  std::string path_;
  member_writer_t members_;
  z_stream zs_;
  bool started_ = false;
  int fd_ = -1;
  unsigned char input_[COPY_BUFFER_SIZE];
  unsigned char output_[4 * COPY_BUFFER_SIZE];
};

bool write_entry(const installer_spec_t& spec, size_t index, output_file_t& out, std::string* error) {
  const std::string& entry = spec.entries[index];
  if (is_directory(entry)) return write_directory_archive(entry, spec.tar, out, error);
  bool rewritten = index < spec.rewritten.size() && spec.rewritten[index];
  if (spec.keep_gzip || rewritten) return copy_gzip_into(entry, out, error);
  return std::make_unique<recompressor_t>(entry, spec.tar, out)->run(error);
}

bool write_layout(const installer_spec_t& spec, output_file_t& out, std::string* error) {
  std::string stub;
  if (!prepare_stub(spec.stub, &stub, error) || !out.write(stub.data(), stub.size(), error)) return false;
  std::string table;
  for (size_t i = 0; i < spec.entries.size(); ++i) {
    int64_t offset = out.offset();
    if (!write_entry(spec, i, out, error)) return false;
    append_be64(&table, offset);
  }
  int64_t table_offset = out.offset();
  append_be64(&table, 0);
  // Zero bytes between the table and the trailer, which no reader looks at.
  table.append((size_t)((8 - (table_offset + (int64_t)table.size() + TOC_TRAILER_SIZE) % 8) % 8), '\0');
  append_be64(&table, TOC_VERSION);
  append_be64(&table, table_offset);
  return out.write(table.data(), table.size(), error);
}

std::string reader_explanation() {
  std::string text;
  for (const std::string& message : reader_messages) text += "\n  installer: " + message;
  return text;
}

// Writes the read-back's count into the size subfield of the entry's first
// member, which the member writer left unrecorded: the installer's size pass
// takes it instead of inflating the entry. An entry without the subfield (a
// .tar.gz kept as it was) is left as it is.
bool record_entry_size(int fd, const toc_entry& entry, vek_uint64_t bytes, std::string* error) {
  unsigned char header[64];
  int64_t extent = entry.end_offset - entry.offset;
  size_t want = extent < (int64_t)sizeof(header) ? (size_t)extent : sizeof(header);
  if (pread(fd, header, want, entry.offset) != (ssize_t)want) {
    *error = std::string("cannot read the output back: ") + std::strerror(errno);
    return false;
  }
  long at = member_size_subfield_offset(header, want);
  if (at < 0) return true;
  unsigned char value[MEMBER_SIZE_SUBFIELD_LEN];
  member_put_le64(value, bytes);
  if (pwrite(fd, value, sizeof(value), entry.offset + at) != (ssize_t)sizeof(value)) {
    *error = std::string("cannot write the output: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Reads every entry back with the installer's own reader, as it will
// extract them, checking every name with its path gate over the tree the
// payload makes (the tree must hold the configuration program at the end),
// and records each entry's size count in it (through `fd`, the same file
// opened for writing).
bool verify_installer(const installer_spec_t& spec, const std::string& path, int fd, std::string* error) {
  reader_messages.clear();
  reader_verbose = spec.verbose;
  toc_entries toc;
  if (!init_toc(path.c_str(), &toc, nullptr)) {
    *error = "the installer cannot read the table of contents it was given" + reader_explanation();
    return false;
  }
  payload_tree_t tree(spec.tar.windows);
  std::string refusal;
  untar_ops ops;
  init_checking_untar_ops(&ops, &tree, &refusal);
  ops.read = read_func;
  size_t index = 0;
  toc_entry entry;
  bool ok = true;
  while (ok && read_entry_from_toc(&toc, &entry)) {
    reader_messages.clear();
    refusal.clear();
    vek_uint64_t bytes = 0;
    ok = extract_tarball(&entry, &ops, &bytes);
    if (ok) refusal = check_pending_links();
    std::string label = "entry " + std::to_string(index + 1) + " (" + spec.entries[index] + ")";
    if (!refusal.empty()) {
      *error = label + ": " + refusal + "; the installer would not extract it as it stands";
      ok = false;
    } else if (!ok) {
      *error = label +
               " cannot be extracted by the installer; it reads gzip-compressed tar archives in the ustar "
               "or old GNU format only (no pax or other extended headers)." +
               reader_explanation();
    } else {
      ok = record_entry_size(fd, entry, bytes, error);
    }
    ++index;
  }
  if (ok && (toc.failed || index != spec.entries.size())) {
    *error = "the installer read " + std::to_string(index) + " of " + std::to_string(spec.entries.size()) +
             " entries back" + reader_explanation();
    ok = false;
  }
  close_toc(&toc);
  std::string program = ok ? tree.program_reason() : "";
  if (!program.empty()) {
    *error = "the payload cannot be installed: " + program;
    ok = false;
  }
  return ok;
}

}  // namespace

bool write_installer(const installer_spec_t& spec, std::string* error) {
  vek_addLogger(capture_logger);
  vek_setLogLevel(spec.verbose ? VEKLOG_DEBUG2 : VEKLOG_DEBUG);
  std::string temp = spec.output + ".XXXXXX";
  int fd = temporary_file_create(&temp);
  if (fd < 0) {
    *error = "cannot create a file beside " + spec.output + ": " + std::strerror(errno);
    return false;
  }
  output_file_t out(fd);
  bool ok = write_layout(spec, out, error);
  ok = ok && verify_installer(spec, temp, fd, error);
  if (ok && fsync(fd) != 0) {
    *error = std::string("cannot write the output: ") + std::strerror(errno);
    ok = false;
  }
  close(fd);
  if (ok && (chmod(temp.c_str(), 0755) != 0 || rename(temp.c_str(), spec.output.c_str()) != 0)) {
    *error = "cannot put " + spec.output + " in place: " + std::strerror(errno);
    ok = false;
  }
  if (ok)
    temporary_forget(temp);
  else
    temporary_remove(temp);
  return ok;
}

// ---- Listing -------------------------------------------------------------------

namespace {

struct extent_reader_t {
  int fd;                         // the installer
  int64_t next;                   // next byte of the extent to hand out
  int64_t end;                    // first byte past the extent
  char buffer[COPY_BUFFER_SIZE];  // bytes handed to libarchive
};

la_ssize_t extent_read(struct archive*, void* client, const void** data) {
  auto* reader = static_cast<extent_reader_t*>(client);
  int64_t left = reader->end - reader->next;
  size_t want = left < (int64_t)sizeof(reader->buffer) ? (size_t)left : sizeof(reader->buffer);
  ssize_t got = want == 0 ? 0 : pread(reader->fd, reader->buffer, want, reader->next);
  if (got < 0) return -1;
  reader->next += got;
  *data = reader->buffer;
  return got;
}

char type_letter(mode_t type) {
  switch (type) {
    case AE_IFDIR: return 'd';
    case AE_IFLNK: return 'l';
    case AE_IFIFO: return 'p';
    case AE_IFCHR: return 'c';
    case AE_IFBLK: return 'b';
    default: return '-';
  }
}

bool list_entry_files(const toc_entry& entry, FILE* out, std::string* error) {
  auto reader = std::make_unique<extent_reader_t>();
  reader->fd = entry.fd;
  reader->next = entry.offset;
  reader->end = entry.end_offset;
  std::unique_ptr<struct archive, decltype(&archive_read_free)> a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_all(a.get());
  if (archive_read_open(a.get(), reader.get(), nullptr, extent_read, nullptr) != ARCHIVE_OK) {
    *error = std::string("cannot read the entry: ") + archive_error_string(a.get());
    return false;
  }
  struct archive_entry* e;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    const char* hardlink = archive_entry_hardlink(e);
    const char* symlink = archive_entry_symlink(e);
    fprintf(out, "  %c %04o %12lld %s%s%s\n", hardlink ? 'h' : type_letter(archive_entry_filetype(e)),
            (unsigned)archive_entry_perm(e), (long long)archive_entry_size(e), archive_entry_pathname(e),
            hardlink  ? " link to "
            : symlink ? " -> "
                      : "",
            hardlink  ? hardlink
            : symlink ? symlink
                      : "");
  }
  if (rc != ARCHIVE_EOF) {
    *error = std::string("cannot read the entry: ") + archive_error_string(a.get());
    return false;
  }
  return true;
}

}  // namespace

bool list_installer(const std::string& path, FILE* out, std::string* error) {
  vek_addLogger(capture_logger);
  vek_setLogLevel(VEKLOG_ERROR);
  reader_messages.clear();
  toc_entries toc;
  if (!init_toc(path.c_str(), &toc, nullptr)) {
    *error = path + " carries no readable payload" + reader_explanation();
    return false;
  }
  fprintf(out, "%s: table of contents at offset %lld, file size %lld\n", path.c_str(), (long long)toc.toc_offset,
          (long long)toc.max_offset);
  toc_entry entry;
  int index = 0;
  bool ok = true;
  while (ok && read_entry_from_toc(&toc, &entry)) {
    fprintf(out, "entry %d: offset %lld, %lld bytes\n", ++index, (long long)entry.offset,
            (long long)(entry.end_offset - entry.offset));
    ok = list_entry_files(entry, out, error);
  }
  if (ok && toc.failed) {
    *error = "damaged table of contents" + reader_explanation();
    ok = false;
  }
  close_toc(&toc);
  return ok;
}
