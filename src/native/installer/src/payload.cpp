// The payload appended to the installer's executable: the trailer and the
// table of contents, and the reader of one entry bounded by its extent.
#include "payload.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "file_untar_ops.h"
#include "installer.h"
#include "installer_platform.h"
#include "vek_logging.h"

const size_budget_t NO_SIZE_BUDGET = {VEK_UINT64_UNKNOWN, 0, 0, false};
size_budget_t size_budget = NO_SIZE_BUDGET;

namespace {

bool size_budget_exhausted(const untar_context_t* ctx) {
  if (size_budget.available == VEK_UINT64_UNKNOWN) return false;
  vek_uint64_t count = size_budget.counted + ctx->written_bytes;
  if (count < size_budget.available) return false;
  size_budget.exhausted = true;
  size_budget.reached = count;
  return true;
}

// ---- Table of contents -------------------------------------------------

int64_t big_to_host_endian(const unsigned char bytes[8]) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
  return (int64_t)value;
}

// The next 8 bytes at fd's position as a big-endian value; -1 on error or EOF.
int64_t read_int64(int fd) {
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading int64 from fd %d offset %" VEK_PRId64, fd,
         (long long)platform_seek(fd, 0, SEEK_CUR));
  unsigned char buffer[8];
  size_t have = 0;
  while (have < sizeof(buffer)) {
    veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading %d bytes", (int)(sizeof(buffer) - have));
    ssize_t got = platform_read(fd, buffer + have, sizeof(buffer) - have);
    veklog(VEK_HERE, VEKLOG_DEBUG2, "Read %d bytes", (int)got);
    if (got < 0) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry offset: %s", strerror(errno));
      return -1;
    }
    if (got == 0) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Unexpected end of file while attempting to read TOC entry.");
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

// An entry's bytes end where the next one (in file order) or the table starts.
int64_t entry_extent_end(const toc_entries* toc, int64_t offset) {
  int64_t end = toc->max_offset;
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

}  // namespace

bool init_toc(const char* toc_file, toc_entries* toc) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Opening table of contents in %s", toc_file);
  int fd = platform_open_readonly(toc_file);
  if (fd < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot open table of contents: %s", strerror(errno));
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading source file size");
  int64_t size = platform_file_size(fd);
  if (size < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot stat archive file: %s", strerror(errno));
    return fail_toc(fd);
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading version and table of contents offset");
  if (platform_seek(fd, -TOC_TRAILER_SIZE, SEEK_END) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to end of file: %s", strerror(errno));
    return fail_toc(fd);
  }
  int64_t version = read_int64(fd);
  int64_t offset = read_int64(fd);
  if (version != TOC_VERSION) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Invalid version %" VEK_PRId64 " (expected %" VEK_PRId64 ")",
           (long long)version, (long long)TOC_VERSION);
    return fail_toc(fd);
  }
  if (offset == -1) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not read table of contents offset from installer file.");
    return fail_toc(fd);
  }
  if (platform_seek(fd, offset, SEEK_SET) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to beginning of table of contents: %s", strerror(errno));
    return fail_toc(fd);
  }
  *toc = {fd, 0, size, offset, false};
  veklog(VEK_HERE, VEKLOG_DEBUG,
         "Successfully initialized table of contents (fd %d, min offset %" VEK_PRId64
         ", max offset %" VEK_PRId64 ")",
         fd, (long long)toc->min_offset, (long long)toc->max_offset);
  return true;
}

bool read_entry_from_toc(toc_entries* toc, toc_entry* entry) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Reading next entry");
  int64_t value = read_int64(toc->fd);
  if (value == 0) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "No more entries to read");
    return false;
  }
  toc->failed = true;  // every other way out is a damaged table
  if (value == -1) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not read next table of contents entry: unexpected EOF");
    return false;
  }
  if (value < toc->min_offset || value > toc->max_offset) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Offset %" VEK_PRId64 " is invalid (minimum: %" VEK_PRId64 ", maximum: %" VEK_PRId64 ")",
           (long long)value, (long long)toc->min_offset, (long long)toc->max_offset);
    return false;
  }
  toc->failed = false;
  *entry = {toc->fd, value, entry_extent_end(toc, value)};
  veklog(VEK_HERE, VEKLOG_DEBUG, "Successfully initialized entry (offset %" VEK_PRId64 ")",
         (long long)value);
  return true;
}

