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
#include "member_decoder.h"
#include "payload_platform.h"
#include "pe_layout.h"
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

// The size budget for a count of `bytes` in the current entry.
bool budget_reached(vek_uint64_t bytes) {
  untar_context_t ctx;
  memset(&ctx, 0, sizeof(ctx));
  ctx.written_bytes = bytes;
  return size_budget_exhausted(&ctx);
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
    if (pos == table && (platform_read_at(fd, magic, 2, value) != 2 || magic[0] != 0x1f || magic[1] != 0x8b))
      return false;
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
      veklog(VEK_HERE, VEKLOG_DEBUG,
             "Signed installer: the payload ends at offset %" VEK_PRId64 ", %d bytes before the certificate table",
             (long long)end, (int)padding);
      return end - TOC_TRAILER_SIZE;
    }
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "The certificate table is not preceded by a payload; reading the file's end");
  return size - TOC_TRAILER_SIZE;
}

}  // namespace

namespace {

// Reads the trailer of the open file fd and positions the cursor at the
// first value of the table. False (logged) on every failure; fd stays open.
bool open_toc(int fd, toc_entries* toc) {
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading source file size");
  int64_t size = platform_file_size(fd);
  if (size < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot stat archive file: %s", strerror(errno));
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Reading version and table of contents offset");
  int64_t trailer = find_trailer(fd, size);
  if (platform_seek(fd, trailer, SEEK_SET) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to end of file: %s", strerror(errno));
    return false;
  }
  int64_t version = read_int64(fd);
  int64_t offset = read_int64(fd);
  if (version != TOC_VERSION) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Invalid version %" VEK_PRId64 " (expected %" VEK_PRId64 ")",
           (long long)version, (long long)TOC_VERSION);
    return false;
  }
  if (offset == -1) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not read table of contents offset from installer file.");
    return false;
  }
  if (platform_seek(fd, offset, SEEK_SET) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot seek to beginning of table of contents: %s", strerror(errno));
    return false;
  }
  *toc = {fd, 0, size, offset, trailer, false, false};
  veklog(VEK_HERE, VEKLOG_DEBUG,
         "Successfully initialized table of contents (fd %d, min offset %" VEK_PRId64
         ", max offset %" VEK_PRId64 ")",
         fd, (long long)toc->min_offset, (long long)toc->max_offset);
  return true;
}

}  // namespace

bool init_toc(const char* toc_file, toc_entries* toc) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Opening table of contents in %s", toc_file);
  int fd = platform_open_readonly(toc_file);
  if (fd < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot open table of contents: %s", strerror(errno));
    return false;
  }
  if (!open_toc(fd, toc)) return fail_toc(fd);
  toc->owns_fd = true;
  return true;
}

bool init_toc_fd(int fd, const char* name, toc_entries* toc) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Opening table of contents in %s", name);
  return open_toc(fd, toc);
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
  if (toc->fd >= 0 && toc->owns_fd) platform_close(toc->fd);
  toc->fd = -1;
}

// ---- Entry reader --------------------------------------------------------

