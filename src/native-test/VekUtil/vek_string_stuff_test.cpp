// Tests of the text helpers: splitting, joining, trimming, replacing, line
// wrapping, URL coding and the growable buffer.

#include "vek_string_stuff.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

// Takes ownership of a returned text; nullopt stands for a NULL result.
std::optional<std::string> take(char* text) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  free(text);
  return copy;
}

// Takes ownership of a token list and returns its texts.
std::vector<std::string> takeTokens(vek_list_t* tokens) {
  std::vector<std::string> out;
  if (tokens == nullptr) return out;
  for (size_t i = 0; i < tokens->size; ++i) out.emplace_back(static_cast<char*>(tokens->data[i]));
  vek_listDeleteAll(tokens);
  vek_listDestroy(tokens);
  return out;
}

// Misuse reports reach the recording logger only once logging is started.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { vek_lifecycleInit(); }
};
const auto* const library_environment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

using Strings = std::vector<std::string>;

TEST(StringStuffTest, MCatJoinsEveryArgumentUpToNull) {
  EXPECT_EQ(take(vek_stringMCat("a", "bc", "", "def", static_cast<char*>(nullptr))), "abcdef");
  EXPECT_EQ(take(vek_stringMCat("only", static_cast<char*>(nullptr))), "only");
  EXPECT_EQ(take(vek_stringMCat(nullptr, "x", static_cast<char*>(nullptr))), std::nullopt);
}

TEST(StringStuffTest, EndsWith) {
  struct Case {
    const char* str;
    const char* suffix;
    bool expected;
  } cases[] = {
      {"name.cpp", ".c", false},   {"name.cpp", ".cpp", true}, {"name.cpp", "", true}, {"", "", true},
      {".cpp", "name.cpp", false}, {nullptr, "", false},       {"x", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.str ? c.str : "(null)") + " / " + (c.suffix ? c.suffix : "(null)"));
    EXPECT_EQ(vek_stringEndsWith(c.str, c.suffix), c.expected);
  }
}

TEST(StringStuffTest, TokenizeTable) {
  const char* comma[] = {",", nullptr};
  const char* double_colon_first[] = {"::", ":", nullptr};
  const char* colon_first[] = {":", "::", nullptr};
  const char* arrow[] = {"<>", nullptr};
  const char* blank_or_tab[] = {" ", "\t", nullptr};
  const char* none[] = {nullptr};
  const char* empty_separator[] = {"", nullptr};
  struct Case {
    const char* input;
    const char** separators;
    Strings collapsed;
    Strings kept;
  } cases[] = {
      {"a,,b", comma, {"a", "b"}, {"a", "", "b"}},
      {"x::", double_colon_first, {"x"}, {"x"}},
      // Listed first wins at a shared position: ":" then ":" again.
      {"x::", colon_first, {"x"}, {"x", ""}},
      {"one<>two<>three", arrow, {"one", "two", "three"}, {"one", "two", "three"}},
      {"a,b,", comma, {"a", "b"}, {"a", "b"}},
      {",a", comma, {"a"}, {"", "a"}},
      {"a b\tc", blank_or_tab, {"a", "b", "c"}, {"a", "b", "c"}},
      {"", comma, {}, {}},
      {",,,", comma, {}, {"", "", ""}},
      {"a,b", none, {"a,b"}, {"a,b"}},
      {"a,b", nullptr, {"a,b"}, {"a,b"}},
      // An empty separator would never advance the scan; it is ignored.
      {"ab", empty_separator, {"ab"}, {"ab"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("input \"") + c.input + "\"");
    EXPECT_EQ(takeTokens(vek_stringTokenize(c.input, c.separators)), c.collapsed);
    EXPECT_EQ(takeTokens(vek_stringTokenizeEx(c.input, c.separators, false)), c.kept);
  }
  vek_list_t* from_null = vek_stringTokenize(nullptr, comma);
  ASSERT_NE(from_null, nullptr);
  EXPECT_EQ(vek_listGetSize(from_null), 0u);
  vek_listDestroy(from_null);
}

TEST(StringStuffTest, JoinStringList) {
  vek_list_t* list = vek_listCreate(1);
  EXPECT_EQ(take(vek_joinStringList(list, ", ")), "");
  char a[] = "a", b[] = "b", c[] = "c";
  vek_listAdd(list, a);
  EXPECT_EQ(take(vek_joinStringList(list, ", ")), "a");
  vek_listAdd(list, b);
  vek_listAdd(list, c);
  EXPECT_EQ(take(vek_joinStringList(list, ", ")), "a, b, c");
  EXPECT_EQ(take(vek_joinStringList(list, "")), "abc");

  vektest::RecordLogs logs;
  EXPECT_EQ(take(vek_joinStringList(nullptr, ",")), std::nullopt);
  EXPECT_EQ(take(vek_joinStringList(list, nullptr)), std::nullopt);
  auto events = logs.take();
  EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_ERROR, "NULL list passed to vek_joinStringList()"));
  EXPECT_TRUE(
      vektest::RecordingLogger::contains(events, VEKLOG_ERROR, "NULL delimiter passed to vek_joinStringList()"));
  vek_listDestroy(list);
}

