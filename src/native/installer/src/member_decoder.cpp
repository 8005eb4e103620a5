// Decoder of bounded gzip members and its pool of worker threads. See
// member_decoder.h for the contract and member_format.h for the layout.
#include "member_decoder.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "payload_platform.h"

namespace {

// The shortest member: a 20-byte header, an empty deflate block (2 bytes)
// and the trailer.
constexpr uint32_t kSmallestMember = MEMBER_HEADER_SIZE + 2 + MEMBER_TRAILER_SIZE;

uint32_t get_le16(const unsigned char* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }

// The value of subfield (si1, si2) of `len` bytes inside an extra field of
// `xlen` bytes; NULL when the field holds no such subfield or its subfields
// do not add up.
const unsigned char* find_subfield(const unsigned char* extra, size_t xlen, char si1, char si2, size_t len) {
  size_t pos = 0;
  while (pos + 4 <= xlen) {
    size_t sub_len = get_le16(extra + pos + 2);
    if (pos + 4 + sub_len > xlen) return nullptr;
    if (extra[pos] == (unsigned char)si1 && extra[pos + 1] == (unsigned char)si2 && sub_len == len)
      return extra + pos + 4;
    pos += 4 + sub_len;
  }
  return nullptr;
}

bool find_length_subfield(const unsigned char* extra, size_t xlen, uint32_t* size) {
  const unsigned char* value = find_subfield(extra, xlen, MEMBER_SI1, MEMBER_SI2, MEMBER_SUBFIELD_LEN);
  if (value) *size = member_get_le32(value);
  return value != nullptr;
}

// Skips a NUL-terminated header field; false when it runs past `end`.
bool skip_text(const unsigned char* member, size_t end, size_t* pos) {
  const void* nul = memchr(member + *pos, 0, end - *pos);
  if (!nul) return false;
  *pos = (size_t)((const unsigned char*)nul - member) + 1;
  return true;
}

// The offset of the deflate data of a whole member, or 0 when its header is
// malformed. *why names the fault.
size_t deflate_data_offset(const unsigned char* member, size_t size, const char** why) {
  uint32_t announced = 0;
  *why = "malformed gzip member header";
  if (member_probe(member, size, &announced) != MEMBER_BOUNDED) return 0;
  if (announced != size) {
    *why = "gzip member length does not match its length subfield";
    return 0;
  }
  unsigned flags = member[3];
  size_t end = size - MEMBER_TRAILER_SIZE;
  size_t pos = MEMBER_FIXED_HEADER + get_le16(member + 10);
  if ((flags & MEMBER_FLG_FNAME) && !skip_text(member, end, &pos)) return 0;
  if ((flags & MEMBER_FLG_FCOMMENT) && !skip_text(member, end, &pos)) return 0;
  if (flags & MEMBER_FLG_FHCRC) {
    if (pos + 2 > end) return 0;
    if ((member_crc32(member, pos) & 0xffff) != get_le16(member + pos)) {
      *why = "incorrect header check";
      return 0;
    }
    pos += 2;
  }
  return pos < end ? pos : 0;
}

}  // namespace

member_probe_t member_probe(const unsigned char* bytes, size_t avail, uint32_t* size) {
  if (avail >= 1 && bytes[0] != MEMBER_ID1) return MEMBER_NOT_GZIP;
  if (avail >= 2 && bytes[1] != MEMBER_ID2) return MEMBER_NOT_GZIP;
  if (avail >= 3 && bytes[2] != MEMBER_CM_DEFLATE) return MEMBER_NOT_GZIP;
  if (avail >= 4 && (bytes[3] & MEMBER_FLG_RESERVED) != 0) return MEMBER_NOT_GZIP;
  if (avail < MEMBER_FIXED_HEADER) {
    *size = MEMBER_FIXED_HEADER;
    return MEMBER_NEED_MORE;
  }
  if ((bytes[3] & MEMBER_FLG_FEXTRA) == 0) return MEMBER_PLAIN_GZIP;
  size_t xlen = get_le16(bytes + 10);
  if (avail < MEMBER_FIXED_HEADER + xlen) {
    *size = (uint32_t)(MEMBER_FIXED_HEADER + xlen);
    return MEMBER_NEED_MORE;
  }
  uint32_t announced = 0;
  if (!find_length_subfield(bytes + MEMBER_FIXED_HEADER, xlen, &announced)) return MEMBER_PLAIN_GZIP;
  // Such a length cannot belong to a member that holds this header.
  if (announced < kSmallestMember || announced < MEMBER_FIXED_HEADER + xlen + 2 + MEMBER_TRAILER_SIZE ||
      announced > MEMBER_MAX_SIZE) {
    return MEMBER_BAD_LENGTH;
  }
  *size = announced;
  return MEMBER_BOUNDED;
}

