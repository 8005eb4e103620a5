// Path normalisation. The input is taken as a path up to its first NUL.
// Checks: a changed path is already clean (normalising it again changes
// nothing), a small buffer receives a NUL-terminated prefix of the full
// result and nothing past its end, and "unchanged" leaves the buffer alone.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "vek_file.h"

namespace {

// A buffer of exactly `length` bytes (so that writing past it is caught),
// filled with a marker so that untouched contents can be recognised.
struct marked_buffer_t {
  explicit marked_buffer_t(size_t length) : size(length), bytes(static_cast<char*>(malloc(length)), &free) {
    if (!bytes) abort();
    memset(bytes.get(), '#', size);
  }
  bool untouched() const {
    for (size_t i = 0; i < size; ++i) {
      if (bytes.get()[i] != '#') return false;
    }
    return true;
  }
  size_t size;
  std::unique_ptr<char, decltype(&free)> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = vekfuzz::as_text(data, size);
  std::unique_ptr<char, decltype(&free)> input(strdup(path.c_str()), &free);
  if (!input) return 0;

  // Normalising never lengthens a path by more than the separators it adds.
  marked_buffer_t full(2 * path.size() + 16);
  bool changed = vek_normalizePath(input.get(), full.bytes.get(), full.size);
  if (!changed) {
    if (!full.untouched()) abort();
    return 0;
  }
  const char* clean = full.bytes.get();
  if (memchr(clean, '\0', full.size) == nullptr) abort();
  if (strlen(clean) > path.size() + 1) abort();

  marked_buffer_t again(full.size);
  if (vek_normalizePath(clean, again.bytes.get(), again.size)) abort();

  size_t small_length = 1 + (data[0] % 8);
  marked_buffer_t small(small_length);
  if (!vek_normalizePath(input.get(), small.bytes.get(), small.size)) abort();
  size_t cut = strnlen(small.bytes.get(), small.size);
  if (cut >= small.size || strncmp(small.bytes.get(), clean, cut) != 0) abort();
  return 0;
}
