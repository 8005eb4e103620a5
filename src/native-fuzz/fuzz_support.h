// Shared set-up of the fuzz targets: the library is started once, as the
// installer's main does, with one logger that formats nothing to the console
// but still reads every message (so that a log call handing it a bad text
// is caught by the sanitizers) and the threshold at its lowest, so that the
// debug messages' formatting is exercised too.
#ifndef VEK_FUZZ_SUPPORT_H
#define VEK_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

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

}  // namespace vekfuzz

#endif  // VEK_FUZZ_SUPPORT_H
