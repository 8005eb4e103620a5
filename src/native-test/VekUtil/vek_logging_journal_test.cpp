// Console logger on the journal's stream: each level's syslog priority in
// front of every line (wrapped continuation lines included) and no
// timestamp; a variable that names another stream, a malformed one or none
// leaves the lines as they always were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "vek_lifecycle.h"
#include "vek_logging_console.h"
#include "vek_test_support.h"

namespace {

const char* const TIMESTAMP = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";

class JournalLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_removeAllLoggers();
    vek_addLogger(vek_consoleLogger);
    vek_setLogLevel(VEKLOG_DEBUG2);
    veklog_console_setWordWrapping(false);
  }
  void TearDown() override {
    unsetenv("JOURNAL_STREAM");
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
    veklog_console_setWordWrapping(true);
  }

  // What one log call at `level` writes to standard error and standard
  // output (in that order), with JOURNAL_STREAM made by `journal` from the
  // device and inode of the captured standard error. With `one_stream` the
  // standard output is the same file, as a service manager sets them up.
  template <typename MakeVariable>
  std::string log_at(VEKLOG_LEVEL level, const std::string& text, MakeVariable journal, bool one_stream = true) {
    vektest::CaptureFd out(1);
    vektest::CaptureFd err(2);
    int own_out = -1;
    if (one_stream) {
      own_out = dup(1);
      dup2(2, 1);
    }
    struct stat info = {};
    fstat(2, &info);
    const std::string variable = journal(std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino));
    if (variable.empty()) unsetenv("JOURNAL_STREAM");
    else setenv("JOURNAL_STREAM", variable.c_str(), 1);
    veklog(VEK_HERE, level, "%s", text.c_str());
    if (one_stream) {
      fflush(stdout);
      dup2(own_out, 1);
      close(own_out);
    }
    std::string written = err.stop();
    return written + out.stop();
  }
};

std::string same_stream(const std::string& id) { return id; }

TEST_F(JournalLoggerTest, EachLevelCarriesItsPriorityOnTheJournalsStream) {
  struct Case {
    VEKLOG_LEVEL level;
    const char* text;
    const char* line;  // what the journal receives
  };
  const Case cases[] = {
      {VEKLOG_FATAL, "fatal", "<3>FATAL [native] fatal\n"},
      {VEKLOG_ERROR, "error", "<3>ERROR [native] error\n"},
      {VEKLOG_WARN, "warn", "<4>WARN  [native] warn\n"},
      {VEKLOG_INFO, "info", "<6>INFO  [native] info\n"},
      {VEKLOG_VERBOSE, "verbose", "<7>VERBOSE [native] verbose\n"},
      {VEKLOG_DEBUG, "debug", "<7>DEBUG [native] debug\n"},
      {VEKLOG_DEBUG2, "debug2", "<7>DEBUG2 [native] debug2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.line, log_at(c.level, c.text, same_stream));
  }
}

TEST_F(JournalLoggerTest, OnlyTheStreamThatIsTheJournalsGetsItsForm) {
  const std::string error_line = log_at(VEKLOG_ERROR, "to the journal", same_stream, false);
  EXPECT_EQ("<3>ERROR [native] to the journal\n", error_line);
  const std::string info_line = log_at(VEKLOG_INFO, "to another file", same_stream, false);
  EXPECT_TRUE(std::regex_match(info_line, std::regex(std::string(TIMESTAMP) + " INFO  \\[native\\] to another file\n")))
      << info_line;
}

TEST_F(JournalLoggerTest, LinesStayUnchangedElsewhere) {
  struct Case {
    const char* name;
    std::string (*variable)(const std::string& id);
  };
  const Case cases[] = {
      {"unset", [](const std::string&) { return std::string(); }},
      {"another inode", [](const std::string& id) { return id + "1"; }},
      {"malformed", [](const std::string& id) { return id.substr(0, id.find(':')); }},
      {"trailing text", [](const std::string& id) { return id + "x"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = log_at(VEKLOG_ERROR, "plain", c.variable);
    EXPECT_TRUE(std::regex_match(line, std::regex(std::string(TIMESTAMP) + " ERROR \\[native\\] plain\n"))) << line;
  }
}

// A wrapped paragraph is several journal entries: each needs the priority,
// or the journal files the continuation lines at its default one.
TEST_F(JournalLoggerTest, EveryWrappedLineCarriesThePriority) {
  veklog_console_setWordWrapping(true);
  const std::string text(30, 'w');
  const std::string written =
      log_at(VEKLOG_ERROR, text + " " + text + " " + text + " " + text, same_stream);
  size_t lines = 0;
  for (size_t at = 0; at < written.size(); at = written.find('\n', at) + 1) {
    EXPECT_EQ(0u, written.compare(at, 3, "<3>")) << written;
    ++lines;
  }
  EXPECT_GE(lines, 2u) << written;
}

}  // namespace
