// What the parts of the payload module share (payload_toc.cpp,
// payload_entries.cpp, payload_size.cpp); not for its callers.
#ifndef INSTALLER_PAYLOAD_INTERNAL_H
#define INSTALLER_PAYLOAD_INTERNAL_H

#include <stdint.h>

#include "member_decoder.h"
#include "vek_log_source.h"
#include "payload.h"

// Every part logs under the module's name.
VEK_LOG_SOURCE(payload);
#define PAYLOAD_HERE VEK_SOURCE_HERE(payload)

// What stands at a position of an extent where a member may start.
enum member_at_t {
  MEMBER_FOUND,       // a bounded member of *size bytes, wholly inside the extent
  MEMBER_EXTENT_END,  // the extent ends here, or only zero bytes follow
  MEMBER_DAMAGED,     // anything else (logged; errno EIO)
};

// Reads the header of the member at pos through scratch (ENTRY_INPUT_SIZE
// bytes) and checks that the member ends inside the extent [pos, end).
member_at_t find_member(int fd, int64_t pos, int64_t end, unsigned char* scratch, uint32_t* size);

// How an entry's bytes begin: a bounded member (MEMBER_BOUNDED), another
// gzip stream (MEMBER_PLAIN_GZIP), or plain data (MEMBER_NOT_GZIP).
member_probe_t probe_entry(int fd, int64_t offset, int64_t end_offset);

// Whether a count of `bytes` in the current entry, added to what the pass
// counted before it, reaches the budget; marks the budget exhausted then.
// False for a NULL budget or one without a figure.
bool budget_reached(size_budget_t* budget, vek_uint64_t bytes);

#endif  // INSTALLER_PAYLOAD_INTERNAL_H
