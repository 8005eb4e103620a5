// The installer's payload: the table of contents appended to its own
// executable and the reader of one entry (a run of gzip members holding a tar
// archive). The installer's driver runs these; the packaging tool, the fuzz
// targets and the tests use the same functions to read back what they wrote.
// The reader shares no state with its caller but the interrupt flag
// (interrupt_state.h): what a run wants is passed in as payload_options_t.
// Implemented in payload_toc.cpp (the table), payload_entries.cpp (the entry
// stream and the extraction of one entry) and payload_size.cpp (size pass).
#ifndef INSTALLER_PAYLOAD_H
#define INSTALLER_PAYLOAD_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>
#include <zlib.h>

#include "untar.h"
#include "vek_types.h"

// The trailer: version and table-of-contents offset, both big-endian int64.
#define TOC_TRAILER_SIZE 16
#define TOC_VERSION 1

// Compressed bytes fetched from the file per read.
#define ENTRY_INPUT_SIZE 65536

// The size pass stops reading once its count reaches the free space: a few
// bytes of gzip can claim gigabytes, and the answer is known without
// decompressing them all. The caller owns the record and lends it to the
// size pass through payload_options_t; the reader updates it.
typedef struct size_budget_t {
  vek_uint64_t available;  // free space; VEK_UINT64_UNKNOWN when there is no budget
  vek_uint64_t counted;    // bytes of the entries already counted in this pass (the caller adds them up)
  vek_uint64_t reached;    // the count when the budget stopped the pass
  bool exhausted;          // the budget stopped the pass
} size_budget_t;
extern const size_budget_t NO_SIZE_BUDGET;

// What one run of the reader is asked to do, passed to init_toc and
// entry_stream_open and carried by every table, entry and stream made from
// it. NULL where a pointer to it is taken means PAYLOAD_DEFAULTS.
typedef struct payload_options_t {
  int decode_workers;     // threads that decode bounded members: -1 for one per processor the process
                          // may use (at most MEMBER_POOL_MAX_WORKERS; none on a single processor),
                          // 0 to inflate on the reading thread, or a count
  size_budget_t* budget;  // the size pass's budget, lent by the caller and updated by the reader;
                          // NULL: none
} payload_options_t;
extern const payload_options_t PAYLOAD_DEFAULTS;  // {-1, NULL}

// An open table of contents. Offsets are signed 64-bit on every build.
typedef struct toc_entries_t {
  int fd;                     // installer file, opened read-only (binary on Windows); its position is the cursor
  int64_t min_offset;         // lowest valid entry offset: always 0
  int64_t max_offset;         // highest valid entry offset: the file's size
  int64_t toc_offset;         // where the table itself starts
  int64_t trailer_offset;     // where the trailer starts: 16 bytes before the end of the file, or before
                              // a signature's certificate table and the zero bytes that pad up to it
  bool failed;                // reading stopped at a damaged value rather than at the terminating 0
  bool owns_fd;               // close_toc closes fd (init_toc); false when the caller lent it (init_toc_fd)
  payload_options_t options;  // what init_toc was given; handed to every entry read from the table
} toc_entries_t;
typedef toc_entries_t toc_entries;

// One entry of the table.
typedef struct toc_entry_t {
  int fd;                     // the table's descriptor
  int64_t offset;             // absolute offset of the entry's first byte
  int64_t end_offset;         // first byte past its extent: the nearest greater entry offset, the table or the
                              // trailer (the file's end when the offset lies past all of them)
  payload_options_t options;  // the table's options
} toc_entry_t;
typedef toc_entry_t toc_entry;

struct member_pool_t;
struct member_slot_t;

