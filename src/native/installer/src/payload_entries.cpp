// The entry stream: the reader of one entry's extent (plain data, a gzip
// stream, or bounded gzip members decoded by a pool of workers), and the
// extraction of one entry through the tar reader.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "file_untar_ops.h"
#include "interrupt_state.h"
#include "member_decoder.h"
#include "payload.h"
#include "payload_internal.h"
#include "payload_platform.h"

namespace {

// The threads the options ask for; see payload_options_t.
unsigned decode_workers(const payload_options_t& options) {
  if (options.decode_workers >= 0) return (unsigned)options.decode_workers;
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
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      return false;
    }
    for (size_t i = 0; i < want; ++i) {
      if (scratch[i] != 0) {
        veklog(PAYLOAD_HERE, VEKLOG_ERROR,
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
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
    return false;
  }
  if ((size_t)got != want) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Entry data ends early at offset %" VEK_PRId64,
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
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", got < 0 ? strerror(errno) : "end of file");
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
      veklog(PAYLOAD_HERE, VEKLOG_ERROR,
             "Compressed entry data is damaged at offset %" VEK_PRId64 ": data after the last gzip member",
             (long long)(buffered_at + (int64_t)i));
      return false;
    }
  }
  zs.avail_in = 0;
  if (!rest_is_zero(stream->fd, stream->next_offset, stream->end_offset, stream->input, ENTRY_INPUT_SIZE)) return false;
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
        veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Compressed entry data is truncated at offset %" VEK_PRId64,
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
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Compressed entry data is damaged before offset %" VEK_PRId64 ": %s",
             (long long)stream->next_offset, zs.msg ? zs.msg : zError(rc));
      return fail_stream(stream, EIO);
    }
  }
  return (ssize_t)(requested - zs.avail_out);
}

// ---- Bounded members ---------------------------------------------------------

const char* probe_fault(member_probe_t probe) {
  switch (probe) {
    case MEMBER_PLAIN_GZIP: return "the gzip member does not carry its length";
    case MEMBER_BAD_LENGTH: return "the gzip member's length is out of range";
    case MEMBER_NEED_MORE: return "the gzip header is too long";
    default: return "no gzip member starts here";
  }
}

}  // namespace

member_at_t find_member(int fd, int64_t pos, int64_t end, unsigned char* scratch, uint32_t* size) {
  if (pos >= end) return MEMBER_EXTENT_END;
  size_t want = end - pos < 64 ? (size_t)(end - pos) : 64;
  member_probe_t probe = MEMBER_NOT_GZIP;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (platform_read_at(fd, scratch, want, pos) != (ssize_t)want) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
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
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Compressed entry data is damaged at offset %" VEK_PRId64 ": %s", (long long)pos,
           probe_fault(probe));
    return MEMBER_DAMAGED;
  }
  if (pos + (int64_t)*size > end) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR,
           "Compressed entry data is truncated at offset %" VEK_PRId64 ": the gzip member at offset %" VEK_PRId64
           " needs %u bytes",
           (long long)end, (long long)pos, (unsigned)*size);
    return MEMBER_DAMAGED;
  }
  return MEMBER_FOUND;
}

namespace {

// Hands members to the pool while it has free slots. False (logged, errno
// set) on damage or a read error.
bool queue_members(entry_stream_t* stream) {
  while (!stream->all_queued) {
    bool out_of_memory = false;
    member_slot_t* slot = member_pool_free_slot(stream->pool, &out_of_memory);
    if (out_of_memory) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot allocate the buffers of the gzip member decoder");
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
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
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
  veklog(PAYLOAD_HERE, VEKLOG_ERROR,
         "Compressed entry data is damaged in the gzip member at offset %" VEK_PRId64 ": %s", (long long)slot->offset,
         slot->why);
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
  stream->pool = member_pool_start(decode_workers(stream->options));
  if (!stream->pool) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot start the gzip member decoder: out of memory");
    errno = ENOMEM;
    return false;
  }
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Decoding bounded gzip members with %s, %u worker threads",
         member_inflate_library(), member_pool_workers(stream->pool));
  return true;
}