namespace {

// -1: one per processor; see payload_set_decode_workers.
int decode_workers_setting = -1;

unsigned decode_workers() {
  if (decode_workers_setting >= 0) return (unsigned)decode_workers_setting;
  unsigned processors = platform_processor_count();
  if (processors <= 1) return 0;  // a worker would only take turns with the reader
  return processors < MEMBER_POOL_MAX_WORKERS ? processors : MEMBER_POOL_MAX_WORKERS;
}

ssize_t fail_stream(entry_stream_t* stream, int error) {
  stream->failed = true;
  errno = error;
  return -1;
}

// Whether [from, end) of fd holds nothing but zero bytes, read through
// scratch (`size` bytes). Logs what else it finds.
bool rest_is_zero(int fd, int64_t from, int64_t end, unsigned char* scratch, size_t size) {
  for (int64_t pos = from; pos < end;) {
    size_t want = end - pos < (int64_t)size ? (size_t)(end - pos) : size;
    if (platform_read_at(fd, scratch, want, pos) != (ssize_t)want) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      return false;
    }
    for (size_t i = 0; i < want; ++i) {
      if (scratch[i] != 0) {
        veklog(VEK_HERE, VEKLOG_ERROR,
               "Compressed entry data is damaged at offset %" VEK_PRId64 ": data after the last gzip member",
               (long long)(pos + (int64_t)i));
        return false;
      }
    }
    pos += (int64_t)want;
  }
  return true;
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

// Between members a zero byte cannot start another one (the gzip magic comes
// first): the rest of the extent must then be zero, in the input buffer and
// behind it. True when it is; the extent is then used up.
bool skip_zero_padding(entry_stream_t* stream) {
  z_stream& zs = stream->zs;
  int64_t buffered_at = stream->next_offset - (int64_t)zs.avail_in;
  for (uInt i = 0; i < zs.avail_in; ++i) {
    if (zs.next_in[i] != 0) {
      veklog(VEK_HERE, VEKLOG_ERROR,
             "Compressed entry data is damaged at offset %" VEK_PRId64 ": data after the last gzip member",
             (long long)(buffered_at + (int64_t)i));
      return false;
    }
  }
  zs.avail_in = 0;
  if (!rest_is_zero(stream->fd, stream->next_offset, stream->end_offset, stream->input, ENTRY_INPUT_SIZE))
    return false;
  stream->next_offset = stream->end_offset;
  return true;
}

// Decodes member after member until buf is full or the extent is used up.
// A member that is cut off by the end of the extent is an error, as is
// anything in the extent that is neither a complete gzip member nor the zero
// padding after the last one.
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
      if (zs.next_in[0] == 0) {
        if (!skip_zero_padding(stream)) return fail_stream(stream, EIO);
        break;
      }
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

// ---- Bounded members ---------------------------------------------------------

// What stands at a position of an extent where a member may start.
enum member_at_t {
  MEMBER_FOUND,       // a bounded member of *size bytes, wholly inside the extent
  MEMBER_EXTENT_END,  // the extent ends here, or only zero bytes follow
  MEMBER_DAMAGED,     // anything else (logged; errno EIO)
};

const char* probe_fault(member_probe_t probe) {
  switch (probe) {
    case MEMBER_PLAIN_GZIP: return "the gzip member does not carry its length";
    case MEMBER_BAD_LENGTH: return "the gzip member's length is out of range";
    case MEMBER_NEED_MORE: return "the gzip header is too long";
    default: return "no gzip member starts here";
  }
}

// Reads the header of the member at pos through scratch (ENTRY_INPUT_SIZE
// bytes) and checks that the member ends inside the extent.
member_at_t find_member(int fd, int64_t pos, int64_t end, unsigned char* scratch, uint32_t* size) {
  if (pos >= end) return MEMBER_EXTENT_END;
  size_t want = end - pos < 64 ? (size_t)(end - pos) : 64;
  member_probe_t probe = MEMBER_NOT_GZIP;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (platform_read_at(fd, scratch, want, pos) != (ssize_t)want) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      errno = EIO;
      return MEMBER_DAMAGED;
    }
    if (scratch[0] == 0) {
      errno = EIO;
      return rest_is_zero(fd, pos, end, scratch, ENTRY_INPUT_SIZE) ? MEMBER_EXTENT_END : MEMBER_DAMAGED;
    }
    probe = member_probe(scratch, want, size);
    if (probe != MEMBER_NEED_MORE || *size > ENTRY_INPUT_SIZE || pos + (int64_t)*size > end) break;
    want = *size;  // a longer extra field: read it whole once
  }
  errno = EIO;
  if (probe == MEMBER_NEED_MORE && pos + (int64_t)*size > end) probe = MEMBER_BOUNDED;  // reported as cut off
  if (probe != MEMBER_BOUNDED) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Compressed entry data is damaged at offset %" VEK_PRId64 ": %s",
           (long long)pos, probe_fault(probe));
    return MEMBER_DAMAGED;
  }
  if (pos + (int64_t)*size > end) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Compressed entry data is truncated at offset %" VEK_PRId64 ": the gzip member at offset %" VEK_PRId64
           " needs %u bytes",
           (long long)end, (long long)pos, (unsigned)*size);
    return MEMBER_DAMAGED;
  }
  return MEMBER_FOUND;
}

// Hands members to the pool while it has free slots. False (logged, errno
// set) on damage or a read error.
bool queue_members(entry_stream_t* stream) {
  while (!stream->all_queued) {
    bool out_of_memory = false;
    member_slot_t* slot = member_pool_free_slot(stream->pool, &out_of_memory);
    if (out_of_memory) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot allocate the buffers of the gzip member decoder");
      errno = ENOMEM;
      return false;
    }
    if (!slot) return true;
    uint32_t size = 0;
    member_at_t found = find_member(stream->fd, stream->next_offset, stream->end_offset, stream->input, &size);
    if (found == MEMBER_DAMAGED) return false;
    if (found == MEMBER_EXTENT_END) {
      stream->all_queued = true;
      return true;
    }
    if (platform_read_at(stream->fd, slot->in, size, stream->next_offset) != (ssize_t)size) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      errno = EIO;
      return false;
    }
    slot->offset = stream->next_offset;
    slot->size = size;
    member_pool_queue(stream->pool, slot);
    stream->next_offset += size;
  }
  return true;
}

