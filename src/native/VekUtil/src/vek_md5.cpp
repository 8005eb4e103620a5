// MD5 message digests after RFC 1321, fed incrementally. Words are packed
// little-endian byte by byte, so the result does not depend on the host.

#include "vek_md5.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t BLOCK_BYTES = 64;
constexpr size_t DIGEST_BYTES = 16;

// T[i] = floor(2^32 * |sin(i + 1)|), the additive constants of the 64 steps.
constexpr uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left-rotation amounts, four per round.
constexpr unsigned SHIFTS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotate_left(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void store_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// The four rounds over one 64-byte block.
void transform(uint32_t state[4], const unsigned char block[BLOCK_BYTES]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (unsigned step = 0; step < 64; ++step) {
    const unsigned round = step / 16;
    uint32_t f;
    unsigned k;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        k = step;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        k = (1 + 5 * step) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        k = (5 + 3 * step) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        k = (7 * step) % 16;
        break;
    }
    const uint32_t rotated = rotate_left(a + f + x[k] + T[step], SHIFTS[round][step % 4]);
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

// Bytes of the current message already waiting in ctx->in.
size_t buffered_bytes(const vek_MD5Context* ctx) { return (ctx->bits[0] >> 3) & (BLOCK_BYTES - 1); }

void add_to_length(vek_MD5Context* ctx, unsigned int len) {
  // The bit count is 64 bits wide, kept as two words: carry into the high one.
  const uint32_t low_bits = static_cast<uint32_t>(len) << 3;
  const uint32_t before = ctx->bits[0];
  ctx->bits[0] += low_bits;
  if (ctx->bits[0] < before) ctx->bits[1]++;
  ctx->bits[1] += static_cast<uint32_t>(len) >> 29;
}

}  // namespace

extern "C" {

vek_MD5Context* vek_MD5Init(void) {
  vek_MD5Context* ctx = static_cast<vek_MD5Context*>(calloc(1, sizeof(vek_MD5Context)));
  if (ctx == nullptr) return nullptr;
  ctx->buf[0] = 0x67452301;
  ctx->buf[1] = 0xefcdab89;
  ctx->buf[2] = 0x98badcfe;
  ctx->buf[3] = 0x10325476;
  return ctx;
}

void vek_MD5Update(vek_MD5Context* ctx, const unsigned char* buf, unsigned int len) {
  if (ctx == nullptr || buf == nullptr) return;
  size_t held = buffered_bytes(ctx);
  add_to_length(ctx, len);
  size_t remaining = len;
  if (held > 0) {
    const size_t take = remaining < BLOCK_BYTES - held ? remaining : BLOCK_BYTES - held;
    memcpy(ctx->in + held, buf, take);
    buf += take;
    remaining -= take;
    if (held + take < BLOCK_BYTES) return;
    transform(ctx->buf, ctx->in);
  }
  for (; remaining >= BLOCK_BYTES; remaining -= BLOCK_BYTES, buf += BLOCK_BYTES) transform(ctx->buf, buf);
  memcpy(ctx->in, buf, remaining);
}

void vek_MD5Final(unsigned char* digest, vek_MD5Context* ctx) {
  if (ctx == nullptr) return;
  // Length in bits before padding, low word first, as the last 8 bytes.
  unsigned char length_bytes[8];
  store_le32(length_bytes, ctx->bits[0]);
  store_le32(length_bytes + 4, ctx->bits[1]);

  static const unsigned char padding[BLOCK_BYTES] = {0x80};
  const size_t held = buffered_bytes(ctx);
  const size_t pad_length = held < 56 ? 56 - held : 120 - held;
  vek_MD5Update(ctx, padding, static_cast<unsigned int>(pad_length));
  vek_MD5Update(ctx, length_bytes, sizeof(length_bytes));

  if (digest != nullptr) {
    for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, ctx->buf[i]);
  }
  memset(ctx, 0, sizeof(*ctx));
  free(ctx);
}

char* vek_MD5ToString(unsigned char* digest) {
  if (digest == nullptr) return nullptr;
  static const char hex[] = "0123456789abcdef";
  char* text = static_cast<char*>(malloc(2 * DIGEST_BYTES + 1));
  if (text == nullptr) return nullptr;
  for (size_t i = 0; i < DIGEST_BYTES; ++i) {
    text[2 * i] = hex[digest[i] >> 4];
    text[2 * i + 1] = hex[digest[i] & 0x0F];
  }
  text[2 * DIGEST_BYTES] = '\0';
  return text;
}

char* vek_MD5String(const char* input) {
  if (input == nullptr) return nullptr;
  vek_MD5Context* ctx = vek_MD5Init();
  if (ctx == nullptr) return nullptr;
  // Fed in pieces so that texts longer than an unsigned int are digested whole.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(input);
  size_t remaining = strlen(input);
  constexpr size_t PIECE = 1u << 30;
  while (remaining > 0) {
    const size_t piece = remaining < PIECE ? remaining : PIECE;
    vek_MD5Update(ctx, bytes, static_cast<unsigned int>(piece));
    bytes += piece;
    remaining -= piece;
  }
  unsigned char digest[DIGEST_BYTES];
  vek_MD5Final(digest, ctx);
  return vek_MD5ToString(digest);
}

}  // extern "C"
