// The file logger on a real disk: names and line format, sets and their
// purge, rotation, a forked child, concurrent writers, writers racing with
// close and clean-up, and entries planted at the next file's name; and the
// cached start-up log pushed into a failed-startup file.
#include "vek_logging_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vek_file.h"
#include "vek_lifecycle.h"
#include "vek_logging_cache.h"
#include "vek_logging_file_users.h"
#include "vek_test_support.h"

namespace {

namespace fs = std::filesystem;
using unique_text = std::unique_ptr<char, decltype(&free)>;

const std::regex LOG_NAME(R"(app_(\d{4}-\d\d-\d\d_\d{6})_(\d{3,})\.log)");
const std::regex LOG_LINE(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.000 [A-Z]+ *\[native\] .*)");

std::string currentFile() {
  unique_text name(veklog_file_getCurrentFile(), &free);
  return name ? name.get() : "";
}

std::vector<std::string> listNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(vektest::readFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::time_t setTime(const std::string& file_name) {
  std::smatch m;
  if (!std::regex_search(file_name, m, LOG_NAME)) return 0;
  std::tm tm = {};
  strptime(m[1].str().c_str(), "%Y-%m-%d_%H%M%S", &tm);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    vek_file_init_logging();
    vek_removeAllLoggers();
    vek_setLogLevel(VEKLOG_INFO);
    old_umask_ = umask(022);
  }
  void TearDown() override {
    veklog_file_closeLog();
    vek_removeAllLoggers();
    vek_cleanCachedLogMessages();
    umask(old_umask_);
  }
  mode_t old_umask_ = 0;
};

TEST_F(FileLoggerTest, FilesAreNamedBySetTimeAndIndexAndHoldOneUnwrappedLinePerEvent) {
  vektest::TempDir dir;
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
  std::string name = fs::path(currentFile()).filename().string();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(name, m, LOG_NAME)) << name;
  EXPECT_EQ("001", m[2].str());
  EXPECT_GE(setTime(name), before);
  EXPECT_LE(setTime(name), std::time(nullptr));

  vektest::RecordLogs logs;
  vek_addLogger(vek_fileLogger);
  std::string long_text(300, 'w');
  veklog(VEK_HERE, VEKLOG_INFO, "plain %d", 7);
  veklog_src(VEK_HERE, VEKLOG_WARN, "boot", "tagged");
  veklog(VEK_HERE, VEKLOG_VERBOSE, "below the threshold");
  veklog(VEK_HERE, VEKLOG_ERROR, "%s", long_text.c_str());
  auto events = logs.take();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(events[0].timestamp_text + " INFO    [native] plain 7\n" + events[1].timestamp_text +
                " WARN    [native] {boot} tagged\n" + events[2].timestamp_text + " ERROR   [native] " + long_text +
                "\n",
            vektest::readFile(currentFile()));

  // Created 0644 and not inherited by programs the process executes.
  struct stat st;
  ASSERT_EQ(0, stat(currentFile().c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  int flags = -1;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(fd.path(), ec) == fs::path(currentFile()))
      flags = fcntl(std::stoi(fd.path().filename().string()), F_GETFD);
  }
  ASSERT_NE(-1, flags);
  EXPECT_TRUE(flags & FD_CLOEXEC);
}

TEST_F(FileLoggerTest, TwoConfigurationsWithinOneSecondGiveSetsOneSecondApart) {
  vektest::TempDir dir;
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
  std::string first = currentFile();
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
  std::string second = currentFile();
  EXPECT_EQ(1, setTime(second) - setTime(first)) << first << " / " << second;
  EXPECT_TRUE(fs::exists(first));
}

