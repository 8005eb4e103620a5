// Text helpers shared by the whole library. Every returned text is a new
// malloc allocation owned by the caller; nothing here throws.

#include "vek_string_stuff.h"

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "vek_logging.h"

namespace {

constexpr const char HEX_DIGITS[] = "0123456789ABCDEF";
// Bytes added to a string buffer's data at each growth.
constexpr size_t STRING_BUFFER_STEP = 10;

// Bytes that URL encoding leaves as they are: A-Z a-z 0-9 * - . _
constexpr std::array<bool, 256> make_uri_characters() {
  std::array<bool, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (unsigned char c : {'*', '-', '.', '_'}) table[c] = true;
  return table;
}
constexpr std::array<bool, 256> URI_CHARACTERS = make_uri_characters();

// New zero-terminated copy of `length` bytes at `text`, or NULL.
char* copy_text(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* copy_text(const std::string& text) { return copy_text(text.data(), text.size()); }

// Value of one hexadecimal digit of either case, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_word_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Earliest occurrence of any separator at or after `from`; at a shared
// position the separator listed first wins. Empty separators never match
// (they would never advance the scan).
const char* find_separator(const char* from, const char** separators, size_t* found_length) {
  const char* earliest = nullptr;
  for (const char** sep = separators; *sep != nullptr; ++sep) {
    if (**sep == '\0') continue;
    const char* hit = strstr(from, *sep);
    if (hit != nullptr && (earliest == nullptr || hit < earliest)) {
      earliest = hit;
      *found_length = strlen(*sep);
    }
  }
  return earliest;
}

bool add_token(vek_list_t* tokens, const char* start, size_t length) {
  char* token = copy_text(start, length);
  if (token == nullptr) return false;
  if (!vek_listAdd(tokens, token)) {
    free(token);
    return false;
  }
  return true;
}

// Appends text[start, end) less its trailing white space as one line of a
// wrapped result; continuation lines are led by a newline and the indent.
void append_wrapped_line(std::string& result, const char* text, size_t start, size_t end, const char* indent) {
  while (end > start && is_space(text[end - 1])) --end;
  if (end == start) return;
  if (!result.empty()) result.append("\n").append(indent);
  result.append(text + start, end - start);
}

std::string line_wrap(const char* str, const char* indent, int max_width) {
  const size_t length = strlen(str);
  const long later_width = static_cast<long>(max_width) - static_cast<long>(strlen(indent));
  long width = max_width;
  std::string result;
  size_t line_start = 0;
  bool line_has_word = false;
  size_t pos = 0;
  while (pos < length) {
    while (pos < length && is_word_separator(str[pos])) ++pos;
    if (pos == length) break;
    size_t word_end = pos;
    while (word_end < length && !is_word_separator(str[word_end])) ++word_end;
    if (line_has_word && static_cast<long>(word_end - line_start) > width) {
      append_wrapped_line(result, str, line_start, pos, indent);
      width = later_width;
      line_start = pos;
      while (line_start < word_end && is_space(str[line_start])) ++line_start;
    }
    line_has_word = true;
    pos = word_end;
  }
  append_wrapped_line(result, str, line_start, length, indent);
  return result;
}

}  // namespace

extern "C" {

char* vek_stringMCat(const char* start, ...) {
  if (start == nullptr) return nullptr;
  va_list args;
  va_start(args, start);
  size_t total = strlen(start);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*))
    total += strlen(part);
  va_end(args);

  char* result = static_cast<char*>(malloc(total + 1));
  if (result == nullptr) return nullptr;
  size_t offset = strlen(start);
  memcpy(result, start, offset);
  va_start(args, start);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    size_t part_length = strlen(part);
    memcpy(result + offset, part, part_length);
    offset += part_length;
  }
  va_end(args);
  result[offset] = '\0';
  return result;
}

bool vek_stringEndsWith(const char* str, const char* suffix) {
  if (str == nullptr || suffix == nullptr) return false;
  size_t str_length = strlen(str);
  size_t suffix_length = strlen(suffix);
  return str_length >= suffix_length && memcmp(str + str_length - suffix_length, suffix, suffix_length) == 0;
}

