// Bounded gzip members compressed on worker threads. The jobs form a ring:
// the caller fills the job after the last one in flight, workers compress
// queued jobs in any order, and the caller writes them out from the oldest,
// so the output keeps the order of the input.
#include "member_writer.h"

#include <libdeflate.h>

#include <cstring>
#include <system_error>

#include "member_format.h"

struct member_writer_t::job_t {
  enum state_t { FILLING, QUEUED, BUSY, DONE, FAILED };
  state_t state = FILLING;         // guarded by lock_ once queued
  std::vector<unsigned char> in;   // tar bytes, at most MEMBER_MAX_DATA
  std::vector<unsigned char> out;  // the finished member
  bool first = false;              // the entry's first member: its header has the size subfield
};

unsigned member_writer_t::default_threads() {
  unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors;
}

member_writer_t::member_writer_t(output_file_t& out, int level, unsigned threads) : out_(out), level_(level) {
  size_t ring = threads == 0 ? 1 : 2 * (size_t)threads;  // one compressing and one waiting per thread
  for (size_t i = 0; i < ring; ++i) jobs_.push_back(std::make_unique<job_t>());
  if (threads == 0) {
    inline_compressor_ = libdeflate_alloc_compressor(level_);
    return;
  }
  for (unsigned i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back(&member_writer_t::worker, this);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads_.empty()) inline_compressor_ = libdeflate_alloc_compressor(level_);
}

member_writer_t::~member_writer_t() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  libdeflate_free_compressor(inline_compressor_);
}

namespace {

// The gzip header of a member; the first one of an entry also carries the
// size subfield, unrecorded until the packer has counted the entry.
size_t put_member_header(unsigned char* member, bool first) {
  const unsigned char fixed[MEMBER_FIXED_HEADER] = {
      MEMBER_ID1,
      MEMBER_ID2,
      MEMBER_CM_DEFLATE,
      MEMBER_FLG_FEXTRA,
      0,
      0,
      0,
      0,
      0,
      MEMBER_OS_UNKNOWN,
      (unsigned char)((first ? MEMBER_FIRST_HEADER_SIZE : MEMBER_HEADER_SIZE) - MEMBER_FIXED_HEADER),
      0};
  const unsigned char length_id[4] = {MEMBER_SI1, MEMBER_SI2, MEMBER_SUBFIELD_LEN, 0};
  const unsigned char size_id[4] = {MEMBER_SIZE_SI1, MEMBER_SIZE_SI2, MEMBER_SIZE_SUBFIELD_LEN, 0};
  memcpy(member, fixed, sizeof(fixed));
  memcpy(member + MEMBER_FIXED_HEADER, length_id, sizeof(length_id));
  if (!first) return MEMBER_HEADER_SIZE;
  memcpy(member + MEMBER_HEADER_SIZE, size_id, sizeof(size_id));
  member_put_le64(member + MEMBER_HEADER_SIZE + 4, MEMBER_SIZE_UNRECORDED);
  return MEMBER_FIRST_HEADER_SIZE;
}

}  // namespace

// Header, raw deflate data, CRC and length; the header announces the whole.
bool member_writer_t::compress(job_t* job, struct libdeflate_compressor* compressor) {
  if (!compressor) return false;
  size_t bound = libdeflate_deflate_compress_bound(compressor, job->in.size());
  job->out.resize(MEMBER_FIRST_HEADER_SIZE + bound + MEMBER_TRAILER_SIZE);
  unsigned char* member = job->out.data();
  size_t header = put_member_header(member, job->first);
  size_t deflated = libdeflate_deflate_compress(compressor, job->in.data(), job->in.size(), member + header, bound);
  if (deflated == 0) return false;
  size_t trailer = header + deflated;
  member_put_le32(member + trailer, libdeflate_crc32(0, job->in.data(), job->in.size()));
  member_put_le32(member + trailer + 4, (uint32_t)job->in.size());
  size_t total = trailer + MEMBER_TRAILER_SIZE;
  member_put_le32(member + MEMBER_FIXED_HEADER + 4, (uint32_t)total);
  job->out.resize(total);
  return true;
}

void member_writer_t::worker() {
  struct libdeflate_compressor* compressor = libdeflate_alloc_compressor(level_);
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    job_t* job = nullptr;
    queued_.wait(guard, [&] {
      for (size_t i = 0; i < in_flight_ && !job; ++i) {
        job_t* candidate = jobs_[(head_ + i) % jobs_.size()].get();
        if (candidate->state == job_t::QUEUED) job = candidate;
      }
      return stop_ || job != nullptr;
    });
    if (stop_) break;
    job->state = job_t::BUSY;
    guard.unlock();
    bool ok = compress(job, compressor);
    guard.lock();
    job->state = ok ? job_t::DONE : job_t::FAILED;
    compressed_.notify_all();
  }
  guard.unlock();
  libdeflate_free_compressor(compressor);
}

bool member_writer_t::write_oldest(std::string* error) {
  job_t* job = jobs_[head_].get();
  {
    std::unique_lock<std::mutex> guard(lock_);
    compressed_.wait(guard, [&] { return job->state == job_t::DONE || job->state == job_t::FAILED; });
  }
  if (job->state == job_t::FAILED) {
    failure_ = "compression failed (out of memory?)";
  } else if (!out_.write(job->out.data(), job->out.size(), &failure_)) {
    failure_ = failure_.empty() ? "cannot write the output" : failure_;
  }
  if (!failure_.empty()) {
    *error = failure_;
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  job->state = job_t::FILLING;
  job->in.clear();
  head_ = (head_ + 1) % jobs_.size();
  --in_flight_;
  ++members_written_;
  return true;
}

bool member_writer_t::submit(std::string* error) {
  job_t* job = jobs_[(head_ + in_flight_) % jobs_.size()].get();
  job->first = members_written_ + in_flight_ == 0;
  if (threads_.empty()) {
    job->state = compress(job, inline_compressor_) ? job_t::DONE : job_t::FAILED;
    ++in_flight_;
  } else {
    {
      std::lock_guard<std::mutex> guard(lock_);
      job->state = job_t::QUEUED;
      ++in_flight_;
    }
    queued_.notify_one();
  }
  return in_flight_ < jobs_.size() || write_oldest(error);
}

bool member_writer_t::write(const void* data, size_t size, std::string* error) {
  if (!failure_.empty()) {
    *error = failure_;
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    job_t* job = jobs_[(head_ + in_flight_) % jobs_.size()].get();
    size_t take = MEMBER_MAX_DATA - job->in.size() < size ? MEMBER_MAX_DATA - job->in.size() : size;
    job->in.insert(job->in.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    if (job->in.size() == MEMBER_MAX_DATA && !submit(error)) return false;
  }
  return true;
}

bool member_writer_t::finish(std::string* error) {
  if (!failure_.empty()) {
    *error = failure_;
    return false;
  }
  job_t* job = jobs_[(head_ + in_flight_) % jobs_.size()].get();
  // An entry is never empty: even no data gives one member, so that the
  // entry starts with the gzip magic.
  if ((!job->in.empty() || members_written_ + in_flight_ == 0) && !submit(error)) return false;
  while (in_flight_ > 0) {
    if (!write_oldest(error)) return false;
  }
  return true;
}