// Only names of the log form belong to a set; everything else in the
// directory is never grouped, counted or deleted.
TEST_F(FileLoggerTest, PurgeKeepsTheNewestSetsAndNeverTouchesOtherFiles) {
  const std::vector<std::string> others = {"app.cfg",
                                           "app_settings.xml",
                                           "app_2020-01-01_000000_1.log",
                                           "app_2020-01-01_000000_001.log.bak",
                                           "app_2020-01-0X_000000_001.log",
                                           "app_20200101_000000_001.log",
                                           "apple_2020-01-01_000000_001.log"};
  struct Case {
    const char* name;
    std::vector<std::string> logs;  // old sets' files
    int num_sets;
    std::vector<std::string> kept;  // of `logs`
  };
  const Case cases[] = {
      {"five old sets, three kept in all",
       {"app_2020-01-01_000000_001.log", "app_2020-01-02_000000_001.log", "app_2020-01-03_000000_001.log",
        "app_2020-01-04_000000_001.log", "app_2020-01-04_000000_002.log", "app_2020-01-05_000000_001.log"},
       3,
       {"app_2020-01-04_000000_001.log", "app_2020-01-04_000000_002.log", "app_2020-01-05_000000_001.log"}},
      {"look-alikes do not count as sets", {"app_2020-01-05_000000_001.log"}, 2, {"app_2020-01-05_000000_001.log"}},
      {"a wide index is a log",
       {"app_2019-12-31_235959_1000.log", "app_2020-01-05_000000_001.log"},
       2,
       {"app_2020-01-05_000000_001.log"}},
      {"one set kept: every old one goes", {"app_2020-01-05_000000_001.log"}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    for (const auto& name : others) vektest::writeFile(dir.file(name), "other");
    for (const auto& name : c.logs) vektest::writeFile(dir.file(name), "old");
    ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, c.num_sets));
    std::vector<std::string> expected = others;
    expected.insert(expected.end(), c.kept.begin(), c.kept.end());
    expected.push_back(fs::path(currentFile()).filename().string());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, listNames(dir.str()));
    for (const auto& name : others) EXPECT_EQ("other", vektest::readFile(dir.file(name)));
    veklog_file_closeLog();
  }
}

// Lines are numbered; the kept files must hold an unbroken run of them that
// ends with the last one logged.
TEST_F(FileLoggerTest, RotationKeepsTheNewestFilesOfTheSetWithoutLosingLines) {
  struct Case {
    const char* name;
    vek_uint64_t max_size;
    int set_count;
    int lines;
    std::vector<int> indices;  // files left, the last one current
  };
  const Case cases[] = {
      {"1000 bytes, three older files", 1000, 3, 52, {2, 3, 4, 5}},
      {"1000 bytes, one older file", 1000, 1, 52, {4, 5}},
      {"no limit never rotates", 0, 3, 400, {1}},
  };
  vek_addLogger(vek_fileLogger);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", c.max_size, c.set_count, 3));
    // 84-byte lines: 12 fill a 1000-byte file, so 52 lines end in file 005.
    for (int i = 0; i < c.lines; ++i) veklog(VEK_HERE, VEKLOG_INFO, "line %05d %s", i, std::string(31, 'x').c_str());
    std::vector<std::string> names = listNames(dir.str());
    ASSERT_EQ(c.indices.size(), names.size());
    std::vector<int> numbers;
    for (size_t f = 0; f < names.size(); ++f) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(names[f], m, LOG_NAME));
      EXPECT_EQ(c.indices[f], std::stoi(m[2].str()));
      auto size = fs::file_size(dir.file(names[f]));
      if (f + 1 < names.size()) {
        EXPECT_GE(size, c.max_size);
      }
      if (c.max_size != 0) {
        EXPECT_LT(size, c.max_size + 84);
      }
      for (const auto& line : linesOf(dir.file(names[f])))
        numbers.push_back(std::stoi(line.substr(line.find("line ") + 5)));
    }
    EXPECT_EQ(dir.file(names.back()), currentFile());
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(c.lines - 1, numbers.back());
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i - 1] + 1, numbers[i]);
    veklog_file_closeLog();
  }
}

