// The signal block, with real processes: the launcher probe installs it with
// the earlier dispositions and exit routine a row names, receives real
// signals, and reports what ran; its exit status tells how it ended.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_sighandler.h"
#include "vek_test_probe.h"
#include "vek_test_support.h"

namespace {

using vektest::Probe;

// One signal sent to the probe and what must follow: a line it prints
// ("" for none) and whether it is still running half a second later.
struct Send {
  int signal_number;
  std::string response;
  bool keeps_running;
};

struct SignalCase {
  const char* name;
  std::vector<std::string> steps;  // the probe's steps; "ready" and "wait" end them unless the row says otherwise
  std::vector<Send> sends;
  int exit_code;  // expected exit status, or -1 when it is to die by `killed_by`
  int killed_by = 0;
  std::vector<std::string> absent = {};  // lines that must never appear
  bool started_with_sighup_ignored = false;
};

bool contains(const std::string& text, const std::string& fragment) { return text.find(fragment) != std::string::npos; }

class SignalBlockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vek_lifecycleInit(); }

  static void run(const SignalCase& c) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> steps = c.steps;
    if (std::find(steps.begin(), steps.end(), "wait") == steps.end()) {
      steps.push_back("ready");
      steps.push_back("wait");
    }
    Probe probe(steps, [&c] {
      if (c.started_with_sighup_ignored) signal(SIGHUP, SIG_IGN);
    });
    ASSERT_TRUE(probe.waitFor("ready")) << probe.output();
    for (const Send& send : c.sends) {
      SCOPED_TRACE("signal " + std::to_string(send.signal_number));
      probe.signal(send.signal_number);
      if (!send.response.empty()) {
        EXPECT_TRUE(probe.waitFor(send.response, 10000)) << probe.output();
      }
      if (!send.keeps_running) break;
      EXPECT_TRUE(probe.aliveAfter(500)) << probe.output();
    }
    // A row whose last signal ends the probe must see it end by that signal,
    // not by the end of its input.
    if (c.sends.empty() || c.sends.back().keeps_running) probe.closeInput();
    ASSERT_TRUE(probe.finish()) << "still running: " << probe.output();
    if (c.exit_code >= 0) {
      EXPECT_EQ(probe.exitCode(), c.exit_code) << probe.output();
      // Every normal end runs exit processing, and with it the shutdown stage.
      EXPECT_TRUE(contains(probe.output(), "shutdown ")) << probe.output();
    } else {
      EXPECT_EQ(probe.termSignal(), c.killed_by) << probe.output();
    }
    for (const std::string& line : c.absent) EXPECT_FALSE(probe.saw(line)) << probe.output();
  }
};

TEST_F(SignalBlockTest, EachSignalReachesTheRoutineOrTheEarlierDisposition) {
  const std::vector<SignalCase> cases = {
      {"SIGTERM with the default disposition before and no routine: status 1 through exit processing",
       {"block"},
       {{SIGTERM, "", false}},
       1},
      // The default disposition with SA_SIGINFO set is no handler to call:
      // calling it ended the process by SIGSEGV, without exit processing.
      {"SIG_DFL with SA_SIGINFO before and no routine: status 1 through exit processing",
       {"siginfo-default:TERM", "block"},
       {{SIGTERM, "", false}},
       1},
      {"an earlier handler receives the signal when there is no routine",
       {"handler:QUIT", "block"},
       {{SIGQUIT, "handler 03", true}, {SIGTERM, "", false}},
       1},
      {"a signal ignored before the block is dropped when there is no routine",
       {"ignore:INT", "block"},
       {{SIGINT, "", true}},
       0},
      {"a discarded SIGINT has no effect",
       {"block", "routine:1", "discard:INT"},
       {{SIGINT, "", true}},
       0,
       0,
       {"routine 2"}},
      {"clearing the discard flag gives SIGINT back to the routine",
       {"block", "routine:0", "discard:INT", "keep:INT"},
       {{SIGINT, "routine 2", true}},
       0},
      {"a routine returning 0 keeps the process and the block",
       {"block", "routine:0"},
       {{SIGTERM, "routine 15", true},
        {SIGQUIT, "routine 3", true},
        {SIGHUP, "routine 1", true},
        {SIGTERM, "routine 15", true}},
       0},
      // Every thread but the signal thread still blocks the signals once the
      // routine gave up: later ones must still reach the earlier dispositions.
      {"after a routine returning non-zero, later signals reach the earlier dispositions",
       {"handler:INT", "block", "thread", "routine:1"},
       {{SIGTERM, "routine 15", true},
        {SIGINT, "handler 02", true},
        {SIGINT, "handler 02", true},
        {SIGTERM, "", false}},
       -1,
       SIGTERM,
       {"routine 2"}},
      {"a process started with SIGHUP ignored keeps ignoring it",
       {"block", "routine:0"},
       {{SIGHUP, "", true}, {SIGTERM, "routine 15", true}},
       0,
       0,
       {"routine 1"},
       true},
  };
  for (const SignalCase& c : cases) run(c);
}