// Reader of one entry, bounded by its extent so that it never runs on into
// the entry behind it. Every gzip member inside the extent is decoded and its
// CRC and length verified; zero bytes after the last member are skipped, as
// gzip -d does, and any other bytes there are damage. An entry without the
// gzip magic is plain data. An entry whose first member carries its length
// (member_format.h) is read member by member: a pool of worker threads
// inflates the members ahead of the reader with whole-buffer inflation.
typedef struct entry_stream_t {
  int fd;                         // installer file, read by absolute offset
  int64_t next_offset;            // next compressed byte to fetch (members: the next member to hand to the pool)
  int64_t end_offset;             // first byte past the extent
  bool gzip;                      // the extent starts with the gzip magic: zlib streams it
  bool members;                   // the extent starts with a bounded member: the pool decodes it
  bool inflating;                 // zs holds an inflate state (to be ended)
  bool in_member;                 // inside a member: its trailer has not been verified yet
  bool all_queued;                // members: every member of the extent went to the pool
  bool failed;                    // a read or data error was met; every later read fails
  payload_options_t options;      // what entry_stream_open was given
  z_stream zs;                    // inflate state in gzip mode
  struct member_pool_t* pool;     // members: owned decoder pool
  struct member_slot_t* current;  // members: the decoded member being handed out, or NULL
  unsigned char input[ENTRY_INPUT_SIZE];  // compressed bytes not yet consumed (gzip) or raw data
} entry_stream_t;

// Opens the reader over [offset, end_offset) of fd; `options` (NULL: the
// defaults) chooses the decoder's threads. False (logged) when the extent is
// inverted or the decompressor cannot start.
bool entry_stream_open(entry_stream_t* stream, int fd, int64_t offset, int64_t end_offset,
                       const payload_options_t* options);
// Up to count decoded bytes; 0 only when the extent ends on a verified member
// boundary (or at the end of plain data); -1 with errno set on a read error,
// damaged or truncated data (EIO).
ssize_t entry_stream_read(entry_stream_t* stream, void* buf, size_t count);
// Reads the rest of the extent (the tar archive's padding) so that every
// member's CRC and length are checked. True when it ended cleanly.
bool entry_stream_finish(entry_stream_t* stream);
// Stops the stream's workers and releases what it holds; the stream may be
// opened again afterwards.
void entry_stream_close(entry_stream_t* stream);

// Tells running decoders to stop, without waiting: for the end of a run that
// a bus error cut short (their streams are never closed).
void payload_cancel_decoders(void);

// Opens the table of contents of toc_file and positions the cursor at its
// first value; the table keeps a copy of `options` (NULL: the defaults) for
// its entries. False (logged, file closed) on every failure.
bool init_toc(const char* toc_file, toc_entries* toc, const payload_options_t* options);
// The same on a file the caller opened and keeps: close_toc leaves fd open,
// and a failure does not close it. `name` is for messages.
bool init_toc_fd(int fd, const char* name, toc_entries* toc, const payload_options_t* options);
// The next entry; false at the terminating 0 and on every error (logged).
bool read_entry_from_toc(toc_entries* toc, toc_entry* entry);
// Extracts one entry through ops, whose read slot must be read_func. True
// when the tar archive was applied and every gzip member of the extent
// verified; the counted bytes go through bytes_extracted when not NULL. The
// table's cursor is left where it was.
bool extract_tarball(toc_entry* entry, untar_ops* ops, vek_uint64_t* bytes_extracted);
// The size pass of one entry: how many bytes its extraction needs, in
// *bytes. An entry of bounded members is not inflated: its count is the
// figure its first member records (member_format.h), or, without one, the
// sum of its members' trailers (the tar data's length: file data, headers
// and padding); its members' headers are walked either way, and the extract
// pass verifies every member. Any other entry is counted by the tar reader
// through size_ops (the size-counting table, read slot read_func). Damage
// the walk meets fails it (logged); so does the entry's size budget once the
// count reaches it (not logged).
bool size_entry(toc_entry* entry, untar_ops* size_ops, vek_uint64_t* bytes);
// Read operation of both tables; ctx is the untar_context_t whose source is
// an entry_stream_t. -1 once an interrupt was received (EINTR) or the
// stream's size budget is reached (ENOSPC).
ssize_t read_func(void* ctx, void* buf, size_t count);
// Closes the table's descriptor when init_toc opened it.
void close_toc(toc_entries* toc);

#endif  // INSTALLER_PAYLOAD_H