TEST_F(FileLoggerTest, AForkedChildReclaimsTheFileAndWritesToIt) {
  vektest::TempDir dir;
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
  vek_addLogger(vek_fileLogger);
  veklog(VEK_HERE, VEKLOG_INFO, "parent before");
  std::string file = currentFile();
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    vek_lifecycleChildAfterFork();
    veklog_file_reclaimAfterFork();
    unique_text name(veklog_file_getCurrentFile(), &free);
    veklog(VEK_HERE, VEKLOG_INFO, "child %d", static_cast<int>(getpid()));
    _exit(name && file == name.get() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  veklog(VEK_HERE, VEKLOG_INFO, "parent after");
  auto lines = linesOf(file);
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("parent before"));
  EXPECT_NE(std::string::npos, lines[1].find("child " + std::to_string(child)));
  EXPECT_NE(std::string::npos, lines[2].find("parent after"));
}

// Each line carries its thread, its number and a body long enough that a
// torn write would show. Files rotate every few lines and all are kept, so
// a line dropped while another thread rotates would show too.
TEST_F(FileLoggerTest, ConcurrentWritersNeverInterleaveWithinALineNorLoseOne) {
  constexpr int THREADS = 4;
  constexpr int LINES = 300;
  vektest::TempDir dir;
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 4096, 1000, 3));
  vek_addLogger(vek_fileLogger);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([t] {
      std::string body(400, static_cast<char>('a' + t));
      for (int i = 0; i < LINES; ++i) veklog(VEK_HERE, VEKLOG_INFO, "T%d L%d %s", t, i, body.c_str());
    });
  for (auto& th : threads) th.join();
  const std::regex line_form(R"(.{23} INFO    \[native\] T(\d) L(\d+) ([a-d])\3{399})");
  std::vector<std::set<int>> seen(THREADS);
  size_t files = 0;
  for (const auto& name : listNames(dir.str())) {
    ++files;
    for (const auto& line : linesOf(dir.file(name))) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, line_form)) << line.substr(0, 120);
      int t = std::stoi(m[1].str());
      EXPECT_EQ(static_cast<char>('a' + t), m[3].str()[0]);
      seen[t].insert(std::stoi(m[2].str()));
    }
  }
  EXPECT_GT(files, 1u);  // rotation happened under contention too
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(static_cast<size_t>(LINES), seen[t].size());
}