void close_toc(toc_entries* toc) {
  if (toc->fd >= 0) platform_close(toc->fd);
  toc->fd = -1;
}

// ---- Entry reader --------------------------------------------------------

namespace {

ssize_t fail_stream(entry_stream_t* stream, int error) {
  stream->failed = true;
  errno = error;
  return -1;
}

// Fetches the next compressed bytes of the extent into the input buffer.
bool refill_input(entry_stream_t* stream) {
  int64_t left = stream->end_offset - stream->next_offset;
  size_t want = left < (int64_t)ENTRY_INPUT_SIZE ? (size_t)left : ENTRY_INPUT_SIZE;
  ssize_t got = platform_read_at(stream->fd, stream->input, want, stream->next_offset);
  if (got < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
    return false;
  }
  if ((size_t)got != want) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Entry data ends early at offset %" VEK_PRId64,
           (long long)(stream->next_offset + got));
    errno = EIO;
    return false;
  }
  stream->next_offset += got;
  stream->zs.next_in = stream->input;
  stream->zs.avail_in = (uInt)got;
  return true;
}

ssize_t read_plain(entry_stream_t* stream, void* buf, size_t count) {
  int64_t left = stream->end_offset - stream->next_offset;
  size_t want = left < (int64_t)count ? (size_t)left : count;
  if (want == 0) return 0;
  ssize_t got = platform_read_at(stream->fd, buf, want, stream->next_offset);
  if (got <= 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", got < 0 ? strerror(errno) : "end of file");
    return fail_stream(stream, got < 0 ? errno : EIO);
  }
  stream->next_offset += got;
  return got;
}

// Decodes member after member until buf is full or the extent is used up.
// A member that is cut off by the end of the extent is an error, as is
// anything in the extent that is not a complete gzip member.
ssize_t read_gzip(entry_stream_t* stream, void* buf, size_t count) {
  z_stream& zs = stream->zs;
  zs.next_out = (Bytef*)buf;
  zs.avail_out = (uInt)(count > (1u << 30) ? (1u << 30) : count);
  uInt requested = zs.avail_out;
  while (zs.avail_out > 0) {
    if (zs.avail_in == 0) {
      if (stream->next_offset >= stream->end_offset) {
        if (!stream->in_member) break;
        veklog(VEK_HERE, VEKLOG_ERROR, "Compressed entry data is truncated at offset %" VEK_PRId64,
               (long long)stream->end_offset);
        return fail_stream(stream, EIO);
      }
      if (!refill_input(stream)) return fail_stream(stream, errno);
    }
    if (!stream->in_member) {
      inflateReset(&zs);
      stream->in_member = true;
    }
    int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      stream->in_member = false;  // zlib has verified the member's CRC and length
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && zs.avail_in == 0)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Compressed entry data is damaged before offset %" VEK_PRId64 ": %s",
             (long long)stream->next_offset, zs.msg ? zs.msg : zError(rc));
      return fail_stream(stream, EIO);
    }
  }
  return (ssize_t)(requested - zs.avail_out);
}

}  // namespace