bool member_decode(member_inflater_t* inflater, const unsigned char* member, size_t size, unsigned char* out,
                   size_t* out_len, const char** why) {
  *out_len = 0;
  size_t data = deflate_data_offset(member, size, why);
  if (data == 0) return false;
  size_t end = size - MEMBER_TRAILER_SIZE;
  size_t got = 0;
  if (!member_inflate(inflater, member + data, end - data, out, MEMBER_MAX_DATA, &got)) {
    *why = "invalid deflate data, or more than a member may hold";
    return false;
  }
  if (member_crc32(out, got) != member_get_le32(member + end)) {
    *why = "incorrect data check";
    return false;
  }
  if ((uint32_t)got != member_get_le32(member + end + 4)) {
    *why = "incorrect length check";
    return false;
  }
  *out_len = got;
  return true;
}

long member_size_subfield_offset(const unsigned char* header, size_t avail) {
  uint32_t size = 0;
  if (member_probe(header, avail, &size) != MEMBER_BOUNDED) return -1;
  size_t xlen = get_le16(header + 10);
  const unsigned char* value =
      find_subfield(header + MEMBER_FIXED_HEADER, xlen, MEMBER_SIZE_SI1, MEMBER_SIZE_SI2, MEMBER_SIZE_SUBFIELD_LEN);
  return value ? (long)(value - header) : -1;
}

bool member_recorded_size(const unsigned char* header, size_t avail, uint64_t* bytes) {
  long at = member_size_subfield_offset(header, avail);
  if (at < 0 || member_get_le64(header + at) == MEMBER_SIZE_UNRECORDED) return false;
  *bytes = member_get_le64(header + at);
  return true;
}

uint32_t member_claimed_length(const unsigned char trailer[MEMBER_TRAILER_SIZE]) {
  return member_get_le32(trailer + 4);
}

// ---- Pool ------------------------------------------------------------------

namespace {

// Raised by member_pool_cancel_all; a pool whose generation differs stops.
std::atomic<unsigned> g_generation{0};
// The pool that member_pool_cancel_all wakes; only the main thread sets it.
std::atomic<member_pool_t*> g_active_pool{nullptr};

}  // namespace

// The slots form a ring: `head` is the oldest member not yet released,
// `pending` how many follow it, filled in file order.
struct member_pool_t {
  std::mutex lock;                               // guards the slots' state, head, pending, stop
  std::condition_variable work_ready;            // a slot was queued, or stop
  std::condition_variable slot_finished;         // a worker finished a slot
  member_slot_t slots[MEMBER_POOL_MAX_SLOTS];    // the ring
  unsigned slot_count = 1;                       // slots in use: workers + 2, at most the maximum
  unsigned head = 0;                             // oldest pending slot
  unsigned pending = 0;                          // slots from head on that are queued, decoding or decoded
  bool stop = false;                             // member_pool_stop was called
  unsigned generation = 0;                       // g_generation when started
  std::thread workers[MEMBER_POOL_MAX_WORKERS];  // running workers: the first `worker_count`
  unsigned worker_count = 0;
  member_inflater_t* inline_inflater = nullptr;  // owned; decodes on the main thread when there are no workers
};

namespace {

bool cancelled(const member_pool_t* pool) {
  return pool->stop || pool->generation != g_generation.load(std::memory_order_relaxed);
}

// The oldest queued slot, or NULL. Called with the lock held.
member_slot_t* oldest_queued(member_pool_t* pool) {
  for (unsigned i = 0; i < pool->pending; ++i) {
    member_slot_t* slot = &pool->slots[(pool->head + i) % pool->slot_count];
    if (slot->state == SLOT_QUEUED) return slot;
  }
  return nullptr;
}

void decode_slot(member_inflater_t* inflater, member_slot_t* slot, bool* ok, size_t* out_len, const char** why) {
  if (!inflater) {
    *ok = false;
    *why = "out of memory for the inflater";
    return;
  }
  *ok = member_decode(inflater, slot->in, slot->size, slot->out, out_len, why);
}

void worker_main(member_pool_t* pool) {
  member_inflater_t* inflater = member_inflater_new();
  std::unique_lock<std::mutex> guard(pool->lock);
  for (;;) {
    member_slot_t* slot = nullptr;
    pool->work_ready.wait(guard, [&] { return cancelled(pool) || (slot = oldest_queued(pool)) != nullptr; });
    if (cancelled(pool)) break;
    slot->state = SLOT_DECODING;
    guard.unlock();
    bool ok = false;
    size_t out_len = 0;
    const char* why = nullptr;
    decode_slot(inflater, slot, &ok, &out_len, &why);
    guard.lock();
    slot->out_len = out_len;
    slot->why = why;
    slot->state = ok ? SLOT_DONE : SLOT_FAILED;
    pool->slot_finished.notify_all();
  }
  guard.unlock();
  member_inflater_free(inflater);
}

struct worker_start_t {
  member_pool_t* pool;  // the pool the workers serve
  unsigned workers;     // how many to start
};

// Called with every signal blocked (payload_platform.h): the workers start so.
void start_workers_blocked(void* arg) {
  auto* start = static_cast<worker_start_t*>(arg);
  member_pool_t* pool = start->pool;
  for (unsigned i = 0; i < start->workers && i < MEMBER_POOL_MAX_WORKERS; ++i) {
    try {
      pool->workers[i] = std::thread(worker_main, pool);
    } catch (const std::system_error&) {
      break;  // the system has no more threads for us: do with fewer
    }
    ++pool->worker_count;
  }
}

void start_workers(member_pool_t* pool, unsigned workers) {
  worker_start_t start = {pool, workers};
  platform_with_signals_blocked(start_workers_blocked, &start);
}

}  // namespace