// The decoded member to hand out next, waiting for its worker; NULL (errno
// 0) at the end of the extent, or NULL with errno set on damage (logged).
member_slot_t* next_member(entry_stream_t* stream) {
  if (!queue_members(stream)) return nullptr;
  member_slot_t* slot = member_pool_next(stream->pool);
  errno = 0;
  if (!slot || slot->state == SLOT_DONE) return slot;
  veklog(VEK_HERE, VEKLOG_ERROR, "Compressed entry data is damaged in the gzip member at offset %" VEK_PRId64 ": %s",
         (long long)slot->offset, slot->why);
  errno = EIO;
  return nullptr;
}

ssize_t read_members(entry_stream_t* stream, void* buf, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (!stream->current) {
      stream->current = next_member(stream);
      if (!stream->current && errno != 0) return fail_stream(stream, errno);
      if (!stream->current) break;
    }
    member_slot_t* slot = stream->current;
    size_t take = slot->out_len - slot->consumed < count - done ? slot->out_len - slot->consumed : count - done;
    memcpy((unsigned char*)buf + done, slot->out + slot->consumed, take);
    slot->consumed += take;
    done += take;
    if (slot->consumed == slot->out_len) {
      member_pool_release(stream->pool, slot);
      stream->current = nullptr;
      // Keep the workers busy while the reader writes what it got.
      if (!queue_members(stream)) return fail_stream(stream, errno);
    }
  }
  return (ssize_t)done;
}

bool open_members(entry_stream_t* stream) {
  stream->members = true;
  stream->pool = member_pool_start(decode_workers());
  if (!stream->pool) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot start the gzip member decoder: out of memory");
    errno = ENOMEM;
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Decoding bounded gzip members with %s, %u worker threads",
         member_inflate_library(), member_pool_workers(stream->pool));
  return true;
}

bool open_gzip(entry_stream_t* stream) {
  stream->gzip = true;
  if (inflateInit2(&stream->zs, 16 + MAX_WBITS) != Z_OK) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Cannot start decompression: %s",
           stream->zs.msg ? stream->zs.msg : "out of memory");
    errno = ENOMEM;
    return false;
  }
  stream->inflating = true;
  return true;
}

// How an entry's bytes begin: a bounded member, another gzip stream, or
// plain data.
member_probe_t probe_entry(int fd, int64_t offset, int64_t end_offset) {
  unsigned char head[64];
  if (end_offset - offset < 2) return MEMBER_NOT_GZIP;
  size_t want = end_offset - offset < (int64_t)sizeof(head) ? (size_t)(end_offset - offset) : sizeof(head);
  uint32_t size = 0;
  if (platform_read_at(fd, head, want, offset) != (ssize_t)want) return MEMBER_NOT_GZIP;
  member_probe_t probe = member_probe(head, want, &size);
  if (probe == MEMBER_BOUNDED || probe == MEMBER_NOT_GZIP) return probe;
  // Whatever else starts with the gzip magic is left to zlib, as gzip -d reads it.
  return MEMBER_PLAIN_GZIP;
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
  switch (probe_entry(fd, offset, end_offset)) {
    case MEMBER_BOUNDED: return open_members(stream);
    case MEMBER_NOT_GZIP: return true;
    default: return open_gzip(stream);
  }
}

ssize_t entry_stream_read(entry_stream_t* stream, void* buf, size_t count) {
  if (stream->failed) {
    errno = EIO;
    return -1;
  }
  if (count == 0) return 0;
  if (stream->members) return read_members(stream, buf, count);
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
  member_pool_stop(stream->pool);
  stream->pool = nullptr;
  stream->current = nullptr;
}

void payload_set_decode_workers(int workers) { decode_workers_setting = workers < 0 ? -1 : workers; }

void payload_cancel_decoders(void) { member_pool_cancel_all(); }

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

