// Decoder of bounded gzip members (member_format.h): the header test that
// tells such a member from any other bytes, the check and inflation of one
// whole member, and a small pool of worker threads that decodes the members
// of one entry ahead of the tar reader and hands them back in file order.
//
// Threads: the main thread reads the installer file, fills the slots and
// consumes them; workers only inflate and verify memory that the main thread
// gave them, and never log (the main thread logs their verdict).
#ifndef INSTALLER_MEMBER_DECODER_H
#define INSTALLER_MEMBER_DECODER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "member_format.h"
#include "member_inflate.h"

// What the bytes where a member should start are.
typedef enum member_probe_t {
  MEMBER_BOUNDED = 0,  // a gzip header with the length subfield; *size is set
  MEMBER_PLAIN_GZIP,   // a gzip header without it (another tool's member)
  MEMBER_NOT_GZIP,     // no gzip magic, or an unknown method or flag
  MEMBER_BAD_LENGTH,   // the length subfield is there, but no member of this header can be that long
  MEMBER_NEED_MORE,    // the extra field runs past the bytes given; *size is the count needed
} member_probe_t;

// Looks at the first `avail` bytes of a member. *size receives the member's
// length for MEMBER_BOUNDED and the number of bytes needed for
// MEMBER_NEED_MORE. A length below the smallest possible member, or above
// MEMBER_MAX_SIZE, is MEMBER_BAD_LENGTH: such a member cannot be ours.
member_probe_t member_probe(const unsigned char* bytes, size_t avail, uint32_t* size);

// Checks and inflates one whole member (`size` bytes, as member_probe
// announced) into out, which holds MEMBER_MAX_DATA bytes. True with
// *out_len set when the header, the deflate data, the CRC and the length all
// hold; otherwise false with *why set to a static text naming the fault.
bool member_decode(member_inflater_t* inflater, const unsigned char* member, size_t size, unsigned char* out,
                   size_t* out_len, const char** why);

// Where the size subfield's 8-byte value lies in a bounded member's header
// (the first `avail` bytes of the member), or -1 when the header holds none.
long member_size_subfield_offset(const unsigned char* header, size_t avail);
// The bytes an entry takes as the packer counted them, from its first
// member's header: false when the header records none (an older packer, or
// the value MEMBER_SIZE_UNRECORDED). Unverified: the extract pass does not
// check it.
bool member_recorded_size(const unsigned char* header, size_t avail, uint64_t* bytes);

// Reads the ISIZE of a member from its last bytes: the data length the
// member claims (unverified until it is decoded).
uint32_t member_claimed_length(const unsigned char trailer[MEMBER_TRAILER_SIZE]);

// One member on its way through the pool.
typedef enum member_slot_state_t {
  SLOT_FREE = 0,  // owned by the main thread, empty
  SLOT_QUEUED,    // filled by the main thread, waiting for a worker
  SLOT_DECODING,  // a worker inflates it
  SLOT_DONE,      // decoded and verified: out[0, out_len) is the data
  SLOT_FAILED,    // damaged: why says how
} member_slot_state_t;

typedef struct member_slot_t {
  member_slot_state_t state;  // guarded by the pool's lock once the pool runs
  int64_t offset;             // file offset of the member (for messages)
  uint32_t size;              // member bytes in `in`
  size_t out_len;             // decoded bytes in `out` (SLOT_DONE)
  size_t consumed;            // bytes of `out` the reader has taken (main thread)
  const char* why;            // static text of the fault (SLOT_FAILED)
  unsigned char* in;          // owned, MEMBER_MAX_SIZE bytes, allocated on first use
  unsigned char* out;         // owned, MEMBER_MAX_DATA bytes, allocated on first use
} member_slot_t;

// At most this many members are in memory at once: with two workers, two
// are inflated while the reader takes the third and the fourth waits.
#define MEMBER_POOL_MAX_SLOTS 4
#define MEMBER_POOL_MAX_WORKERS 3

typedef struct member_pool_t member_pool_t;

// Starts a pool with `workers` threads (0: the main thread inflates each
// member when it is needed). Fewer threads are started when the system
// refuses them. NULL when memory is short.
member_pool_t* member_pool_start(unsigned workers);
// The workers actually running.
unsigned member_pool_workers(const member_pool_t* pool);
// The next slot to fill, in file order; NULL while every slot is busy. Its
// buffers are allocated here; NULL with *out_of_memory set when they cannot be.
member_slot_t* member_pool_free_slot(member_pool_t* pool, bool* out_of_memory);
// Hands a filled slot to the workers.
void member_pool_queue(member_pool_t* pool, member_slot_t* slot);
// True when a queued or decoded member waits to be taken.
bool member_pool_pending(const member_pool_t* pool);
// The oldest queued slot, once it is SLOT_DONE or SLOT_FAILED. NULL when
// nothing is queued.
member_slot_t* member_pool_next(member_pool_t* pool);
// Gives a slot returned by member_pool_next back for filling.
void member_pool_release(member_pool_t* pool, member_slot_t* slot);
// Stops the workers (each finishes at most the member it holds), waits for
// them and frees everything. NULL is ignored.
void member_pool_stop(member_pool_t* pool);

// Tells every running pool's workers to stop after the member they hold,
// without waiting and without taking a lock: for the end of a run that was
// cut short by a jump out of the reader (bus error).
void member_pool_cancel_all(void);

#endif  // INSTALLER_MEMBER_DECODER_H
