// Console logger on the journal's stream: a pipe stands for it, as standard
// output and error; JOURNAL_STREAM names it, another stream, or nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "vek_lifecycle.h"
#include "vek_logging_console.h"

namespace {

enum Naming { PIPE, OTHER_INODE, MALFORMED, UNSET };

// What one log call writes into a pipe that is the standard output and
// error, with JOURNAL_STREAM set by `naming`.
std::string log_into_pipe(VEKLOG_LEVEL level, const std::string& text, Naming naming) {
  int fds[2];
  if (pipe(fds) != 0) return "(no pipe)";
  fflush(stdout);
  fflush(stderr);
  const int saved[2] = {dup(1), dup(2)};
  dup2(fds[1], 1);
  dup2(fds[1], 2);
  close(fds[1]);
  struct stat info = {};
  fstat(fds[0], &info);
  const std::string id = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  const std::string value = naming == PIPE ? id : naming == OTHER_INODE ? id + "1" : id.substr(0, id.find(':'));
  if (naming == UNSET)
    unsetenv("JOURNAL_STREAM");
  else
    setenv("JOURNAL_STREAM", value.c_str(), 1);
  veklog(VEK_HERE, level, "%s", text.c_str());
  fflush(stdout);
  dup2(saved[0], 1);
  dup2(saved[1], 2);
  close(saved[0]);
  close(saved[1]);
  unsetenv("JOURNAL_STREAM");
  std::string written;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) written.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  return written;
}

TEST(JournalLoggerTest, PrioritiesOnTheJournalsStreamOnly) {
  vek_lifecycleInit();
  vek_removeAllLoggers();
  vek_addLogger(vek_consoleLogger);
  vek_setLogLevel(VEKLOG_DEBUG2);
  const std::string stamped = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
  const std::string long_text = std::string(40, 'w') + " " + std::string(40, 'w') + " " + std::string(40, 'w');
  struct Case {
    VEKLOG_LEVEL level;
    Naming naming;
    bool wrap;
    std::string text;
    std::string written;  // a regular expression
  };
  const Case cases[] = {
      {VEKLOG_FATAL, PIPE, false, "fatal", "<3>FATAL \\[native\\] fatal\n"},
      {VEKLOG_ERROR, PIPE, false, "error", "<3>ERROR \\[native\\] error\n"},
      {VEKLOG_WARN, PIPE, false, "warn", "<4>WARN  \\[native\\] warn\n"},
      {VEKLOG_INFO, PIPE, false, "info", "<6>INFO  \\[native\\] info\n"},
      {VEKLOG_VERBOSE, PIPE, false, "verbose", "<7>VERBOSE \\[native\\] verbose\n"},
      {VEKLOG_DEBUG, PIPE, false, "debug", "<7>DEBUG \\[native\\] debug\n"},
      {VEKLOG_DEBUG2, PIPE, false, "debug2", "<7>DEBUG2 \\[native\\] debug2\n"},
      // Each line of a wrapped paragraph is an entry of its own: each needs the priority.
      {VEKLOG_WARN, PIPE, true, long_text, "<4>WARN  \\[native\\] w+\n<4>  w+\n<4>  w+\n"},
      {VEKLOG_INFO, UNSET, false, "unset", stamped + "INFO  \\[native\\] unset\n"},
      {VEKLOG_ERROR, OTHER_INODE, false, "other", stamped + "ERROR \\[native\\] other\n"},
      {VEKLOG_ERROR, MALFORMED, false, "malformed", stamped + "ERROR \\[native\\] malformed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    veklog_console_setWordWrapping(c.wrap);
    const std::string written = log_into_pipe(c.level, c.text, c.naming);
    EXPECT_TRUE(std::regex_match(written, std::regex(c.written))) << written;
  }
  vek_removeAllLoggers();
  vek_setLogLevel(VEKLOG_INFO);
  veklog_console_setWordWrapping(true);
}

}  // namespace