// The rest of the extent after the archive's end (its padding) is decoded so
// that every member is verified. It is read like the archive: an interrupt
// stops it, and so does the size budget, which counts the tail too (zero
// padding can inflate without end).
bool finish_entry(const untar_context_t* ctx, entry_stream_t* stream) {
  unsigned char scratch[16384];
  vek_uint64_t tail = 0;
  for (;;) {
    if (sigint_received) {
      log_interrupt_once();
      errno = EINTR;
      return false;
    }
    if (budget_reached(ctx->written_bytes + tail)) {
      errno = ENOSPC;
      return false;
    }
    ssize_t got = entry_stream_read(stream, scratch, sizeof(scratch));
    if (got <= 0) return got == 0;
    tail += (vek_uint64_t)got;
  }
}

// Runs the tar reader over an open stream; the entry counts as good only once
// the rest of its extent has been decoded and verified too.
bool run_tar_reader(entry_stream_t* stream, untar_ops* ops, vek_uint64_t* bytes_extracted) {
  untar_context_t ctx;
  memset(&ctx, 0, sizeof(ctx));
  ctx.source = stream;
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Extracting contents of tar archive");
  bool extracted = extract_tar(ops, &ctx) && finish_entry(&ctx, stream);
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

// ---- Size pass ---------------------------------------------------------------

namespace {

// Adds up the lengths that the members' trailers claim. Each is at most
// MEMBER_MAX_DATA, so a lying trailer cannot claim more than the bytes of
// its member; the extract pass checks every claim. The walk also finds a
// damaged member structure before anything is extracted; with `budgeted`
// the size budget stops it.
bool sum_member_lengths(const toc_entry* entry, bool budgeted, vek_uint64_t* bytes) {
  std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[ENTRY_INPUT_SIZE]);
  if (!scratch) {
    errno = ENOMEM;
    return false;
  }
  vek_uint64_t total = 0;
  unsigned members = 0;
  uint32_t size = 0;
  member_at_t found;
  for (int64_t pos = entry->offset;
       (found = find_member(entry->fd, pos, entry->end_offset, scratch.get(), &size)) == MEMBER_FOUND;
       pos += size) {
    unsigned char trailer[MEMBER_TRAILER_SIZE];
    if (platform_read_at(entry->fd, trailer, sizeof(trailer), pos + size - MEMBER_TRAILER_SIZE) !=
        (ssize_t)sizeof(trailer)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      return false;
    }
    uint32_t claimed = member_claimed_length(trailer);
    if (claimed > MEMBER_MAX_DATA) {
      veklog(VEK_HERE, VEKLOG_ERROR,
             "Compressed entry data is damaged in the gzip member at offset %" VEK_PRId64
             ": it claims %u bytes, more than a member holds",
             (long long)pos, (unsigned)claimed);
      return false;
    }
    total += claimed;
    ++members;
    if (sigint_received || (budgeted && budget_reached(total))) return false;
  }
  if (found == MEMBER_DAMAGED) return false;
  veklog(VEK_HERE, VEKLOG_DEBUG, "Summed the trailers of %u gzip members: %" VEK_PRId64 " bytes", members,
         (long long)total);
  *bytes = total;
  return true;
}

// The figure the packer recorded in the entry's first member, if any.
bool recorded_entry_size(const toc_entry* entry, vek_uint64_t* bytes) {
  unsigned char header[64];
  int64_t extent = entry->end_offset - entry->offset;
  size_t want = extent < (int64_t)sizeof(header) ? (size_t)extent : sizeof(header);
  uint64_t recorded = 0;
  if (platform_read_at(entry->fd, header, want, entry->offset) != (ssize_t)want ||
      !member_recorded_size(header, want, &recorded))
    return false;
  *bytes = recorded;
  return true;
}

}  // namespace

// The trailers count headers and padding but a directory as its 512-byte
// header, where the disk takes a block: the figure the packer counted with
// the size operations is taken when the entry carries it.
bool size_entry(toc_entry* entry, untar_ops* size_ops, vek_uint64_t* bytes) {
  if (!entry || probe_entry(entry->fd, entry->offset, entry->end_offset) != MEMBER_BOUNDED)
    return extract_tarball(entry, size_ops, bytes);
  vek_uint64_t recorded = 0;
  bool has_record = recorded_entry_size(entry, &recorded);
  if (has_record) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Entry at offset %" VEK_PRId64 " records %" VEK_PRId64 " bytes",
           (long long)entry->offset, (long long)recorded);
    if (budget_reached(recorded)) return false;
  } else {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Counting entry at offset %" VEK_PRId64 " from its gzip trailers",
           (long long)entry->offset);
  }
  vek_uint64_t total = 0;
  if (!sum_member_lengths(entry, !has_record, &total)) {
    log_interrupt_once();
    return false;
  }
  if (bytes) *bytes = has_record ? recorded : total;
  return true;
}