TEST(StringStuffTest, StripWhitespace) {
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {{"  a b \t\n", "a b"}, {"", ""}, {" \t\r\n ", ""}, {"x", "x"}, {"\vx y\f", "x y"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("input \"") + c.input + "\"");
    EXPECT_EQ(take(vek_stripWhitespace(c.input)), c.expected);
  }
  EXPECT_EQ(take(vek_stripWhitespace(nullptr)), std::nullopt);
}

TEST(StringStuffTest, ReplaceTable) {
  struct Case {
    const char* input;
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"aaa", "aa", "b", "ba"},
      {"abc", "x", "y", "abc"},
      {"a.b.c", ".", "::", "a::b::c"},
      {"banana", "an", "", "ba"},
      {"aaaa", "a", "xyz", "xyzxyzxyzxyz"},
      {"abc", "", "z", "abc"},
      {"", "a", "b", ""},
      {"abab", "abab", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " / " + c.from + " -> " + c.to);
    EXPECT_EQ(take(vek_stringReplace(c.input, c.from, c.to)), c.expected);
  }
  EXPECT_EQ(take(vek_stringReplace(nullptr, "a", "b")), std::nullopt);
}

Strings splitLines(const std::string& text) {
  Strings lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  lines.push_back(text.substr(start));
  return lines;
}

std::string words(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += i == 0 ? "a" : " a";
  return out;
}

TEST(StringStuffTest, LineWrapFillsEveryLineToTheWidthIncludingTheIndent) {
  auto wrapped = take(vek_stringLineWrap(words(100).c_str(), "  ", 20));
  ASSERT_TRUE(wrapped.has_value());
  Strings lines = splitLines(*wrapped);
  ASSERT_EQ(lines.size(), 11u);  // 10 words, then ten lines of 9
  EXPECT_EQ(lines[0], words(10));
  EXPECT_EQ(lines[0].size(), 19u);
  for (size_t i = 1; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i));
    EXPECT_EQ(lines[i], "  " + words(9));
  }
}

