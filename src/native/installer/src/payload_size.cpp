// The size pass of one entry: how much space its extraction takes, without
// inflating what the packer already counted, and the size budget that stops
// the pass once the count reaches the free space.
#include <errno.h>
#include <string.h>

#include <memory>
#include <new>

#include "interrupt_state.h"
#include "member_format.h"
#include "payload.h"
#include "payload_internal.h"
#include "payload_platform.h"

const size_budget_t NO_SIZE_BUDGET = {VEK_UINT64_UNKNOWN, 0, 0, false};

bool budget_reached(size_budget_t* budget, vek_uint64_t bytes) {
  if (budget == nullptr || budget->available == VEK_UINT64_UNKNOWN) return false;
  vek_uint64_t count = budget->counted + bytes;
  if (count < budget->available) return false;
  budget->exhausted = true;
  budget->reached = count;
  return true;
}

namespace {

// Adds up the lengths that the members' trailers claim. Each is at most
// MEMBER_MAX_DATA, so a lying trailer cannot claim more than the bytes of
// its member; the extract pass checks every claim. The walk also finds a
// damaged member structure before anything is extracted; with `budgeted`
// the size budget stops it.
bool sum_member_lengths(const toc_entry* entry, bool budgeted, vek_uint64_t* bytes) {
  std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[ENTRY_INPUT_SIZE]);
  if (!scratch) {
    errno = ENOMEM;
    return false;
  }
  vek_uint64_t total = 0;
  unsigned members = 0;
  uint32_t size = 0;
  member_at_t found;
  for (int64_t pos = entry->offset;
       (found = find_member(entry->fd, pos, entry->end_offset, scratch.get(), &size)) == MEMBER_FOUND; pos += size) {
    unsigned char trailer[MEMBER_TRAILER_SIZE];
    if (platform_read_at(entry->fd, trailer, sizeof(trailer), pos + size - MEMBER_TRAILER_SIZE) !=
        (ssize_t)sizeof(trailer)) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR, "Cannot read entry data: %s", strerror(errno));
      return false;
    }
    uint32_t claimed = member_claimed_length(trailer);
    if (claimed > MEMBER_MAX_DATA) {
      veklog(PAYLOAD_HERE, VEKLOG_ERROR,
             "Compressed entry data is damaged in the gzip member at offset %" VEK_PRId64
             ": it claims %u bytes, more than a member holds",
             (long long)pos, (unsigned)claimed);
      return false;
    }
    total += claimed;
    ++members;
    if (interrupt_received() || (budgeted && budget_reached(entry->options.budget, total))) return false;
  }
  if (found == MEMBER_DAMAGED) return false;
  veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Summed the trailers of %u gzip members: %" VEK_PRId64 " bytes", members,
         (long long)total);
  *bytes = total;
  return true;
}

// The figure the packer recorded in the entry's first member, if any.
bool recorded_entry_size(const toc_entry* entry, vek_uint64_t* bytes) {
  unsigned char header[64];
  int64_t extent = entry->end_offset - entry->offset;
  size_t want = extent < (int64_t)sizeof(header) ? (size_t)extent : sizeof(header);
  uint64_t recorded = 0;
  if (platform_read_at(entry->fd, header, want, entry->offset) != (ssize_t)want ||
      !member_recorded_size(header, want, &recorded))
    return false;
  *bytes = recorded;
  return true;
}

}  // namespace

// The trailers count headers and padding but a directory as its 512-byte
// header, where the disk takes a block: the figure the packer counted with
// the size operations is taken when the entry carries it.
bool size_entry(toc_entry* entry, untar_ops* size_ops, vek_uint64_t* bytes) {
  if (!entry || probe_entry(entry->fd, entry->offset, entry->end_offset) != MEMBER_BOUNDED)
    return extract_tarball(entry, size_ops, bytes);
  vek_uint64_t recorded = 0;
  bool has_record = recorded_entry_size(entry, &recorded);
  if (has_record) {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Entry at offset %" VEK_PRId64 " records %" VEK_PRId64 " bytes",
           (long long)entry->offset, (long long)recorded);
    if (budget_reached(entry->options.budget, recorded)) return false;
  } else {
    veklog(PAYLOAD_HERE, VEKLOG_DEBUG, "Counting entry at offset %" VEK_PRId64 " from its gzip trailers",
           (long long)entry->offset);
  }
  vek_uint64_t total = 0;
  if (!sum_member_lengths(entry, !has_record, &total)) {
    log_interrupt_once();
    return false;
  }
  if (bytes) *bytes = has_record ? recorded : total;
  return true;
}