// Writers run while the log is closed, reconfigured and cleaned up over and
// over, and while new files take the descriptor numbers of closed logs: a
// writer that used a stale descriptor would write into those decoys, and
// one that locked a destroyed mutex would show under the sanitizers.
TEST_F(FileLoggerTest, WritersRacingWithCloseReconfigurationAndCleanupNeverWriteElsewhere) {
  vektest::TempDir dir;
  ASSERT_TRUE(veklog_file_configureLog(dir.file("logs").c_str(), "app", 4096, 2, 2));
  vek_addLogger(vek_fileLogger);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&stop, t] {
      for (int i = 0; !stop.load(); ++i) veklog(VEK_HERE, VEKLOG_INFO, "writer %d line %d", t, i);
    });
  std::vector<int> decoys;
  for (int round = 0; round < 150; ++round) {
    switch (round % 3) {
      case 0: veklog_file_closeLog(); break;
      case 1: vek_file_cleanup_at_exit(); break;
      default: break;
    }
    int fd = open(dir.file("decoy" + std::to_string(round)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_NE(-1, fd);
    decoys.push_back(fd);
    vek_file_init_logging();
    ASSERT_TRUE(veklog_file_configureLog(dir.file("logs").c_str(), "app", 4096, 2, 2));
  }
  stop = true;
  for (auto& th : writers) th.join();
  veklog_file_closeLog();
  for (int fd : decoys) close(fd);
  for (int round = 0; round < 150; ++round)
    EXPECT_EQ(0u, fs::file_size(dir.file("decoy" + std::to_string(round)))) << "decoy " << round;
  for (const auto& name : listNames(dir.file("logs")))
    for (const auto& line : linesOf(dir.file("logs/" + name))) ASSERT_TRUE(std::regex_match(line, LOG_LINE)) << line;
}

// A rotation never opens what already has the next file's name, whatever it
// is: the lines go on in the next free index and the entry stays untouched.
TEST_F(FileLoggerTest, EntriesPlantedAtTheNextFileNameAreSkippedAndLeftAlone) {
  struct Case {
    const char* name;
    std::function<bool(const std::string& at, const std::string& victim)> plant;
  };
  const Case cases[] = {
      {"a file of someone else's", [](auto& at, auto&) { return (vektest::writeFile(at, "planted"), true); }},
      {"link to a file",
       [](auto& at, auto& victim) {
         vektest::writeFile(victim, "secret");
         return symlink(victim.c_str(), at.c_str()) == 0;
       }},
      {"dangling link", [](auto& at, auto& victim) { return symlink(victim.c_str(), at.c_str()) == 0; }},
      {"FIFO without a reader", [](auto& at, auto&) { return mkfifo(at.c_str(), 0666) == 0; }},
      {"directory", [](auto& at, auto&) { return mkdir(at.c_str(), 0755) == 0; }},
  };
  vek_addLogger(vek_fileLogger);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir dir;
    vektest::TempDir elsewhere;
    ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 300, 3, 3));
    std::string first = currentFile();
    std::string stem = first.substr(0, first.size() - 7);
    std::string next = stem + "002.log";
    std::string victim = elsewhere.file("victim");
    ASSERT_TRUE(c.plant(next, victim));
    struct stat planted_before;
    ASSERT_EQ(0, lstat(next.c_str(), &planted_before));
    std::string before_victim = fs::exists(victim) ? vektest::readFile(victim) : "<none>";
    vektest::CaptureFd err(2);
    // 70-byte lines: the fifth fills file 001, the rest go to the next free index.
    for (int i = 0; i < 7; ++i) veklog(VEK_HERE, VEKLOG_INFO, "line %d of forty characters..", i);
    EXPECT_EQ("", err.stop());
    EXPECT_EQ(stem + "003.log", currentFile());
    EXPECT_EQ(5u, linesOf(first).size());
    EXPECT_EQ(2u, linesOf(stem + "003.log").size());
    struct stat planted_after;
    ASSERT_EQ(0, lstat(next.c_str(), &planted_after));
    EXPECT_EQ(planted_before.st_ino, planted_after.st_ino);
    EXPECT_EQ(planted_before.st_size, planted_after.st_size);
    EXPECT_EQ(before_victim, fs::exists(victim) ? vektest::readFile(victim) : "<none>");
    veklog_file_closeLog();
  }
}

// Runs `body` as another user (nobody) in a forked child; true when it
// answered true.
bool asNobody(const std::function<bool()>& body) {
  return vektest::inChild([&] {
           if (setgid(65534) != 0 || setuid(65534) != 0) return std::string("setuid failed");
           return std::string(body() ? "ok" : "failed");
         }) == "ok";
}

// A new directory shared as the temporary directory is: mode 1777.
struct SharedDir : vektest::TempDir {
  SharedDir() { chmod(str().c_str(), 01777); }
};