vek_list_t* vek_stringTokenizeEx(const char* input, const char** separators, bool collapse) {
  vek_list_t* tokens = vek_listCreate(1);
  if (tokens == nullptr || input == nullptr) return tokens;
  bool ok = true;
  if (separators == nullptr || separators[0] == nullptr) {
    ok = add_token(tokens, input, strlen(input));
  } else {
    const char* pos = input;
    while (ok && *pos != '\0') {
      size_t sep_length = 0;
      const char* hit = find_separator(pos, separators, &sep_length);
      if (hit == nullptr) {
        ok = add_token(tokens, pos, strlen(pos));
        break;
      }
      if (hit != pos || !collapse) ok = add_token(tokens, pos, static_cast<size_t>(hit - pos));
      pos = hit + sep_length;
    }
  }
  if (!ok) {
    // A partial split would silently lose text: give nothing instead.
    vek_listDeleteAll(tokens);
    vek_listDestroy(tokens);
    return nullptr;
  }
  return tokens;
}

vek_list_t* vek_stringTokenize(const char* input, const char** separators) {
  return vek_stringTokenizeEx(input, separators, true);
}

char* vek_joinStringList(vek_list_t* elements, const char* delim) {
  if (elements == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL list passed to vek_joinStringList()");
    return nullptr;
  }
  if (delim == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL delimiter passed to vek_joinStringList()");
    return nullptr;
  }
  try {
    std::string joined;
    for (size_t i = 0; i < elements->size; ++i) {
      if (i > 0) joined += delim;
      const char* element = static_cast<const char*>(elements->data[i]);
      if (element != nullptr) joined += element;
    }
    return copy_text(joined);
  } catch (...) {
    return nullptr;
  }
}

char* vek_stripWhitespace(const char* input) {
  if (input == nullptr) return nullptr;
  const char* start = input;
  while (is_space(*start)) ++start;
  const char* end = start + strlen(start);
  while (end > start && is_space(end[-1])) --end;
  return copy_text(start, static_cast<size_t>(end - start));
}

char* vek_stringReplace(const char* input, const char* from, const char* to) {
  if (input == nullptr || from == nullptr || to == nullptr) return nullptr;
  const size_t from_length = strlen(from);
  if (from_length == 0) return copy_text(input, strlen(input));
  size_t count = 0;
  for (const char* hit = strstr(input, from); hit != nullptr; hit = strstr(hit + from_length, from)) ++count;
  const size_t to_length = strlen(to);
  const size_t kept = strlen(input) - count * from_length;
  if (count > 0 && to_length > (SIZE_MAX - kept - 1) / count) return nullptr;

  char* result = static_cast<char*>(malloc(kept + count * to_length + 1));
  if (result == nullptr) return nullptr;
  char* out = result;
  const char* pos = input;
  for (const char* hit = strstr(pos, from); hit != nullptr; hit = strstr(pos, from)) {
    memcpy(out, pos, static_cast<size_t>(hit - pos));
    out += hit - pos;
    memcpy(out, to, to_length);
    out += to_length;
    pos = hit + from_length;
  }
  strcpy(out, pos);
  return result;
}

char* vek_stringLineWrap(const char* str, const char* indent_text, int max_width) {
  if (str == nullptr) return nullptr;
  if (max_width <= 0) return copy_text(str, strlen(str));
  try {
    return copy_text(line_wrap(str, indent_text == nullptr ? "" : indent_text, max_width));
  } catch (...) {
    return nullptr;
  }
}

char* vek_stringURLEncode(const char* input) {
  if (input == nullptr) return nullptr;
  const size_t length = strlen(input);
  size_t escaped = 0;
  for (size_t i = 0; i < length; ++i)
    if (!URI_CHARACTERS[static_cast<unsigned char>(input[i])]) ++escaped;
  char* result = static_cast<char*>(malloc(length + 2 * escaped + 1));
  if (result == nullptr) return nullptr;
  char* out = result;
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(input[i]);
    if (URI_CHARACTERS[byte]) {
      *out++ = static_cast<char>(byte);
    } else {
      *out++ = '%';
      *out++ = HEX_DIGITS[byte >> 4];
      *out++ = HEX_DIGITS[byte & 0x0F];
    }
  }
  *out = '\0';
  return result;
}