// A forked child has no signal thread: it must get an empty mask and the
// dispositions from before the block, also once a routine ended the
// handling in the parent (whose main thread still blocks the signals).
TEST_F(SignalBlockTest, ForkedChildHasAnEmptyMaskAndTheEarlierDispositions) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    int signal_first;  // sent before the fork, 0 for none
  } cases[] = {
      {"block installed", {"handler:INT", "ignore:QUIT", "block", "routine:0", "fork-report"}, 0},
      {"handling ended by the routine",
       {"handler:INT", "ignore:QUIT", "block", "routine:1", "ready", "wait", "fork-report"},
       SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> steps = c.steps;
    if (c.signal_first == 0) steps.push_back("ready");
    Probe probe(steps);
    ASSERT_TRUE(probe.waitFor("ready")) << probe.output();
    if (c.signal_first != 0) {
      probe.signal(c.signal_first);
      ASSERT_TRUE(probe.waitFor("routine " + std::to_string(c.signal_first))) << probe.output();
    }
    probe.closeInput();
    ASSERT_TRUE(probe.finish()) << probe.output();
    for (const char* line : {"child mask none", "child INT handler", "child TERM default", "child QUIT ignored",
                             "child HUP default", "child TTOU default"})
      EXPECT_TRUE(probe.saw(line)) << line << "\n" << probe.output();
  }
}

// Once a routine ended the handling, the signal thread stays to receive
// later signals; a new block must retire it, or it would take the signals
// the new routine is meant to get (and die of SIGTERM's default). A block
// installed while the routine is still giving its answer must wait for the
// ending, not find the old block installed and be lost with it.
TEST_F(SignalBlockTest, BlockInstalledAgainAfterTheRoutineEndedIt) {
  const struct {
    const char* name;
    std::vector<std::string> steps;
  } cases[] = {
      {"installed once the handling has ended",
       {"block", "routine:1", "ready", "wait", "ended", "block", "routine:0", "say:again", "sleep:5000"}},
      {"installed while the routine is answering",
       {"block", "routine:1:800", "ready", "wait", "block", "routine:0", "say:again", "sleep:5000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Probe probe(c.steps);
    ASSERT_TRUE(probe.waitFor("ready")) << probe.output();
    probe.signal(SIGTERM);
    ASSERT_TRUE(probe.waitFor("routine 15")) << probe.output();
    probe.closeInput();
    ASSERT_TRUE(probe.waitFor("again")) << probe.output();
    for (int round = 0; round < 3; ++round) {
      probe.signal(SIGTERM);
      EXPECT_TRUE(probe.aliveAfter(300)) << probe.output();
    }
    ASSERT_TRUE(probe.finish()) << probe.output();
    EXPECT_EQ(probe.exitCode(), 0) << probe.output();
    size_t routines = 0;
    for (size_t at = probe.output().find("routine 15"); at != std::string::npos;
         at = probe.output().find("routine 15", at + 1))
      ++routines;
    EXPECT_EQ(routines, 4u) << probe.output();
  }
}

// Refusals without a block and of what the block cannot handle. Installing a
// block in the test process would block signals in it, so this runs in a
// forked child that reports through a pipe.
TEST_F(SignalBlockTest, MisuseIsRefusedWithItsLogLine) {
  std::string report = vektest::inChild([] {
    vektest::ScopedLogLevel level(VEKLOG_DEBUG);
    vektest::RecordLogs logs;
    std::string report;
    auto check = [&](const char* what, bool result, VEKLOG_LEVEL log_level, const char* fragment) {
      bool logged = vektest::RecordingLogger::contains(logs.take(), log_level, fragment);
      report += std::string(what) + (result ? " accepted" : " refused") + (logged ? "" : " (not logged)") + "\n";
    };
    auto routine = [](int) { return 0; };
    check("routine without block", vek_registerSignalHandlers(routine) != 0, VEKLOG_ERROR,
          "unless vek_installSignalBlock() has already been called");
    check("discard without block", vek_setSignalDiscarded(SIGINT, true), VEKLOG_WARN,
          "Cannot set discard state for signal #2");
    vek_installSignalBlock();
    report += std::string("installed ") + (vek_isSignalBlockInstalled() ? "yes" : "no") + "\n";
    check("NULL routine", vek_registerSignalHandlers(nullptr) != 0, VEKLOG_ERROR, "Invalid or NULL exit routine");
    check("discard SIGUSR1", vek_setSignalDiscarded(SIGUSR1, true), VEKLOG_WARN,
          "Unsupported signal number 10 passed to vek_setSignalDiscarded()");
    check("routine", vek_registerSignalHandlers(routine) != 0, VEKLOG_DEBUG, "Signal handlers registered");
    return report;
  });
  EXPECT_EQ(report,
            "routine without block refused\n"
            "discard without block refused\n"
            "installed yes\n"
            "NULL routine refused\n"
            "discard SIGUSR1 refused\n"
            "routine accepted\n");
}

}  // namespace
