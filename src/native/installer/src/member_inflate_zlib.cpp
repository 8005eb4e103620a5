// Whole-member inflation with zlib, for targets built without libdeflate.
#include <zlib.h>

#include <cstring>
#include <new>

#include "member_inflate.h"

struct member_inflater_t {
  z_stream zs;  // raw inflate state, reset for every member
};

member_inflater_t* member_inflater_new(void) {
  auto* inflater = new (std::nothrow) member_inflater_t;
  if (!inflater) return nullptr;
  memset(&inflater->zs, 0, sizeof(inflater->zs));
  if (inflateInit2(&inflater->zs, -MAX_WBITS) != Z_OK) {
    delete inflater;
    return nullptr;
  }
  return inflater;
}

void member_inflater_free(member_inflater_t* inflater) {
  if (!inflater) return;
  inflateEnd(&inflater->zs);
  delete inflater;
}

bool member_inflate(member_inflater_t* inflater, const unsigned char* in, size_t in_len, unsigned char* out,
                    size_t out_capacity, size_t* out_len) {
  z_stream& zs = inflater->zs;
  *out_len = 0;
  if (inflateReset(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = (uInt)in_len;
  zs.next_out = out;
  zs.avail_out = (uInt)out_capacity;
  // A whole stream in one call: anything but its end with the input used up is damage.
  int rc = inflate(&zs, Z_FINISH);
  *out_len = out_capacity - zs.avail_out;
  return rc == Z_STREAM_END && zs.avail_in == 0;
}

uint32_t member_crc32(const unsigned char* data, size_t len) {
  return (uint32_t)crc32(crc32(0L, Z_NULL, 0), data, (uInt)len);
}

const char* member_inflate_library(void) { return "zlib " ZLIB_VERSION; }