// A "%" that is not followed by two hexadecimal digits (including one at the
// very end of the input) is kept as a literal "%"; the characters after it are
// decoded as usual. The two digits are only read when both exist.
char* vek_stringURLDecode(const char* input) {
  if (input == nullptr) return nullptr;
  const size_t length = strlen(input);
  char* result = static_cast<char*>(calloc(length + 1, 1));
  if (result == nullptr) return nullptr;
  char* out = result;
  for (size_t i = 0; i < length; ++i) {
    char c = input[i];
    if (c == '%' && i + 2 < length && hex_value(input[i + 1]) >= 0 && hex_value(input[i + 2]) >= 0) {
      *out++ = static_cast<char>(hex_value(input[i + 1]) * 16 + hex_value(input[i + 2]));
      i += 2;
    } else {
      *out++ = c == '+' ? ' ' : c;
    }
  }
  return result;
}

#ifndef _WIN32
char* strlwr(char* s) {
  if (s == nullptr) return s;
  for (char* p = s; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  return s;
}
#endif

vek_stringbuffer_t* vek_stringBufferCreate(void) {
  return static_cast<vek_stringbuffer_t*>(calloc(1, sizeof(vek_stringbuffer_t)));
}

// When the data cannot grow the character is dropped; the text held so far
// stays intact and terminated.
void vek_stringBufferAppendChar(vek_stringbuffer_t* buffer, char c) {
  if (buffer == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "NULL buffer passed to vek_stringBufferAppendChar()");
    return;
  }
  if (buffer->data == nullptr) {
    buffer->data = static_cast<char*>(calloc(STRING_BUFFER_STEP, 1));
    if (buffer->data == nullptr) return;
    buffer->data_length = STRING_BUFFER_STEP;
    buffer->offset = 0;
  } else if (buffer->offset + 2 >= buffer->data_length) {
    size_t grown_length = buffer->data_length + STRING_BUFFER_STEP;
    char* grown = static_cast<char*>(realloc(buffer->data, grown_length));
    if (grown == nullptr) return;
    memset(grown + buffer->data_length, 0, STRING_BUFFER_STEP);
    buffer->data = grown;
    buffer->data_length = grown_length;
  }
  buffer->data[buffer->offset++] = c;
}

void vek_stringBufferAppendString(vek_stringbuffer_t* buffer, const char* to_append) {
  if (buffer == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "NULL buffer passed to vek_stringBufferAppendString()");
    return;
  }
  if (to_append == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "NULL data passed to vek_stringBufferAppendString()");
    return;
  }
  for (const char* p = to_append; *p != '\0'; ++p) vek_stringBufferAppendChar(buffer, *p);
}

char* vek_stringBufferToString(vek_stringbuffer_t* buffer) {
  if (buffer == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "NULL buffer passed to vek_stringBufferToString()");
    return nullptr;
  }
  if (buffer->data == nullptr) return nullptr;
  return copy_text(buffer->data, buffer->offset);
}

void vek_stringBufferDestroy(vek_stringbuffer_t* buffer) {
  if (buffer == nullptr) return;
  free(buffer->data);
  free(buffer);
}

// Each UTF-16 code unit becomes one wide character (surrogates are not
// combined), and the wide text is converted in the current locale. On
// Windows wchar_t is itself a UTF-16 unit, so the widening is a copy.
char* vek_convertJavaStringToNative(JNIEnv* env, jstring js) {
  if (env == nullptr || js == nullptr) return nullptr;
  const jchar* chars = env->GetStringChars(js, nullptr);
  if (chars == nullptr) return nullptr;
  const jsize length = env->GetStringLength(js);
  wchar_t* wide = static_cast<wchar_t*>(calloc(static_cast<size_t>(length) + 1, sizeof(wchar_t)));
  if (wide != nullptr) {
    for (jsize i = 0; i < length; ++i) wide[i] = static_cast<wchar_t>(chars[i]);
  }
  env->ReleaseStringChars(js, chars);
  if (wide == nullptr) return nullptr;

  char* result = nullptr;
  size_t needed = wcstombs(nullptr, wide, 0);
  if (needed == static_cast<size_t>(-1)) {
    result = copy_text("", 0);
  } else {
    result = static_cast<char*>(calloc(needed + 1, 1));
    if (result != nullptr) wcstombs(result, wide, needed + 1);
  }
  free(wide);
  return result;
}

}  // extern "C"
