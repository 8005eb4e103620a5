// Escaping of archive names for messages; see printable_name.h.
#include "printable_name.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at s (1 for ASCII), or 0 when the bytes
// there are not one: overlong forms, surrogates and values past U+10FFFF
// included.
size_t utf8_sequence_length(const unsigned char* s) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  auto cont = [](unsigned char b) { return (b & 0xc0) == 0x80; };
  if (c >= 0xc2 && c <= 0xdf) return cont(s[1]) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    bool second_ok = c == 0xe0 ? s[1] >= 0xa0 : c == 0xed ? s[1] < 0xa0 : true;
    return cont(s[1]) && second_ok && cont(s[2]) ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    bool second_ok = c == 0xf0 ? s[1] >= 0x90 : c == 0xf4 ? s[1] < 0x90 : true;
    return cont(s[1]) && second_ok && cont(s[2]) && cont(s[3]) ? 4 : 0;
  }
  return 0;
}

// Control characters: C0, DEL, and C1 (U+0080 to U+009F, encoded C2 80 to C2 9F).
bool is_control(const unsigned char* s, size_t length) {
  if (length == 1) return s[0] < 0x20 || s[0] == 0x7f;
  return length == 2 && s[0] == 0xc2 && s[1] < 0xa0;
}

void append_escaped(std::string* out, const unsigned char* s, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    char escape[5];
    snprintf(escape, sizeof(escape), "\\x%02x", s[i]);
    out->append(escape);
  }
}

}  // namespace

std::string printable_name(const char* name) {
  std::string out;
  if (name == nullptr) return out;
  // The terminating NUL stops every sequence check: a continuation byte is never 0.
  for (auto* s = reinterpret_cast<const unsigned char*>(name); *s != 0;) {
    size_t length = utf8_sequence_length(s);
    if (length == 0) {
      append_escaped(&out, s, 1);
      ++s;
      continue;
    }
    if (is_control(s, length)) {
      append_escaped(&out, s, length);
    } else {
      out.append(reinterpret_cast<const char*>(s), length);
    }
    s += length;
  }
  return out;
}

std::string printable_name(const std::string& name) { return printable_name(name.c_str()); }
