// The installer being written: a descriptor that counts its bytes and
// writes whole buffers, looping on short writes and EINTR.
#ifndef MKINSTALLER_OUTPUT_FILE_H
#define MKINSTALLER_OUTPUT_FILE_H

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

class output_file_t {
 public:
  explicit output_file_t(int fd) : fd_(fd) {}

  bool write(const void* data, size_t size, std::string* error) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t done = ::write(fd_, p, size);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) {
        *error = std::string("cannot write the output: ") + std::strerror(done < 0 ? errno : EIO);
        return false;
      }
      p += done;
      size -= (size_t)done;
      offset_ += done;
    }
    return true;
  }

  int64_t offset() const { return offset_; }

 private:
  int fd_;              // open for writing, positioned at its end
  int64_t offset_ = 0;  // bytes written so far: the offset of the next byte
};

#endif  // MKINSTALLER_OUTPUT_FILE_H
