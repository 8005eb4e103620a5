// The message server and client over local sockets, with the server in this
// process: starting and stopping, requests and replies, hostile peers, a
// vanished socket file, a server that cannot accept, a client of another
// user, shutdown, and a thousand clients from several processes at once.
// Raw peers speak the wire format byte by byte (type, response_expected,
// length as 32-bit host-order integers, then the payload).
#include "vek_message.h"

#include <dirent.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_test_support.h"

// A child forked from this threaded process ends holding memory of threads
// that did not come along: no leak of the child's, so the leak check stays
// off there (a hook the AddressSanitizer build reads; unused elsewhere).
static bool in_forked_child = false;
extern "C" __attribute__((used, visibility("default"))) int __lsan_is_turned_off() { return in_forked_child ? 1 : 0; }

namespace {

using namespace std::chrono_literals;
using vektest::RecordingLogger;

constexpr int ECHO_TYPE = 7;       // answered OK with "echo:" + text
constexpr int SLOW_TYPE = 8;       // answered after a pause with a 1 MiB reply
constexpr int UNHANDLED_TYPE = 9;  // answered by nobody
const std::string READ_ERROR_TEXT = "Could not read entire message from communications channel";
const std::string NOT_HANDLED_TEXT = "No handler processed the incoming message";

// ---- What the server's processor saw ----------------------------------------

std::atomic<int> dispatched{0};
std::atomic<int> inside{0};       // processors running right now
std::atomic<int> most_inside{0};  // the most that ever ran at once
std::mutex seen_mutex;
std::map<std::string, int> seen;  // echo texts and how often each came

vek_message_t* text_message(int type, const std::string& text, int expected = 1) {
  vek_message_t* message = vek_createEmptyMessage();
  message->type = type;
  message->response_expected = expected;
  vek_setMessageTextPayload(message, text.c_str());
  return message;
}

vek_message_t* test_processor(vek_message_t* incoming, bool) {
  int now = ++inside;
  for (int most = most_inside.load(); now > most && !most_inside.compare_exchange_weak(most, now);) {
  }
  ++dispatched;
  vek_message_t* reply = nullptr;
  if (incoming->type == ECHO_TYPE) {
    char* text = vek_getMessagePayloadAsText(incoming);
    std::string body = text != nullptr ? text : "";
    free(text);
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      ++seen[body];
    }
    reply = text_message(VEK_MESSAGE_OK, "echo:" + body);
  } else if (incoming->type == SLOW_TYPE) {
    std::this_thread::sleep_for(300ms);
    reply = text_message(VEK_MESSAGE_OK, std::string(1 << 20, 'x'));
  }
  --inside;
  return reply;
}

// ---- Raw peers and process state ----------------------------------------------

std::string header(int32_t type, int32_t expected, int32_t length) {
  int32_t fields[3] = {type, expected, length};
  return std::string(reinterpret_cast<const char*>(fields), sizeof fields);
}

