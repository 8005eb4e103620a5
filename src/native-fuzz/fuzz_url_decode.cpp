// URL decoding, and encoding followed by decoding. The input is taken as a
// text up to its first NUL. Checks: the decoded text is never longer than
// the input, and decoding the encoded form gives the input back exactly.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "vek_string_stuff.h"

namespace {
using owned_text = std::unique_ptr<char, decltype(&free)>;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vekfuzz::start_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A separate allocation of exactly the text's size, so that reading past
  // its terminator is caught.
  std::string text = vekfuzz::as_text(data, size);
  owned_text input(strdup(text.c_str()), &free);
  if (!input) return 0;

  owned_text decoded(vek_stringURLDecode(input.get()), &free);
  if (!decoded) abort();
  if (strlen(decoded.get()) > text.size()) abort();

  owned_text encoded(vek_stringURLEncode(input.get()), &free);
  if (!encoded) abort();
  owned_text round_trip(vek_stringURLDecode(encoded.get()), &free);
  if (!round_trip || text != round_trip.get()) abort();
  return 0;
}