member_pool_t* member_pool_start(unsigned workers) {
  auto* pool = new (std::nothrow) member_pool_t;
  if (!pool) return nullptr;
  memset(pool->slots, 0, sizeof(pool->slots));
  pool->generation = g_generation.load();
  start_workers(pool, workers);
  if (pool->worker_count == 0) {
    pool->inline_inflater = member_inflater_new();
    if (!pool->inline_inflater) {
      delete pool;
      return nullptr;
    }
  }
  unsigned slots = pool->worker_count == 0 ? 1 : pool->worker_count + 2;
  pool->slot_count = slots < MEMBER_POOL_MAX_SLOTS ? slots : MEMBER_POOL_MAX_SLOTS;
  g_active_pool.store(pool);
  return pool;
}

unsigned member_pool_workers(const member_pool_t* pool) { return pool->worker_count; }

member_slot_t* member_pool_free_slot(member_pool_t* pool, bool* out_of_memory) {
  *out_of_memory = false;
  std::lock_guard<std::mutex> guard(pool->lock);
  if (pool->pending == pool->slot_count) return nullptr;
  member_slot_t* slot = &pool->slots[(pool->head + pool->pending) % pool->slot_count];
  if (!slot->in) slot->in = (unsigned char*)malloc(MEMBER_MAX_SIZE);
  if (!slot->out) slot->out = (unsigned char*)malloc(MEMBER_MAX_DATA);
  if (!slot->in || !slot->out) {
    *out_of_memory = true;
    return nullptr;
  }
  return slot;
}

void member_pool_queue(member_pool_t* pool, member_slot_t* slot) {
  {
    std::lock_guard<std::mutex> guard(pool->lock);
    slot->state = SLOT_QUEUED;
    slot->consumed = 0;
    slot->out_len = 0;
    slot->why = nullptr;
    ++pool->pending;
  }
  pool->work_ready.notify_one();
}

bool member_pool_pending(const member_pool_t* pool) {
  std::lock_guard<std::mutex> guard(const_cast<member_pool_t*>(pool)->lock);
  return pool->pending > 0;
}

member_slot_t* member_pool_next(member_pool_t* pool) {
  std::unique_lock<std::mutex> guard(pool->lock);
  if (pool->pending == 0) return nullptr;
  member_slot_t* slot = &pool->slots[pool->head];
  if (pool->worker_count == 0 && slot->state == SLOT_QUEUED) {
    bool ok = false;
    size_t out_len = 0;
    const char* why = nullptr;
    decode_slot(pool->inline_inflater, slot, &ok, &out_len, &why);
    slot->out_len = out_len;
    slot->why = why;
    slot->state = ok ? SLOT_DONE : SLOT_FAILED;
  }
  pool->slot_finished.wait(guard, [&] {
    return slot->state == SLOT_DONE || slot->state == SLOT_FAILED || (slot->state == SLOT_QUEUED && cancelled(pool));
  });
  if (slot->state == SLOT_QUEUED) {  // no worker will take it any more
    slot->state = SLOT_FAILED;
    slot->why = "decoding was cancelled";
  }
  return slot;
}

void member_pool_release(member_pool_t* pool, member_slot_t* slot) {
  std::lock_guard<std::mutex> guard(pool->lock);
  slot->state = SLOT_FREE;
  pool->head = (pool->head + 1) % pool->slot_count;
  --pool->pending;
}

void member_pool_stop(member_pool_t* pool) {
  if (!pool) return;
  {
    std::lock_guard<std::mutex> guard(pool->lock);
    pool->stop = true;
  }
  pool->work_ready.notify_all();
  for (unsigned i = 0; i < pool->worker_count; ++i) pool->workers[i].join();
  member_pool_t* expected = pool;
  g_active_pool.compare_exchange_strong(expected, nullptr);
  for (member_slot_t& slot : pool->slots) {
    free(slot.in);
    free(slot.out);
  }
  member_inflater_free(pool->inline_inflater);
  delete pool;
}

void member_pool_cancel_all(void) {
  g_generation.fetch_add(1);
  // Woken workers see the new generation once they get the lock; if the
  // main thread left it held, they stay parked, which is as good.
  member_pool_t* pool = g_active_pool.load();
  if (pool) pool->work_ready.notify_all();
}
