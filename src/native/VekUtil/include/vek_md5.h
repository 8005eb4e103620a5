/* MD5 message digests (RFC 1321), fed incrementally. */
#ifndef VEK_MD5_H
#define VEK_MD5_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vek_MD5Context {
  uint32_t buf[4];      /* running state A, B, C, D */
  uint32_t bits[2];     /* message length in bits, low word first */
  unsigned char in[64]; /* partial input block */
} vek_MD5Context;

/* New context; NULL when out of memory. Released by vek_MD5Final. */
vek_MD5Context* vek_MD5Init(void);
void vek_MD5Update(vek_MD5Context* ctx, const unsigned char* buf, unsigned int len);
/* Writes the 16-byte digest and frees `ctx`. */
void vek_MD5Final(unsigned char* digest, vek_MD5Context* ctx);
/* 32 lower-case hex digits of the 16-byte digest; the caller frees it. */
char* vek_MD5ToString(unsigned char* digest);
/* Hex digest of the bytes of `input`; the caller frees it. */
char* vek_MD5String(const char* input);

#ifdef __cplusplus
}
#endif

#endif /* VEK_MD5_H */