bool entry_stream_open(entry_stream_t* stream, int fd, int64_t offset, int64_t end_offset) {
  memset(stream, 0, sizeof(*stream));
  stream->fd = fd;
  stream->next_offset = offset;
  stream->end_offset = end_offset;
  if (offset < 0 || end_offset < offset) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Invalid entry extent %" VEK_PRId64 " to %" VEK_PRId64,
           (long long)offset, (long long)end_offset);
    errno = EINVAL;
    return false;
  }
  unsigned char magic[2] = {0, 0};
  if (end_offset - offset >= 2 && platform_read_at(fd, magic, 2, offset) == 2 && magic[0] == 0x1f &&
      magic[1] == 0x8b) {
    stream->gzip = true;
    if (inflateInit2(&stream->zs, 16 + MAX_WBITS) != Z_OK) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot start decompression: %s",
             stream->zs.msg ? stream->zs.msg : "out of memory");
      errno = ENOMEM;
      return false;
    }
    stream->inflating = true;
  }
  return true;
}

ssize_t entry_stream_read(entry_stream_t* stream, void* buf, size_t count) {
  if (stream->failed) {
    errno = EIO;
    return -1;
  }
  if (count == 0) return 0;
  return stream->gzip ? read_gzip(stream, buf, count) : read_plain(stream, buf, count);
}

bool entry_stream_finish(entry_stream_t* stream) {
  unsigned char scratch[16384];
  ssize_t got;
  do {
    got = entry_stream_read(stream, scratch, sizeof(scratch));
  } while (got > 0);
  return got == 0;
}

void entry_stream_close(entry_stream_t* stream) {
  if (stream->inflating) inflateEnd(&stream->zs);
  stream->inflating = false;
}

ssize_t read_func(void* ctx, void* buf, size_t count) {
  if (sigint_received) {
    log_interrupt_once();
    errno = EINTR;
    return -1;
  }
  auto* context = static_cast<untar_context_t*>(ctx);
  if (size_budget_exhausted(context)) {
    errno = ENOSPC;
    return -1;
  }
  return entry_stream_read(static_cast<entry_stream_t*>(context->source), buf, count);
}

namespace {

// Runs the tar reader over an open stream; the entry counts as good only once
// the rest of its extent has been decoded and verified too.
bool run_tar_reader(entry_stream_t* stream, untar_ops* ops, vek_uint64_t* bytes_extracted) {
  untar_context_t ctx;
  memset(&ctx, 0, sizeof(ctx));
  ctx.source = stream;
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Extracting contents of tar archive");
  bool extracted = extract_tar(ops, &ctx) && !sigint_received && entry_stream_finish(stream);
  // Directory modes are applied only to a whole archive: a failed run leaves
  // its partial tree writable, so that removing it cannot be stopped by a
  // read-only directory. The size pass leaves no modes to apply.
  if (finish_file_untar_ops(&ctx, extracted) && extracted) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Successfully extracted entry");
    if (bytes_extracted) *bytes_extracted = ctx.written_bytes;
    return true;
  }
  if (!sigint_received && !size_budget.exhausted) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot extract tar entries: %s", strerror(errno));
  }
  return false;
}

}  // namespace

bool extract_tarball(toc_entry* entry, untar_ops* ops, vek_uint64_t* bytes_extracted) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Extracting entry");
  if (!entry) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL entry cannot be extracted");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Saving previous offset");
  int64_t previous = platform_seek(entry->fd, 0, SEEK_CUR);
  if (previous < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Failed to save previous offset: %s", strerror(errno));
    return false;
  }
  bool result = false;
  veklog(VEK_HERE, VEKLOG_DEBUG, "Seeking to beginning of entry");
  if (platform_seek(entry->fd, entry->offset, SEEK_SET) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to beginning of entry: %s", strerror(errno));
  } else {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Opening gzip stream");
    auto stream = std::make_unique<entry_stream_t>();
    if (!entry_stream_open(stream.get(), entry->fd, entry->offset, entry->end_offset)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot open gzip stream: %s", strerror(errno));
    } else {
      result = run_tar_reader(stream.get(), ops, bytes_extracted);
    }
    entry_stream_close(stream.get());
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Restoring old offset %" VEK_PRId64, (long long)previous);
  if (platform_seek(entry->fd, previous, SEEK_SET) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to previous file offset: %s", strerror(errno));
    return false;
  }
  return result;
}