TEST(StringStuffTest, LineWrapTable) {
  struct Case {
    const char* name;
    const char* input;
    const char* indent;
    int width;
    const char* expected;
  } cases[] = {
      {"long word alone", "short averyveryverylongword end", "", 10, "short\naveryveryverylongword\nend"},
      {"long first word", "averyveryverylongword x", "> ", 10, "averyveryverylongword\n> x"},
      {"fits exactly", "abcd efgh", "", 9, "abcd efgh"},
      {"one over", "abcd efghi", "", 9, "abcd\nefghi"},
      {"no trailing blanks", "a b    c   ", "", 3, "a b\nc"},
      {"blank input", " \t \n ", "", 10, ""},
      {"empty input", "", "  ", 10, ""},
      {"leading blanks kept", "  a b", "", 80, "  a b"},
      {"newline does not reset the column", "ab\ncd ef", "", 5, "ab\ncd\nef"},
      {"newline at a break is dropped", "abcd\n efgh", "", 4, "abcd\nefgh"},
      {"newline inside a line is kept", "ab\ncd", "", 80, "ab\ncd"},
      {"null indent counts as empty", "aa bb cc", nullptr, 5, "aa bb\ncc"},
      {"indent wider than width", "aa bb cc", "      ", 5, "aa bb\n      cc"},
      {"zero width copies", "a b  ", "  ", 0, "a b  "},
      {"negative width copies", "a b", "  ", -3, "a b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(take(vek_stringLineWrap(c.input, c.indent, c.width)), c.expected);
  }
  EXPECT_EQ(take(vek_stringLineWrap(nullptr, "  ", 20)), std::nullopt);
}

TEST(StringStuffTest, LineWrapNeverEndsALineInWhiteSpace) {
  const std::string text = "lorem  ipsum\tdolor sit   amet, consectetur \t adipiscing elit sed do ";
  for (int width = 1; width < 40; ++width) {
    SCOPED_TRACE("width " + std::to_string(width));
    auto wrapped = take(vek_stringLineWrap(text.c_str(), "  ", width));
    ASSERT_TRUE(wrapped.has_value());
    ASSERT_FALSE(wrapped->empty());
    EXPECT_FALSE(isspace(static_cast<unsigned char>(wrapped->back())));
    for (const auto& line : splitLines(*wrapped)) {
      ASSERT_FALSE(line.empty());
      EXPECT_FALSE(isspace(static_cast<unsigned char>(line.back()))) << "[" << line << "]";
      // Once the longest word (11) fits beside the indent, so does every line.
      if (width >= 13) {
        EXPECT_LE(line.size(), static_cast<size_t>(width)) << "[" << line << "]";
      }
    }
    // No word is lost, split or reordered.
    const char* blanks[] = {" ", "\t", "\n", nullptr};
    EXPECT_EQ(takeTokens(vek_stringTokenize(wrapped->c_str(), blanks)),
              takeTokens(vek_stringTokenize(text.c_str(), blanks)));
  }
}

TEST(StringStuffTest, URLEncodeTable) {
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {
      {"a b/c", "a%20b%2Fc"}, {"AZaz09*-._", "AZaz09*-._"},         {"", ""},
      {"+~%", "%2B%7E%25"},   {"\x80\xff\xc3\xa9", "%80%FF%C3%A9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(take(vek_stringURLEncode(c.input)), c.expected);
  }
  EXPECT_EQ(take(vek_stringURLEncode(nullptr)), std::nullopt);
}

TEST(StringStuffTest, URLEncodeEscapesAllButSixtySixBytesAndDecodesBack) {
  std::string every_byte;
  for (int byte = 1; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  auto encoded = take(vek_stringURLEncode(every_byte.c_str()));
  ASSERT_TRUE(encoded.has_value());
  const size_t kept = 66, escaped = 255 - kept;
  EXPECT_EQ(encoded->size(), kept + 3 * escaped);
  EXPECT_EQ(take(vek_stringURLDecode(encoded->c_str())), every_byte);

  // Only high bytes: the output is three times the input and fully written.
  std::string high(200, '\xe9');
  auto high_encoded = take(vek_stringURLEncode(high.c_str()));
  ASSERT_TRUE(high_encoded.has_value());
  EXPECT_EQ(high_encoded->size(), 600u);
  EXPECT_EQ(high_encoded->substr(597), "%E9");
}

TEST(StringStuffTest, URLDecodeTable) {
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {
      {"a+b%2fc", "a b/c"},
      {"%41%4a%4A", "AJJ"},
      {"%C3%A9", "\xc3\xa9"},
      {"plain", "plain"},
      {"", ""},
      // A "%" without two hexadecimal digits after it stays a literal "%".
      {"%", "%"},
      {"abc%", "abc%"},
      {"%4", "%4"},
      {"%zz", "%zz"},
      {"%4g1", "%4g1"},
      {"%%41", "%A"},
      {"%+", "% "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(take(vek_stringURLDecode(c.input)), c.expected);
  }
  EXPECT_EQ(take(vek_stringURLDecode(nullptr)), std::nullopt);
}

TEST(StringStuffTest, URLDecodeStopsAtTheTerminatorOfAnIncompleteEscape) {
  // Digits after the terminator must not complete the escape.
  const char buffer[] = {'a', '%', '\0', '4', '1', '\0'};
  EXPECT_EQ(take(vek_stringURLDecode(buffer)), "a%");
  const char one_digit[] = {'%', 'f', '\0', '0', '\0'};
  EXPECT_EQ(take(vek_stringURLDecode(one_digit)), "%f");
}

#ifndef _WIN32
TEST(StringStuffTest, StrlwrLowersInPlace) {
  char text[] = "MiXeD 123 \xC9";
  EXPECT_EQ(strlwr(text), text);
  EXPECT_STREQ(text, "mixed 123 \xC9");
  EXPECT_EQ(strlwr(nullptr), nullptr);
}
#endif

TEST(StringStuffTest, StringBufferGrowsAndStaysTerminated) {
  vek_stringbuffer_t* buffer = vek_stringBufferCreate();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(vek_stringBufferToString(buffer), nullptr);  // nothing appended: NULL, not ""

  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    vek_stringBufferAppendChar(buffer, c);
    expected += c;
    ASSERT_LT(buffer->offset, buffer->data_length);
    ASSERT_EQ(buffer->data[buffer->offset], '\0');
    ASSERT_EQ(buffer->data_length % 10, 0u);
  }
  EXPECT_EQ(buffer->offset, 1000u);
  EXPECT_LE(buffer->data_length, 1010u);  // grows 10 bytes at a time
  vek_stringBufferAppendString(buffer, "-tail");
  EXPECT_EQ(take(vek_stringBufferToString(buffer)), expected + "-tail");
  vek_stringBufferDestroy(buffer);
  vek_stringBufferDestroy(nullptr);
}

TEST(StringStuffTest, StringBufferMisuseIsWarned) {
  vektest::RecordLogs logs;
  vek_stringbuffer_t* buffer = vek_stringBufferCreate();
  vek_stringBufferAppendChar(nullptr, 'x');
  vek_stringBufferAppendString(nullptr, "x");
  vek_stringBufferAppendString(buffer, nullptr);
  EXPECT_EQ(vek_stringBufferToString(nullptr), nullptr);
  EXPECT_EQ(buffer->data, nullptr);
  auto events = logs.take();
  for (const char* text :
       {"NULL buffer passed to vek_stringBufferAppendChar()", "NULL buffer passed to vek_stringBufferAppendString()",
        "NULL data passed to vek_stringBufferAppendString()", "NULL buffer passed to vek_stringBufferToString()"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(vektest::RecordingLogger::contains(events, VEKLOG_WARN, text));
  }
  vek_stringBufferDestroy(buffer);
}

}  // namespace
