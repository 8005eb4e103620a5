// Console logger: stream choice, line format, source tag, 80-column wrapping
// on and off, switching off, and whole lines from concurrent threads.
#include "vek_logging_console.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_test_support.h"

namespace {

const char* const TIMESTAMP = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.000";

class ConsoleLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
    vek_addLogger(vek_consoleLogger);
    vek_setLogLevel(VEKLOG_DEBUG2);
    veklog_console_setEnabled(true);
    veklog_console_setWordWrapping(true);
  }
  void TearDown() override {
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
    veklog_console_setEnabled(true);
    veklog_console_setWordWrapping(true);
  }

  // What one log call writes to standard output and standard error.
  struct Output {
    std::string out;
    std::string err;
  };
  template <typename Fn>
  Output capture(Fn&& fn) {
    vektest::CaptureFd out(1);
    vektest::CaptureFd err(2);
    fn();
    Output result;
    result.err = err.stop();
    result.out = out.stop();
    return result;
  }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(ConsoleLoggerTest, ErrorsAndWorseGoToStandardErrorTheRestToStandardOutput) {
  const struct {
    VEKLOG_LEVEL level;
    bool to_stderr;
    const char* padded;
  } cases[] = {{VEKLOG_DEBUG2, false, "DEBUG2"}, {VEKLOG_DEBUG, false, "DEBUG"},   {VEKLOG_VERBOSE, false, "VERBOSE"},
               {VEKLOG_INFO, false, "INFO "},    {VEKLOG_WARN, false, "WARN "},    {VEKLOG_ERROR, true, "ERROR"},
               {VEKLOG_FATAL, true, "FATAL"},    {VEKLOG_UNKNOWN, true, "UNKNOWN"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(veklog_getLevelText(c.level));
    Output o = capture([&] { veklog(VEK_HERE, c.level, "level %d", static_cast<int>(c.level)); });
    const std::string& written = c.to_stderr ? o.err : o.out;
    EXPECT_EQ("", c.to_stderr ? o.out : o.err);
    std::regex line(std::string(TIMESTAMP) + " " + c.padded + " \\[native\\] level " +
                    std::to_string(static_cast<int>(c.level)) + "\n");
    EXPECT_TRUE(std::regex_match(written, line)) << written;
  }
}

TEST_F(ConsoleLoggerTest, SourceTagShowsInBracesBeforeTheMessage) {
  Output o = capture([] { veklog_src(VEK_HERE, VEKLOG_INFO, "abc", "hello"); });
  EXPECT_TRUE(std::regex_match(o.out, std::regex(std::string(TIMESTAMP) + " INFO  \\[native\\] \\{abc\\} hello\n")))
      << o.out;
}

TEST_F(ConsoleLoggerTest, WrappingKeepsLinesWithinEightyColumnsWithIndentedContinuations) {
  std::string words;
  while (words.size() < 200) words += "word" + std::to_string(words.size() % 10) + " ";
  Output o = capture([&] { veklog(VEK_HERE, VEKLOG_INFO, "%s", words.c_str()); });
  auto lines = lines_of(o.out);
  ASSERT_GE(lines.size(), 3u) << o.out;
  EXPECT_EQ('\n', o.out.back());
  EXPECT_NE("\n\n", o.out.substr(o.out.size() - 2));
  std::string rejoined;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_LE(lines[i].size(), 80u);
    EXPECT_NE(' ', lines[i].back());
    if (i > 0) {
      EXPECT_EQ(0u, lines[i].find("  "));
      EXPECT_NE(' ', lines[i][2]);
    }
    rejoined += (i > 0 ? " " + lines[i].substr(2) : lines[i]);
  }
  // Nothing lost: the words come back in order when the breaks are undone.
  std::string trimmed = words.substr(0, words.find_last_not_of(' ') + 1);
  EXPECT_NE(std::string::npos, rejoined.find("[native] " + trimmed)) << rejoined;
}

TEST_F(ConsoleLoggerTest, WordLongerThanTheWidthStandsWholeOnItsOwnLine) {
  std::string long_word(100, 'x');
  Output o = capture([&] { veklog(VEK_HERE, VEKLOG_INFO, "short %s tail", long_word.c_str()); });
  auto lines = lines_of(o.out);
  ASSERT_EQ(3u, lines.size()) << o.out;
  EXPECT_EQ("  " + long_word, lines[1]);
  EXPECT_EQ("  tail", lines[2]);
}

TEST_F(ConsoleLoggerTest, WithoutWrappingTheLineIsWrittenExactlyAsFormatted) {
  veklog_console_setWordWrapping(false);
  std::string words;
  while (words.size() < 200) words += "word ";  // trailing blank kept
  std::string message = "first\nsecond  " + words;
  Output o = capture([&] { veklog(VEK_HERE, VEKLOG_WARN, "%s", message.c_str()); });
  std::regex line(std::string(TIMESTAMP) + " WARN  \\[native\\] ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, line));
  EXPECT_EQ(0, m.position(0));
  EXPECT_EQ(message + "\n", o.out.substr(m.length(0)));
}

TEST_F(ConsoleLoggerTest, DisabledLoggerWritesNothingEvenForFatal) {
  veklog_console_setEnabled(false);
  Output o = capture([] {
    veklog(VEK_HERE, VEKLOG_FATAL, "silenced");
    veklog(VEK_HERE, VEKLOG_INFO, "silenced");
  });
  EXPECT_EQ("", o.out);
  EXPECT_EQ("", o.err);
  veklog_console_setEnabled(true);
  o = capture([] { veklog(VEK_HERE, VEKLOG_FATAL, "heard"); });
  EXPECT_NE(std::string::npos, o.err.find("heard"));
}

TEST_F(ConsoleLoggerTest, ExceptionWithoutJavaEnvironmentPrintsOnlyTheLine) {
  vek_log_event_t event = {VEKLOG_ERROR,
                           "f.cpp",
                           "f",
                           1,
                           "with exception",
                           0,
                           "2020-01-31 23:59:59.000",
                           nullptr,
                           nullptr,
                           reinterpret_cast<jthrowable>(&event)};
  vek_removeAllLoggers();
  Output o = capture([&] { vek_consoleLogger(&event); });
  EXPECT_EQ("2020-01-31 23:59:59.000 ERROR [native] with exception\n", o.err);
  EXPECT_EQ("", o.out);
}

TEST_F(ConsoleLoggerTest, ConcurrentEventsProduceWholeLines) {
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 150;
  veklog_console_setWordWrapping(false);
  Output o = capture([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < PER_THREAD; ++i)
          veklog(VEK_HERE, VEKLOG_INFO, "thread %d line %d %s", t, i, std::string(60, 'a' + t).c_str());
      });
    for (auto& th : threads) th.join();
  });
  auto lines = lines_of(o.out);
  ASSERT_EQ(static_cast<size_t>(THREADS * PER_THREAD), lines.size());
  std::regex whole(std::string(TIMESTAMP) + " INFO  \\[native\\] thread (\\d) line \\d+ ([a-d])\\2{59}");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    EXPECT_EQ(std::string(1, static_cast<char>('a' + std::stoi(m[1]))), m[2].str());
  }
}

}  // namespace