bool open_gzip(entry_stream_t* stream) {
  stream->gzip = true;
  if (inflateInit2(&stream->zs, 16 + MAX_WBITS) != Z_OK) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot start decompression: %s",
           stream->zs.msg ? stream->zs.msg : "out of memory");
    errno = ENOMEM;
    return false;
  }
  stream->inflating = true;
  return true;
}

}  // namespace

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

bool entry_stream_open(entry_stream_t* stream, int fd, int64_t offset, int64_t end_offset,
                       const payload_options_t* options) {
  memset(stream, 0, sizeof(*stream));
  stream->options = options ? *options : PAYLOAD_DEFAULTS;
  stream->fd = fd;
  stream->next_offset = offset;
  stream->end_offset = end_offset;
  if (offset < 0 || end_offset < offset) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Invalid entry extent %" VEK_PRId64 " to %" VEK_PRId64, (long long)offset,
           (long long)end_offset);
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

void payload_cancel_decoders(void) { member_pool_cancel_all(); }

ssize_t read_func(void* ctx, void* buf, size_t count) {
  if (interrupt_received()) {
    log_interrupt_once();
    errno = EINTR;
    return -1;
  }
  auto* context = static_cast<untar_context_t*>(ctx);
  auto* stream = static_cast<entry_stream_t*>(context->source);
  if (budget_reached(stream->options.budget, context->written_bytes)) {
    errno = ENOSPC;
    return -1;
  }
  return entry_stream_read(stream, buf, count);
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
    if (interrupt_received()) {
      log_interrupt_once();
      errno = EINTR;
      return false;
    }
    if (budget_reached(stream->options.budget, ctx->written_bytes + tail)) {
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
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Extracting contents of tar archive");
  bool extracted = extract_tar(ops, &ctx) && finish_entry(&ctx, stream);
  // Directory modes are applied only to a whole archive: a failed run leaves
  // its partial tree writable, so that removing it cannot be stopped by a
  // read-only directory. The size pass leaves no modes to apply.
  if (finish_file_untar_ops(&ctx, extracted) && extracted) {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Successfully extracted entry");
    if (bytes_extracted) *bytes_extracted = ctx.written_bytes;
    return true;
  }
  const size_budget_t* budget = stream->options.budget;
  if (!interrupt_received() && !(budget && budget->exhausted)) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot extract tar entries: %s", strerror(errno));
  }
  return false;
}

}  // namespace

bool extract_tarball(toc_entry* entry, untar_ops* ops, vek_uint64_t* bytes_extracted) {
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Extracting entry");
  if (!entry) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "NULL entry cannot be extracted");
    return false;
  }
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Saving previous offset");
  int64_t previous = platform_seek(entry->fd, 0, SEEK_CUR);
  if (previous < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Failed to save previous offset: %s", strerror(errno));
    return false;
  }
  bool result = false;
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Seeking to beginning of entry");
  if (platform_seek(entry->fd, entry->offset, SEEK_SET) < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot seek to beginning of entry: %s", strerror(errno));
  } else {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Opening gzip stream");
    auto stream = std::make_unique<entry_stream_t>();
    if (!entry_stream_open(stream.get(), entry->fd, entry->offset, entry->end_offset, &entry->options)) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot open gzip stream: %s", strerror(errno));
    } else {
      result = run_tar_reader(stream.get(), ops, bytes_extracted);
    }
    entry_stream_close(stream.get());
  }
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG2, "Restoring old offset %" VEK_PRId64, (long long)previous);
  if (platform_seek(entry->fd, previous, SEEK_SET) < 0) {
    veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot seek to previous file offset: %s", strerror(errno));
    return false;
  }
  return result;
}
