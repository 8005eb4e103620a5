// Shared set-up of the fuzz targets: the library is started once, as the
// installer's main does, with one logger that formats nothing to the console
// but still reads every message (so that a log call handing it a bad text
// is caught by the sanitizers) and the threshold at its lowest, so that the
// debug messages' formatting is exercised too.
#ifndef VEK_FUZZ_SUPPORT_H
#define VEK_FUZZ_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vek_lifecycle.h"
#include "vek_logging.h"

namespace vekfuzz {

inline volatile size_t g_logged_bytes = 0;  // keeps the logger's reads from being optimised away

inline void discarding_logger(vek_log_event_t* event) {
  g_logged_bytes = g_logged_bytes + strlen(event->text) + strlen(event->short_filename);
}

inline void start_library() {
  vek_lifecycleInit();
  vek_addLogger(discarding_logger);
  vek_setLogLevel(VEKLOG_DEBUG2);
}

// The input as a NUL-terminated text (cut at its first NUL byte).
inline std::string as_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
}

// The one file a target that reads files hands its input in: a private
// directory made at start-up (made by `make`), removed at exit.
class InputFile {
 public:
  // Aborts when no private directory can be made; `target` names the target
  // in the message, `leaf` the file.
  static void make(const char* target, const char* leaf) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vek-" + target + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    dir() = pattern;
    path() = pattern + "/" + leaf;
    atexit(remove);
  }

  static const std::string& name() { return path(); }

  // A fresh file each time: truncating the old one in place makes some file
  // systems flush it on close, which slows a target down tenfold. Aborts
  // when it cannot be written.
  static void write(const uint8_t* data, size_t size) {
    unlink(path().c_str());
    int fd = open(path().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += (size_t)n;
    }
    if (close(fd) != 0 || done != size) {
      perror("cannot write the input file");
      abort();
    }
  }

 private:
  static std::string& dir() {
    static std::string value;
    return value;
  }
  static std::string& path() {
    static std::string value;
    return value;
  }
  static void remove() {
    unlink(path().c_str());
    rmdir(dir().c_str());
  }
};

}  // namespace vekfuzz

#endif  // VEK_FUZZ_SUPPORT_H
