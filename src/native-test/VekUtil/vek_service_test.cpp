// Service-manager notification: the datagram reaches a path and an abstract
// socket, bad socket names and states fail with their errno, the watchdog
// interval applies only to the process it names, and the variables taken
// out of the environment still serve and never reach a runner's child.
#include "vek_service.h"

#include <gtest/gtest.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_runner.h"
#include "vek_test_service.h"
#include "vek_test_support.h"

namespace {

// Sets or removes the variables for one case, and removes them afterwards.
class ServiceVariables {
 public:
  ServiceVariables(std::optional<std::string> socket, std::optional<std::string> usec = std::nullopt,
                   std::optional<std::string> pid = std::nullopt) {
    set("NOTIFY_SOCKET", socket);
    set("WATCHDOG_USEC", usec);
    set("WATCHDOG_PID", pid);
  }
  ~ServiceVariables() {
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
  }
  ServiceVariables(const ServiceVariables&) = delete;
  ServiceVariables& operator=(const ServiceVariables&) = delete;

 private:
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
};

std::string abstract_name() { return "@vektest-notify-" + std::to_string(getpid()); }

// These cases read the environment itself: they run before any test takes
// the variables (GoogleTest keeps the order of a file, and CTest runs each
// case in a process of its own).
TEST(ServiceNotifyTest, SentToPathAndAbstractSocketsOrFailing) {
  vektest::TempDir dir;
  vektest::ManagerSocket path_manager(dir.file("notify"));
  vektest::ManagerSocket abstract_manager(abstract_name());
  ASSERT_TRUE(path_manager.bound() && abstract_manager.bound());
  struct Case {
    const char* name;
    std::optional<std::string> socket;  // NOTIFY_SOCKET
    const char* state;
    int result;
    vektest::ManagerSocket* receiver;  // gets the state when sent
  };
  const std::string long_path = "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
  const Case cases[] = {
      {"a path", dir.file("notify"), "READY=1\nSTATUS=Serving", 1, &path_manager},
      {"an abstract name", abstract_name(), "STOPPING=1", 1, &abstract_manager},
      {"no manager", std::nullopt, "READY=1", 0, nullptr},
      {"an empty name is no manager", "", "READY=1", 0, nullptr},
      {"no manager, no state either", std::nullopt, nullptr, 0, nullptr},
      {"a relative name", "relative/notify", "READY=1", -EINVAL, nullptr},
      {"a name too long for an address", long_path, "READY=1", -EINVAL, nullptr},
      {"a lone '@'", "@", "READY=1", -EINVAL, nullptr},
      {"a NULL state", dir.file("notify"), nullptr, -EINVAL, nullptr},
      {"an empty state", dir.file("notify"), "", -EINVAL, nullptr},
      {"nobody listens at the path", dir.file("absent"), "READY=1", -ENOENT, nullptr},
      {"nobody listens at the abstract name", abstract_name() + "-absent", "READY=1", -ECONNREFUSED, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceVariables variables(c.socket);
    const int sent = vek_notifyServiceManager(c.state);
    EXPECT_EQ(c.result, sent > 0 ? 1 : sent);  // any positive value means sent
    if (c.receiver != nullptr) {
      EXPECT_EQ(c.state, c.receiver->receive().value_or("(nothing)"));
    }
  }
}

TEST(ServiceNotifyTest, TheWatchdogIntervalAppliesToTheProcessItNames) {
  const std::string self = std::to_string(getpid());
  const std::string other = std::to_string(getpid() + 1);
  struct Case {
    const char* name;
    std::optional<std::string> usec;
    std::optional<std::string> pid;
    int result;
    uint64_t interval;
  };
  const Case cases[] = {
      {"no watchdog", std::nullopt, std::nullopt, 0, 0},
      {"for whoever sees it", "500000", std::nullopt, 1, 500000},
      {"for this process", "30000000", self, 1, 30000000},
      {"for another process", "500000", other, 0, 0},
      {"a pid without an interval", std::nullopt, self, 0, 0},
      {"no number", "soon", std::nullopt, -EINVAL, 0},
      {"a sign", "-5", std::nullopt, -EINVAL, 0},
      {"trailing text", "500000us", std::nullopt, -EINVAL, 0},
      {"zero", "0", std::nullopt, -EINVAL, 0},
      {"beyond 64 bits", "99999999999999999999999", std::nullopt, -EINVAL, 0},
      {"a malformed pid", "500000", "self", -EINVAL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceVariables variables("@unused", c.usec, c.pid);
    uint64_t interval = 777;
    EXPECT_EQ(c.result, vek_serviceWatchdogInterval(&interval));
    EXPECT_EQ(c.interval, interval);
  }
  EXPECT_EQ(-EINVAL, vek_serviceWatchdogInterval(nullptr));
}

// What `env` prints when the runner starts it with the inherited environment.
std::string child_environment() {
  static std::string output;
  output.clear();
  std::string exe = "/usr/bin/env";
  vek_process_t proc = {};
  proc.exe = exe.data();
  proc.redirect = VEK_REDIRECT_HANDLER;
  proc.output.handlers.stdout_handler = [](vek_process_handle_t*, const char* data, int size) {
    output.append(data, static_cast<size_t>(size));
  };
  vek_process_result_t result = {};
  const bool ran = vek_execProcess(&proc, &result);
  free(proc.handle);
  return ran && result.exit_code == 0 ? output : "(env did not run)";
}

// Taking the variables keeps them for the library and out of every child:
// also a child started before the program took them, by the runner, which
// leaves them out itself.
TEST(ServiceTakeTest, TakenVariablesServeTheLauncherAndNoChild) {
  vek_lifecycleInit();
  const std::string name = abstract_name() + "-taken";
  vektest::ManagerSocket manager(name);
  ASSERT_TRUE(manager.bound());
  ServiceVariables variables(name, "2000000", std::to_string(getpid()));
  setenv("VEKTEST_MARK", "kept", 1);
  {
    SCOPED_TRACE("before the take: the runner leaves them out");
    const std::string environment = child_environment();
    EXPECT_NE(std::string::npos, environment.find("VEKTEST_MARK=kept")) << environment;
    for (const char* variable : {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="})
      EXPECT_EQ(std::string::npos, environment.find(variable)) << variable;
  }
  EXPECT_EQ(1, vek_takeServiceEnvironment());
  for (const char* variable : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
    EXPECT_EQ(nullptr, getenv(variable)) << variable;
  EXPECT_EQ(1, vek_takeServiceEnvironment()) << "a second take loses what the first took";
  EXPECT_GT(vek_notifyServiceManager("WATCHDOG=1"), 0);
  EXPECT_EQ("WATCHDOG=1", manager.receive().value_or("(nothing)"));
  uint64_t interval = 0;
  EXPECT_EQ(1, vek_serviceWatchdogInterval(&interval));
  EXPECT_EQ(2000000u, interval);
  unsetenv("VEKTEST_MARK");
}

}  // namespace
