// The payload's table of contents: the trailer at the end of the installer
// file (found before a Windows signature too), the table of entry offsets,
// and each entry's extent, which ends where the next entry, the table or the
// trailer starts.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "member_format.h"
#include "payload.h"
#include "payload_internal.h"
#include "payload_platform.h"
#include "pe_layout.h"
#include "vek_log_source.h"

// The payload module is cut into several files; it logs under its one name.
VEK_LOG_SOURCE(payload) = "src/native/installer/src/payload.cpp";

const payload_options_t PAYLOAD_DEFAULTS = {-1, nullptr};

namespace {

int64_t big_to_host_endian(const unsigned char bytes[8]) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
  return (int64_t)value;
}

// The next 8 bytes at fd's position as a big-endian value; -1 on error or EOF.
int64_t read_int64(int fd) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Reading int64 from fd %d offset %" VEK_PRId64, fd,
         (long long)platform_seek(fd, 0, SEEK_CUR));
  unsigned char buffer[8];
  size_t have = 0;
  while (have < sizeof(buffer)) {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Reading %d bytes", (int)(sizeof(buffer) - have));
    ssize_t got = platform_read(fd, buffer + have, sizeof(buffer) - have);
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Read %d bytes", (int)got);
    if (got < 0) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry offset: %s", strerror(errno));
      return -1;
    }
    if (got == 0) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Unexpected end of file while attempting to read TOC entry.");
      return -1;
    }
    have += (size_t)got;
  }
  return big_to_host_endian(buffer);
}

bool fail_toc(int fd) {
  int saved = errno;
  platform_close(fd);
  errno = saved;
  return false;
}

// An entry's bytes end where the next one (in file order), the table or the
// trailer starts; an offset past all of them keeps the file's end.
int64_t entry_extent_end(const toc_entries* toc, int64_t offset) {
  int64_t end = toc->trailer_offset > offset ? toc->trailer_offset : toc->max_offset;
  if (toc->toc_offset > offset && toc->toc_offset < end) end = toc->toc_offset;
  for (int64_t pos = toc->toc_offset; pos >= 0 && pos + 8 <= toc->max_offset; pos += 8) {
    unsigned char bytes[8];
    if (platform_read_at(toc->fd, bytes, sizeof(bytes), pos) != (ssize_t)sizeof(bytes)) break;
    int64_t value = big_to_host_endian(bytes);
    if (value == 0) break;
    if (value > offset && value < end) end = value;
  }
  return end;
}

int64_t read_be64_at(int fd, int64_t offset, bool* ok) {
  unsigned char bytes[8];
  *ok = platform_read_at(fd, bytes, sizeof(bytes), offset) == (ssize_t)sizeof(bytes);
  return *ok ? big_to_host_endian(bytes) : 0;
}

// Whether a trailer at `at` describes a payload that lies between the end of
// the executable's image and the trailer: version 1, the table inside, every
// entry offset past the image and before the table ends, a terminating 0,
// and the gzip magic where the first entry starts.
bool trailer_fits(int fd, int64_t at, int64_t image_end) {
  bool ok = false;
  if (at < image_end || read_be64_at(fd, at, &ok) != TOC_VERSION || !ok) return false;
  int64_t table = read_be64_at(fd, at + 8, &ok);
  if (!ok || table < image_end || table > at - 8) return false;
  for (int64_t pos = table; pos + 8 <= at; pos += 8) {
    int64_t value = read_be64_at(fd, pos, &ok);
    if (!ok) return false;
    if (value == 0) return pos > table;  // at least one entry
    if (value < image_end || value >= at) return false;
    unsigned char magic[2];
    if (pos == table && (platform_read_at(fd, magic, 2, value) != 2 || !member_has_gzip_magic(magic, 2))) return false;
  }
  return false;
}

