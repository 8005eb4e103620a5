// Size-counting operations: the size pass runs the tar reader with these to
// learn how much space the extraction will need.
#include "size_untar_ops.h"

#include <cstring>

namespace {

// What one directory entry is counted as.
constexpr vek_uint64_t kDirectoryBytes = 4096;

void add_bytes(void* ctx, vek_uint64_t bytes) { static_cast<untar_context*>(ctx)->written_bytes += bytes; }

int size_open_file(void*, const char*, int) {
  return 0;  // nothing is opened; write_file counts the data
}

int size_write_file(void* ctx, int, const char*, size_t sz) {
  add_bytes(ctx, sz);
  return static_cast<int>(sz);  // the reader hands at most one 10240-byte chunk
}

void size_close_file(void*, int) {}

bool size_make_directory(void* ctx, const char*, int) {
  add_bytes(ctx, kDirectoryBytes);
  return true;
}

bool size_make_device(void*, const char*, int, int, int) { return true; }

bool size_make_symlink(void* ctx, const char* to, const char*) {
  add_bytes(ctx, strlen(to));
  return true;
}

bool size_make_hardlink(void*, const char*, const char*) { return true; }

}  // namespace

void init_size_untar_ops(untar_ops* ops) {
  ops->open_file = size_open_file;
  ops->write_file = size_write_file;
  ops->close_file = size_close_file;
  ops->make_directory = size_make_directory;
  ops->make_device = size_make_device;
  ops->make_symlink = size_make_symlink;
  ops->make_hardlink = size_make_hardlink;
}
