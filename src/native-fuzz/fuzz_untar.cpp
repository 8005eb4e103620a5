// Tar reader over an in-memory stream with the size-counting operations.
// The stream hands out short reads at positions derived from the offset, so
// that the reader's loops over partial transfers are exercised as well. Each
// operation is wrapped to check what the reader passes: names must be
// NUL-terminated texts and data chunks must lie inside the reader's buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "fuzz_support.h"
#include "size_untar_ops.h"
#include "untar.h"

namespace {

struct memory_stream_t {
  const uint8_t* data;  // the archive bytes
  size_t size;          // their count
  size_t position;      // next byte handed out
};

struct fuzz_context_t {
  untar_context_t untar;   // first member: the operations receive it as ctx
  memory_stream_t stream;  // the archive
  untar_ops counting;      // the size-counting table being wrapped
};

fuzz_context_t* as_fuzz(void* ctx) { return static_cast<fuzz_context_t*>(ctx); }

ssize_t memory_read(void* ctx, void* buf, size_t count) {
  memory_stream_t& s = as_fuzz(ctx)->stream;
  size_t left = s.size - s.position;
  size_t n = std::min(count, left);
  // Every third block of the stream is delivered in a short piece.
  if ((s.position / TAR_BLOCK_SIZE) % 3 == 2) n = std::min(n, 1 + s.position % 509);
  memcpy(buf, s.data + s.position, n);
  s.position += n;
  return (ssize_t)n;
}

void touch_text(const char* text) {
  if (text == nullptr) abort();
  vekfuzz::g_logged_bytes = vekfuzz::g_logged_bytes + strlen(text);
}

int checked_open_file(void* ctx, const char* name, int mode) {
  touch_text(name);
  return as_fuzz(ctx)->counting.open_file(ctx, name, mode);
}

int checked_write_file(void* ctx, int fd, const char* buf, size_t sz) {
  if (sz > 0) vekfuzz::g_logged_bytes = vekfuzz::g_logged_bytes + (unsigned char)buf[0] + (unsigned char)buf[sz - 1];
  return as_fuzz(ctx)->counting.write_file(ctx, fd, buf, sz);
}

void checked_close_file(void* ctx, int fd) { as_fuzz(ctx)->counting.close_file(ctx, fd); }

bool checked_make_directory(void* ctx, const char* name, int mode) {
  touch_text(name);
  return as_fuzz(ctx)->counting.make_directory(ctx, name, mode);
}

bool checked_make_device(void* ctx, const char* name, int mode, int major, int minor) {
  touch_text(name);
  return as_fuzz(ctx)->counting.make_device(ctx, name, mode, major, minor);
}

bool checked_make_symlink(void* ctx, const char* to, const char* from) {
  touch_text(to);
  touch_text(from);
  return as_fuzz(ctx)->counting.make_symlink(ctx, to, from);
}

bool checked_make_hardlink(void* ctx, const char* to, const char* from) {
  touch_text(to);
  touch_text(from);
  return as_fuzz(ctx)->counting.make_hardlink(ctx, to, from);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_context_t ctx;
  memset(&ctx, 0, sizeof(ctx));
  ctx.stream = {data, size, 0};
  init_size_untar_ops(&ctx.counting);
  untar_ops ops = {memory_read,          checked_open_file,      checked_write_file,
                   checked_close_file,   checked_make_directory, checked_make_device,
                   checked_make_symlink, checked_make_hardlink};
  bool ok = extract_tar(&ops, &ctx.untar);
  // The count covers at most the data present plus a directory or link per
  // header block; anything larger is arithmetic gone wrong.
  vek_uint64_t bound = (vek_uint64_t)size + (size / TAR_BLOCK_SIZE + 1) * 4096;
  if (ctx.untar.written_bytes > bound) abort();
  if (ok && ctx.stream.position > size) abort();
  return 0;
}