// In a directory that other users share, what they put at the log's names
// is never written into, and the caller's files are its own to read. A
// forked child reopens the log only while the name still leads to the
// caller's own file with one link.
TEST_F(FileLoggerTest, NamesTakenByAnotherUserInASharedDirectoryAreNeverWrittenInto) {
  struct Case {
    const char* name;
    // Puts something at a name of the log (`current` is open, `next` the
    // rotation's next file); returns the path whose content must not change.
    std::function<std::string(const std::string& current, const std::string& next)> plant;
    bool in_forked_child;  // a child reclaims the log and logs there
    const char* refusal;   // the child's failsafe text, or nullptr
  };
  const Case cases[] = {
      {"another user's file at the rotation's next name",
       [](auto&, auto& next) {
         return asNobody([&] { return (vektest::writeFile(next, "planted"), chmod(next.c_str(), 0666) == 0); }) ? next
                                                                                                                : "";
       },
       false, nullptr},
      {"another user's file at the log's name after a fork",
       [](auto& current, auto&) {
         unlink(current.c_str());
         return asNobody([&] { return (vektest::writeFile(current, "planted"), chmod(current.c_str(), 0666) == 0); })
                    ? current
                    : "";
       },
       true, "Stale file handle"},
      {"a second link to the log after a fork",
       [](auto& current, auto&) {
         std::string other = current + ".link";
         return link(current.c_str(), other.c_str()) == 0 ? other : "";
       },
       true, "Operation not permitted"},
  };
  vek_addLogger(vek_fileLogger);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedDir dir;
    ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 300, 3, 3));
    std::string current = currentFile();
    veklog(VEK_HERE, VEKLOG_INFO, "a line of the caller's own");
    struct stat st;
    ASSERT_EQ(0, stat(current.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);  // a shared directory: nobody else may read the lines
    std::string guarded = c.plant(current, current.substr(0, current.size() - 7) + "002.log");
    ASSERT_NE("", guarded);
    std::string before = vektest::readFile(guarded);
    std::string failsafe;
    if (c.in_forked_child) {
      failsafe = vektest::inChild([] {
        vektest::CaptureFd err(2);
        veklog_file_reclaimAfterFork();
        veklog(VEK_HERE, VEKLOG_INFO, "the child's line");
        return err.stop();
      });
    } else {
      for (int i = 0; i < 10; ++i) veklog(VEK_HERE, VEKLOG_INFO, "line %d of forty characters..", i);
    }
    EXPECT_EQ(before, vektest::readFile(guarded));
    if (c.refusal != nullptr) {
      EXPECT_NE(std::string::npos, failsafe.find("Could not open log file " + current + ": " + c.refusal)) << failsafe;
    } else {
      EXPECT_EQ("", failsafe);
    }
    veklog_file_closeLog();
  }
}

// The descriptor of `path` in this process, or -1.
int descriptorOf(const std::string& path) {
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(fd.path(), ec) == fs::path(path)) return std::stoi(fd.path().filename().string());
  }
  return -1;
}

// A daemon closes every inherited descriptor before it reclaims the log; by
// then the number may be free or another file's. Either way it is not the
// log's to close (a second close, or one of another file), and the log goes
// on in a descriptor of the daemon's own.
TEST_F(FileLoggerTest, ADaemonThatClosedItsDescriptorsReclaimsTheLogWithoutClosingAgain) {
  for (bool reused : {false, true}) {
    SCOPED_TRACE(reused ? "the number taken by another file" : "the number free");
    vektest::TempDir dir;
    ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
    vek_addLogger(vek_fileLogger);
    std::string file = currentFile();
    std::string other = dir.file("other");
    int number = descriptorOf(file);
    ASSERT_NE(-1, number);
    std::string report = vektest::inChildWriting([&](int pipe_fd) {
      vektest::CaptureFd err(2);
      for (int fd = 3; fd < 1024; ++fd)
        if (fd != pipe_fd) close(fd);
      if (reused) dup2(open(other.c_str(), O_WRONLY | O_CREAT, 0600), number);
      veklog_file_reclaimAfterFork();
      veklog(VEK_HERE, VEKLOG_INFO, "the daemon's line");
      std::string answer = reused && fcntl(number, F_GETFD) == -1 ? "closed|" : "|";
      answer += err.stop();
      (void)!write(pipe_fd, answer.data(), answer.size());
    });
    EXPECT_EQ("|", report);
    EXPECT_FALSE(fs::exists(other) && fs::file_size(other) != 0);
    auto lines = linesOf(file);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("the daemon's line"));
    veklog_file_closeLog();
  }
}