// Where the trailer starts. A signed Windows installer carries its
// certificate table after the payload, and the signing tool pads the file
// with up to 7 zero bytes before it: the trailer is then the first of those
// positions that holds a payload; anywhere else it is the file's last 16
// bytes.
int64_t find_trailer(int fd, int64_t size) {
  pe_layout_t pe;
  if (!read_pe_layout(fd, size, &pe) || pe.cert_size == 0 || pe.cert_offset < pe.image_end ||
      pe.cert_offset + pe.cert_size != size) {
    return size - TOC_TRAILER_SIZE;
  }
  for (int64_t padding = 0; padding <= 7; ++padding) {
    unsigned char byte = 0;
    int64_t end = pe.cert_offset - padding;
    if (padding > 0 && (platform_read_at(fd, &byte, 1, end) != 1 || byte != 0)) break;
    if (trailer_fits(fd, end - TOC_TRAILER_SIZE, pe.image_end)) {
      veklog(PAYLOAD_HERE, VEKLOG_DEBUG,
             "Signed installer: the payload ends at offset %" VEK_PRId64 ", %d bytes before the certificate table",
             (long long)end, (int)padding);
      return end - TOC_TRAILER_SIZE;
    }
  }
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "The certificate table is not preceded by a payload; reading the file's end");
  return size - TOC_TRAILER_SIZE;
}

// Reads the trailer of the open file fd and positions the cursor at the
// first value of the table. False (logged) on every failure; fd stays open.
bool open_toc(int fd, toc_entries* toc, const payload_options_t* options) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Reading source file size");
  int64_t size = platform_file_size(fd);
  if (size < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot stat archive file: %s", strerror(errno));
    return false;
  }
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Reading version and table of contents offset");
  int64_t trailer = find_trailer(fd, size);
  if (platform_seek(fd, trailer, SEEK_SET) < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot seek to end of file: %s", strerror(errno));
    return false;
  }
  int64_t version = read_int64(fd);
  int64_t offset = read_int64(fd);
  if (version != TOC_VERSION) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Invalid version %" VEK_PRId64 " (expected %" VEK_PRId64 ")", (long long)version,
           (long long)TOC_VERSION);
    return false;
  }
  if (offset == -1) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Could not read table of contents offset from installer file.");
    return false;
  }
  if (platform_seek(fd, offset, SEEK_SET) < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot seek to beginning of table of contents: %s", strerror(errno));
    return false;
  }
  *toc = {fd, 0, size, offset, trailer, false, false, options ? *options : PAYLOAD_DEFAULTS};
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG,
         "Successfully initialized table of contents (fd %d, min offset %" VEK_PRId64 ", max offset %" VEK_PRId64 ")",
         fd, (long long)toc->min_offset, (long long)toc->max_offset);
  return true;
}

}  // namespace

bool init_toc(const char* toc_file, toc_entries* toc, const payload_options_t* options) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Opening table of contents in %s", toc_file);
  int fd = platform_open_readonly(toc_file);
  if (fd < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot open table of contents: %s", strerror(errno));
    return false;
  }
  if (!open_toc(fd, toc, options)) return fail_toc(fd);
  toc->owns_fd = true;
  return true;
}

bool init_toc_fd(int fd, const char* name, toc_entries* toc, const payload_options_t* options) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Opening table of contents in %s", name);
  return open_toc(fd, toc, options);
}

bool read_entry_from_toc(toc_entries* toc, toc_entry* entry) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Reading next entry");
  int64_t value = read_int64(toc->fd);
  if (value == 0) {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "No more entries to read");
    return false;
  }
  toc->failed = true;  // every other way out is a damaged table
  if (value == -1) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Could not read next table of contents entry: unexpected EOF");
    return false;
  }
  if (value < toc->min_offset || value > toc->max_offset) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR,
           "Offset %" VEK_PRId64 " is invalid (minimum: %" VEK_PRId64 ", maximum: %" VEK_PRId64 ")", (long long)value,
           (long long)toc->min_offset, (long long)toc->max_offset);
    return false;
  }
  toc->failed = false;
  *entry = {toc->fd, value, entry_extent_end(toc, value), toc->options};
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Successfully initialized entry (offset %" VEK_PRId64 ")", (long long)value);
  return true;
}

void close_toc(toc_entries* toc) {
  if (toc->fd >= 0 && toc->owns_fd) platform_close(toc->fd);
  toc->fd = -1;
}