std::string wire(int32_t type, const std::string& text) {
  return header(type, 1, static_cast<int32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

int connect_raw(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = address_of(path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Leaves a socket file behind that nobody listens on, as a killed server does.
void make_stale_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = address_of(path);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  close(fd);
}

// Sends `bytes` and returns everything the server sends back before closing
// (at most 10 seconds). With `half_close` the client then ends its side, so
// the server sees the end of the stream; without, the server must answer
// from what it has.
std::string exchange_raw(const std::string& path, const std::string& bytes, bool half_close = true) {
  int fd = connect_raw(path);
  if (fd < 0) return "<connect failed>";
  if (!bytes.empty() && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    close(fd);
    return "<send failed>";
  }
  if (half_close) shutdown(fd, SHUT_WR);
  std::string received;
  char buffer[4096];
  pollfd wait = {fd, POLLIN, 0};
  while (poll(&wait, 1, 10000) > 0) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return received;
}

size_t count_entries(const char* directory) {
  size_t count = 0;
  DIR* dir = opendir(directory);
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}
// Threads of this process named `name` (the server names its threads), or
// all of them.
size_t thread_count(const char* name = nullptr) {
  if (name == nullptr) return count_entries("/proc/self/task");
  size_t count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string comm = vektest::readFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
    if (comm == std::string(name) + "\n") ++count;
  }
  closedir(dir);
  return count;
}
const char* const POLLING_THREAD = "vek-msg-poll";
const char* const CONNECTION_THREAD = "vek-msg-conn";
size_t descriptor_count() { return count_entries("/proc/self/fd"); }

bool is_socket(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string reply_text(vek_message_t* reply) {
  char* text = vek_getMessagePayloadAsText(reply);
  std::string out = text != nullptr ? text : "<none>";
  free(text);
  return out;
}

// One echo request through the library's client: true when answered properly.
bool echo_works(const std::string& path) {
  vek_message_t* request = text_message(ECHO_TYPE, "ping");
  vek_message_t* reply = vek_sendMessage(path.c_str(), request);
  bool ok = reply != nullptr && reply->type == VEK_MESSAGE_OK && reply_text(reply) == "echo:ping";
  vek_destroyMessage(reply);
  vek_destroyMessage(request);
  return ok;
}

class MessageServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek_lifecycleInit();
    signal(SIGPIPE, SIG_DFL);  // a reply to a vanished client must not kill us
    vek_addMessageProcessor(test_processor);
    dispatched = 0;
    path_ = dir_.file("launcher.msg");
  }
  void TearDown() override {
    vek_stopMessageServer(path_.c_str());
    vek_removeMessageProcessor(test_processor);
  }

  vektest::TempDir dir_;
  std::string path_;
};

// ---- Starting and stopping -------------------------------------------------------

TEST_F(MessageServerTest, ServersStartOnFreeOrStaleSocketPathsOnlyAndStopCleanly) {
  const std::string long_path = dir_.str() + "/" + std::string(110, 'p');
  struct Case {
    const char* name;
    std::string path;
    std::function<void(const std::string&)> prepare;
    bool starts;
    const char* logged;  // fragment of the WARN or ERROR line
  };
  const Case cases[] = {
      {"free path", dir_.file("a.msg"), [](const std::string&) {}, true, nullptr},
      {"socket left by an earlier run", dir_.file("b.msg"), make_stale_socket, true, "already exists, removing it."},
      {"regular file", dir_.file("c.msg"), [](const std::string& p) { vektest::writeFile(p, "precious"); }, false,
       "is not a socket; it is left in place."},
      {"symbolic link", dir_.file("d.msg"),
       [this](const std::string& p) {
         vektest::writeFile(dir_.file("target"), "precious");
         ASSERT_EQ(0, symlink(dir_.file("target").c_str(), p.c_str()));
       },
       false, "is not a socket"},
      {"path too long for a socket address", long_path, [](const std::string&) {}, false, "Could not bind socket"},
      {"missing directory", dir_.file("none/e.msg"), [](const std::string&) {}, false, "Could not bind socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(c.path);
    vektest::RecordLogs logs;
    const int descriptor = vek_startMessageServer(c.path.c_str());
    auto events = logs.take();
    if (c.logged != nullptr) {
      EXPECT_TRUE(RecordingLogger::contains(events, c.starts ? VEKLOG_WARN : VEKLOG_ERROR, c.logged));
    }
    if (!c.starts) {
      EXPECT_EQ(-1, descriptor);
      EXPECT_FALSE(is_socket(c.path));
      EXPECT_FALSE(vek_stopMessageServer(c.path.c_str()));
      continue;
    }
    ASSERT_GE(descriptor, 0);
    struct stat info;
    ASSERT_EQ(0, lstat(c.path.c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(0700u, info.st_mode & 07777);
    EXPECT_EQ(geteuid(), info.st_uid);
    EXPECT_EQ(1, vek_startMessageServer(c.path.c_str()));  // already served here
    EXPECT_TRUE(echo_works(c.path));
    EXPECT_TRUE(vek_stopMessageServer(c.path.c_str()));
    EXPECT_FALSE(is_socket(c.path));
    EXPECT_FALSE(vek_stopMessageServer(c.path.c_str()));  // one record only
  }
  EXPECT_EQ("precious", vektest::readFile(dir_.file("c.msg")));
  EXPECT_EQ("precious", vektest::readFile(dir_.file("target")));
  EXPECT_EQ(-1, vek_startMessageServer(nullptr));
}

// ---- Hostile peers ------------------------------------------------------------

// Each row is one connection; afterwards the server must still answer.
TEST_F(MessageServerTest, HostilePeersGetTheReadErrorReplyAndTheServerGoesOn) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  const std::string read_error = wire(VEK_MESSAGE_READ_ERROR, READ_ERROR_TEXT);
  struct Case {
    const char* name;
    std::string bytes;
    std::string reply;  // exact bytes back
    int dispatched;
    bool half_close = true;
  };
  const Case cases[] = {
      // Refused on the header alone: the server neither allocates nor waits for the payload.
      {"length -1", header(ECHO_TYPE, 1, -1), read_error, 0, false},
      {"length 2^31-1", header(ECHO_TYPE, 1, 0x7FFFFFFF) + "abc", read_error, 0, false},
      {"length 100 MB", header(ECHO_TYPE, 1, 100 * 1024 * 1024) + std::string(4096, 'z'), read_error, 0, false},
      {"length just over the cap", header(ECHO_TYPE, 1, VEK_MESSAGE_MAX_LENGTH + 1), read_error, 0, false},
      {"header cut short", header(ECHO_TYPE, 1, 5).substr(0, 6), read_error, 0},
      {"payload cut short", header(ECHO_TYPE, 1, 10) + "abc", read_error, 0},
      {"nothing sent", "", "", 0},
      {"no reply expected, nobody handles it", header(UNHANDLED_TYPE, 0, 0), "", 1},
      {"empty payload", header(ECHO_TYPE, 1, 0), wire(VEK_MESSAGE_OK, "echo:"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = dispatched;
    EXPECT_EQ(c.reply, exchange_raw(path_, c.bytes, c.half_close));
    EXPECT_EQ(before + c.dispatched, dispatched);
    EXPECT_TRUE(echo_works(path_));
  }
}

// A client that leaves before its reply is written: the write fails (logged)
// instead of raising SIGPIPE, whose default action would end this process.
TEST_F(MessageServerTest, AClientThatLeavesEarlyCannotKillTheServer) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  vektest::RecordLogs logs;
  int fd = connect_raw(path_);
  ASSERT_GE(fd, 0);
  const std::string request = header(SLOW_TYPE, 1, 0);
  ASSERT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));
  close(fd);
  EXPECT_TRUE(vektest::waitUntil(
      [&] {
        return RecordingLogger::contains(RecordingLogger::take(), VEKLOG_ERROR,
                                         "(internal error) could not send response to inter-launcher message");
      },
      5s));
  EXPECT_TRUE(echo_works(path_));
}

TEST_F(MessageServerTest, ARemovedSocketFileIsRecreatedWithinOnePass) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  vektest::RecordLogs logs;
  ASSERT_EQ(0, unlink(path_.c_str()));
  // One pass waits at most two seconds; the file is checked before each.
  // (The file appears at the bind, just before the socket listens.)
  EXPECT_TRUE(vektest::waitUntil([&] { return is_socket(path_) && echo_works(path_); }, 3s));
  EXPECT_TRUE(RecordingLogger::contains(logs.take(), VEKLOG_ERROR, "no longer exists, but the inter-launcher"));
}

// A client run by another user is refused by the client before it connects;
// a raw connection from that user is refused by the socket file's mode.
TEST_F(MessageServerTest, AClientOfAnotherUserIsRefusedBeforeConnecting) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  passwd* nobody = getpwnam("nobody");
  const uid_t other = nobody != nullptr ? nobody->pw_uid : 4242;
  const gid_t other_group = nobody != nullptr ? nobody->pw_gid : 4242;
  ASSERT_EQ(0, chmod(dir_.str().c_str(), 0755));
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  int status = 0;
  std::string lines = vektest::inChildWriting(
      [&](int report) {
        // Only async-signal-safe work and the client itself: this process was
        // forked from a threaded one. The logged lines go back through the pipe.
        static int out;
        out = report;
        vek_removeAllLoggers();
        vek_addLogger([](vek_log_event_t* event) {
          ssize_t ignored = write(out, event->text, strlen(event->text));
          ignored = write(out, "\n", 1);
          (void)ignored;
        });
        if (setgid(other_group) != 0 || setuid(other) != 0) _exit(10);
        vek_message_t* request = text_message(ECHO_TYPE, "intruder");
        int result = vek_sendMessage(path_.c_str(), request) == nullptr ? 0 : 1;
        int fd = connect_raw(path_);
        if (fd >= 0 || errno != EACCES) result |= 2;
        _exit(result);
      },
      &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: the client was not refused, 2: a raw connection was not refused";
  EXPECT_NE(std::string::npos,
            lines.find("as you are not the owner of the process the message is destined for. Local " +
                       std::to_string(other) + ", Remote " + std::to_string(geteuid()) + "."))
      << lines;
  EXPECT_EQ(0, dispatched);
}

TEST_F(MessageServerTest, ShutdownRemovesEverySocketFileAndEndsThePollingThread) {
  vek_message_native_shutdown();  // no polling thread left by an earlier case
  vek_message_native_init();
  const std::string second = dir_.file("second.msg");
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  ASSERT_GE(vek_startMessageServer(second.c_str()), 0);
  EXPECT_EQ(1u, thread_count(POLLING_THREAD));  // one for both
  vek_message_native_shutdown();
  EXPECT_FALSE(is_socket(path_));
  EXPECT_FALSE(is_socket(second));
  // Joined; under a user-mode emulator the host thread may linger a moment.
  EXPECT_TRUE(vektest::waitUntil([] { return thread_count(POLLING_THREAD) == 0; }, 1s));
  EXPECT_EQ(-1, vek_startMessageServer(path_.c_str()));  // nothing to serve with until initialised again
  vek_message_native_init();
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  EXPECT_TRUE(echo_works(path_));
}

// ---- Forks ------------------------------------------------------------------------

// A forked child used to inherit a server that nothing served ("already
// running", connections that were never answered) and removed the parent's
// socket file when it stopped that server or exited as a daemon.
TEST_F(MessageServerTest, AForkedChildStartsWithoutTheParentsServer) {
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  const std::string own = dir_.file("child.msg");
  struct Case {
    const char* name;
    std::function<std::string()> in_child;  // after the fork was announced; answers "ok" or what went wrong
  };
  const Case cases[] = {
      {"stopping the parent's server there",
       [&] { return vek_stopMessageServer(path_.c_str()) ? std::string("stopped the parent's server") : "ok"; }},
      {"a server of its own there",
       [&]() -> std::string {
         if (vek_startMessageServer(own.c_str()) < 0) return "could not start";
         if (!echo_works(own)) return "its own server did not answer";
         return vek_stopMessageServer(own.c_str()) ? "ok" : "could not stop";
       }},
      {"exiting as a daemon",
       [] {
         vek_lifecycleSetDaemonized(true);
         exit(0);  // exit processing: the shutdown stage
         return std::string();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Forked while no connection thread of the parent frees memory: the
    // sanitizers' allocators are not fork-safe.
    ASSERT_TRUE(vektest::waitUntil([] { return thread_count(CONNECTION_THREAD) == 0; }, 5s));
    int status = 0;
    std::string answer = vektest::inChild(
        [&] {
          in_forked_child = true;
          vek_lifecycleChildAfterFork();
          return c.in_child();
        },
        &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (!answer.empty()) {
      EXPECT_EQ("ok", answer);
    }
    EXPECT_TRUE(is_socket(path_));
    EXPECT_TRUE(echo_works(path_));
  }
}

// ---- Load ------------------------------------------------------------------------

// Idle connections used to hold a thread each, for ever. Now they hold none,
// a request beside them is answered at once, and they are closed after the
// read time limit (10 seconds).
TEST_F(MessageServerTest, IdleConnectionsHoldNoThreadAndNeverKeepARequestWaiting) {
  constexpr int IDLE = 300;
  constexpr size_t MAX_CONNECTION_THREADS = 16;
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  const size_t threads_before = thread_count();
  std::vector<int> idle;
  for (int i = 0; i < IDLE; ++i) {
    const int fd = connect_raw(path_);
    ASSERT_GE(fd, 0) << i;
    idle.push_back(fd);
  }
  const std::string partial = header(ECHO_TYPE, 1, 100) + "only a part";
  ASSERT_EQ(static_cast<ssize_t>(partial.size()), send(idle.back(), partial.data(), partial.size(), 0));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(echo_works(path_));
  // Not a speed check: the idle connections' time limit is 10 seconds, and
  // the request must not have waited for them.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
  EXPECT_LE(thread_count(), threads_before + MAX_CONNECTION_THREADS);
  // The echo's thread ends just after its reply; the idle connections keep none.
  EXPECT_TRUE(vektest::waitUntil([] { return thread_count(CONNECTION_THREAD) == 0; }, 5s));
  // Past the limit every idle connection is closed; the partial request is
  // answered with the read error.
  EXPECT_TRUE(vektest::waitUntil(
      [&] {
        for (int fd : idle) {
          pollfd wait = {fd, POLLIN, 0};
          if (poll(&wait, 1, 0) != 1) return false;
        }
        return true;
      },
      30s));
  char buffer[256];
  const ssize_t got = recv(idle.back(), buffer, sizeof buffer, 0);
  EXPECT_EQ(wire(VEK_MESSAGE_READ_ERROR, READ_ERROR_TEXT), std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0));
  for (int fd : idle) close(fd);
  EXPECT_TRUE(echo_works(path_));
  EXPECT_EQ(2, dispatched);  // the two echoes
}

pid_t spawn_peer(const std::vector<std::string>& arguments) {
  pid_t child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

TEST_F(MessageServerTest, AThousandClientsFromSeveralProcessesAreEachAnsweredOnce) {
  constexpr int PROCESSES = 4;
  constexpr int PER_PROCESS = 250;
  ASSERT_GE(vek_startMessageServer(path_.c_str()), 0);
  const size_t threads_before = thread_count();  // the polling thread included
  const size_t descriptors_before = descriptor_count();
  {
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen.clear();
  }
  most_inside = 0;
  ASSERT_TRUE(echo_works(path_));

  // The connection threads, counted all along: a thousand requests at once
  // used to take a thousand threads.
  std::atomic<bool> loading{true};
  size_t most_threads = 0;
  std::thread sampler([&] {
    while (loading) most_threads = std::max(most_threads, thread_count(CONNECTION_THREAD));
  });
  std::vector<pid_t> clients;
  for (int p = 0; p < PROCESSES; ++p)
    clients.push_back(
        spawn_peer({VEK_MESSAGE_PEER, "load", path_, std::to_string(PER_PROCESS), "p" + std::to_string(p)}));
  for (pid_t client : clients) {
    int status = 0;
    EXPECT_EQ(client, waitpid(client, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a client process saw a wrong or missing reply";
  }
  loading = false;
  sampler.join();
  EXPECT_LE(most_threads, 16u);
  {
    std::lock_guard<std::mutex> lock(seen_mutex);
    EXPECT_EQ(static_cast<size_t>(PROCESSES * PER_PROCESS + 1), seen.size());  // + the "ping"
    for (int p = 0; p < PROCESSES; ++p)
      for (int i = 0; i < PER_PROCESS; ++i) {
        const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
        EXPECT_EQ(1, seen[id]) << id;
      }
  }
  EXPECT_EQ(1, most_inside.load()) << "dispatches overlapped";
  // Connection threads are detached and end just after their reply.
  EXPECT_TRUE(
      vektest::waitUntil([&] { return thread_count(CONNECTION_THREAD) == 0 && thread_count() == threads_before; }, 5s))
      << thread_count() << " threads, " << threads_before << " before";
  EXPECT_EQ(1u, thread_count(POLLING_THREAD));
  EXPECT_EQ(descriptors_before, descriptor_count());
}

}  // namespace