// Only the forking thread lives in a child: the parent's writers that were
// inside the logger at the fork never leave it there, and the clean-up at
// the child's exit must not wait for them.
TEST_F(FileLoggerTest, ForkedChildrenStartWithNoThreadInsideTheLoggerAndExitWithoutWaiting) {
  vektest::TempDir dir;
  ASSERT_TRUE(veklog_file_configureLog(dir.str().c_str(), "app", 0, 3, 3));
  vek_addLogger(vek_fileLogger);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&stop, t] {
      for (int i = 0; !stop.load(); ++i) veklog(VEK_HERE, VEKLOG_INFO, "writer %d line %d", t, i);
    });
  constexpr int CHILDREN = 60;
  constexpr auto WAIT_SEEN = std::chrono::milliseconds(450);  // the clean-up gives up after 500
  int inherited = 0;
  int waited = 0;
  for (int i = 0; i < CHILDREN; ++i) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      int users = vek::logfile::users_inside();
      auto start = std::chrono::steady_clock::now();
      vek_file_cleanup_at_exit();  // the logger's part of the shutdown stage
      bool slow = std::chrono::steady_clock::now() - start >= WAIT_SEEN;
      _exit((users != 0 ? 1 : 0) | (slow ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    inherited += (WEXITSTATUS(status) & 1) != 0;
    waited += (WEXITSTATUS(status) & 2) != 0;
  }
  stop = true;
  for (auto& th : writers) th.join();
  EXPECT_EQ(0, inherited);
  // A second look, generous enough for a loaded machine: each child that
  // waited would have taken half a second.
  EXPECT_LE(waited, 3);
}

class PushToFileTest : public FileLoggerTest {
 protected:
  // Caches two events, pushes, and returns the one log file made in `dir`
  // ("" when there is none).
  std::string pushInto(const std::string& install_dir, const std::string& dir) {
    vek_addLogger(vek_cachingLogger);
    veklog(VEK_HERE, VEKLOG_INFO, "first cached");
    veklog_src(VEK_HERE, VEKLOG_WARN, "boot", "second cached");
    vek_pushCachedLogMessagesToFile(install_dir.c_str());
    std::string found;
    for (const auto& name : listNames(dir))
      if (name.rfind("failed-startup_", 0) == 0) found = dir + "/" + name;
    return found;
  }
};

TEST_F(PushToFileTest, CacheGoesToTheFirstUsableLogDirectoryOldestFirstWithTheStoringLineLast) {
  struct Case {
    const char* name;
    std::vector<std::string> dirs;  // made under the root
    std::string install;            // install directory, under the root
    std::string expected;           // chosen directory, under the root; "" for the temporary one
    bool probe_file_exists;         // logs/failed-startup.log is there already
    bool probe_is_link;             // ... as a link to a file outside
  };
  const Case cases[] = {
      {"logs below the installation", {"x/inst/logs", "state/default/logs"}, "x/inst", "x/inst/logs", false, false},
      {"then the state's logs", {"x/inst", "state/default/logs"}, "x/inst", "state/default/logs", false, false},
      {"then the installation itself", {"x/inst"}, "x/inst", "x/inst", false, false},
      {"an older failed-startup.log is kept", {"x/inst/logs"}, "x/inst", "x/inst/logs", true, false},
      {"a planted link is not followed", {"x/inst/logs"}, "x/inst", "x/inst/logs", true, true},
      {"then the temporary directory", {"tmp"}, "x/missing", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vektest::TempDir root;
    for (const auto& d : c.dirs) fs::create_directories(root.file(d));
    std::string expected = root.file(c.expected);
    if (c.expected.empty()) {
      setenv("TMP", root.file("tmp").c_str(), 1);
      const char* temp = vek_getTempDir();
      if (temp == nullptr || temp != root.file("tmp")) GTEST_SKIP() << "the temporary directory was chosen earlier";
      expected = root.file("tmp");
    }
    std::string probe = root.file(c.install + "/logs/failed-startup.log");
    std::string outside = root.file("outside");
    vektest::writeFile(outside, "outside");
    if (c.probe_is_link) {
      ASSERT_EQ(0, symlink(outside.c_str(), probe.c_str()));
    } else if (c.probe_file_exists) {
      vektest::writeFile(probe, "earlier start-up");
    }

    std::string file = pushInto(root.file(c.install), expected);
    ASSERT_NE("", file);
    EXPECT_EQ(file, currentFile());
    auto lines = linesOf(file);
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" INFO    [native] first cached"));
    EXPECT_NE(std::string::npos, lines[1].find(" WARN    [native] {boot} second cached"));
    EXPECT_NE(std::string::npos,
              lines[2].find(" INFO    [native] Storing 2 cached startup log messages into a log file in " + expected));
    EXPECT_TRUE(vek_isLoggerAdded(vek_fileLogger));
    vek_removeLogger(vek_cachingLogger);
    veklog(VEK_HERE, VEKLOG_INFO, "after the push");
    EXPECT_EQ(4u, linesOf(file).size());
    EXPECT_EQ("outside", vektest::readFile(outside));
    if (c.probe_is_link) {
      EXPECT_TRUE(fs::is_symlink(probe));
    } else if (c.probe_file_exists) {
      EXPECT_EQ("earlier start-up", vektest::readFile(probe));
    } else {
      EXPECT_FALSE(fs::exists(probe));
    }
    veklog_file_closeLog();
    vek_removeAllLoggers();
  }
  unsetenv("TMP");
}

