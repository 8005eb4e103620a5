// The inflater of whole bounded members: raw deflate data in one buffer to
// exactly the announced number of bytes, and the CRC-32 that gzip uses. One
// implementation per library, chosen by the build: libdeflate where the
// target has it (member_inflate_libdeflate.cpp), zlib elsewhere
// (member_inflate_zlib.cpp).
#ifndef INSTALLER_MEMBER_INFLATE_H
#define INSTALLER_MEMBER_INFLATE_H

#include <stddef.h>
#include <stdint.h>

// One inflater per thread; not shareable.
typedef struct member_inflater_t member_inflater_t;

// A new inflater, or NULL when memory is short. Release it with
// member_inflater_free.
member_inflater_t* member_inflater_new(void);
void member_inflater_free(member_inflater_t* inflater);

// Inflates the raw deflate stream in[0, in_len) into out, which holds
// out_capacity bytes, and stores the length of the result in *out_len. True
// only when the stream ends exactly at in_len and its result fits; damaged
// data, a longer result or bytes left over give false.
bool member_inflate(member_inflater_t* inflater, const unsigned char* in, size_t in_len, unsigned char* out,
                    size_t out_capacity, size_t* out_len);

// CRC-32 (gzip's) of data, starting from 0.
uint32_t member_crc32(const unsigned char* data, size_t len);

// Name of the library doing the work, for the debug log.
const char* member_inflate_library(void);

#endif  // INSTALLER_MEMBER_INFLATE_H
