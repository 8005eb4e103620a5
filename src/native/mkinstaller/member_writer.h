// Compresses a tar stream into bounded gzip members (member_format.h): cut
// every MEMBER_MAX_DATA bytes, compressed with libdeflate on worker threads,
// written to the output in order. The result is plain gzip (gzip -d and
// tar -xz read it) and the same whatever the number of threads.
#ifndef MKINSTALLER_MEMBER_WRITER_H
#define MKINSTALLER_MEMBER_WRITER_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output_file.h"

// libdeflate's levels; 6 matches gzip -6 in size at a fraction of its time.
#define MEMBER_LEVEL_MIN 1
#define MEMBER_LEVEL_MAX 12
#define MEMBER_LEVEL_DEFAULT 6

class member_writer_t {
 public:
  // threads 0: compress on the calling thread.
  member_writer_t(output_file_t& out, int level, unsigned threads);
  // One thread per processor.
  static unsigned default_threads();
  ~member_writer_t();
  member_writer_t(const member_writer_t&) = delete;
  member_writer_t& operator=(const member_writer_t&) = delete;

  // Appends tar bytes. False with *error set once compression or the output
  // failed; every later call fails too.
  bool write(const void* data, size_t size, std::string* error);
  // Compresses what is left (at least one member, even for no data), waits
  // for every member and writes them. False with *error set on failure.
  bool finish(std::string* error);

  uint64_t members() const { return members_written_; }

 private:
  struct job_t;

  bool submit(std::string* error);
  bool write_oldest(std::string* error);
  void worker();
  bool compress(job_t* job, struct libdeflate_compressor* compressor);

  output_file_t& out_;
  int level_;
  std::mutex lock_;                           // guards the jobs' states and stop_
  std::condition_variable queued_;            // a job was queued, or stop
  std::condition_variable compressed_;        // a job was compressed
  std::vector<std::unique_ptr<job_t>> jobs_;  // ring: head_ is the oldest unwritten
  size_t head_ = 0;
  size_t in_flight_ = 0;  // jobs from head_ on that are queued or compressed
  bool stop_ = false;
  std::vector<std::thread> threads_;
  struct libdeflate_compressor* inline_compressor_ = nullptr;  // threads 0
  std::string failure_;                                        // first failure; later calls repeat it
  uint64_t members_written_ = 0;
};

#endif  // MKINSTALLER_MEMBER_WRITER_H