// The failed-startup log that no installation directory takes goes to the
// temporary directory, which other users share: their look-alike names are
// no sets of the caller's (neither counted, which would push its older sets
// out, nor deleted), and the file is the caller's alone to read.
TEST_F(PushToFileTest, InTheSharedTemporaryDirectoryOnlyTheCallersOwnSetsCount) {
  SharedDir tmp;
  const std::vector<std::string> own = {"failed-startup_2019-01-01_000000_001.log",
                                        "failed-startup_2019-01-02_000000_001.log"};
  std::vector<std::string> others;
  for (int day = 1; day <= 5; ++day)
    others.push_back("failed-startup_2020-01-0" + std::to_string(day) + "_000000_001.log");
  for (const auto& name : own) vektest::writeFile(tmp.file(name), "own");
  ASSERT_TRUE(asNobody([&] {
    for (const auto& name : others) vektest::writeFile(tmp.file(name), "another user's");
    return true;
  }));
  std::string report = vektest::inChild([&] {
    unsetenv("TMP");
    unsetenv("TEMP");
    setenv("TMPDIR", tmp.str().c_str(), 1);
    const char* chosen = vek_getTempDir();
    if (chosen == nullptr || tmp.str() != chosen) return std::string("chosen earlier");
    std::string file = pushInto("/nonexistent/installation", tmp.str());
    struct stat st;
    if (file.empty() || stat(file.c_str(), &st) != 0) return std::string("no log file");
    char mode[8];
    snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string(mode);
  });
  if (report == "chosen earlier") GTEST_SKIP() << "the temporary directory was chosen before the fork";
  EXPECT_EQ("600", report);
  for (const auto& name : own) EXPECT_EQ("own", vektest::readFile(tmp.file(name))) << name;
  for (const auto& name : others) EXPECT_EQ("another user's", vektest::readFile(tmp.file(name))) << name;
}

// With no file size allowed, no candidate takes a probe's byte, so the
// temporary directory cannot be determined: the cache must survive.
TEST_F(PushToFileTest, WithoutATemporaryDirectoryTheCacheIsKept) {
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    if (vek_getTempDir() != nullptr) _exit(77);
    vek_addLogger(vek_cachingLogger);
    veklog(VEK_HERE, VEKLOG_INFO, "kept one");
    veklog(VEK_HERE, VEKLOG_INFO, "kept two");
    vektest::CaptureFd err(2);
    vek_pushCachedLogMessagesToFile("/nonexistent/installation");
    if (vek_isLoggerAdded(vek_fileLogger)) _exit(2);
    vektest::RecordLogs logs;
    vek_flushCachedLogMessages();
    auto events = logs.take();
    // The failed search for a temporary directory may add its own lines.
    _exit(events.size() >= 2 && events[0].text == "kept one" && events[1].text == "kept two" ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the temporary directory was chosen before the fork";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
