// vekctl: the control tool of the sample launcher. It sends one request to
// the launcher of an application running in a state directory, with the
// library's launcher requests, the application name serving as the name of
// both the socket file and the pid file.
//
//   vekctl --app NAME --state DIR threaddump
//   vekctl --app NAME --state DIR heapdump FILE [--all]
//   vekctl --app NAME --state DIR bundle
//   vekctl --app NAME --state DIR debug TYPE LEVEL
//   vekctl --app NAME --state DIR stop [--force] [--wait]
//
// A thread dump falls back to SIGQUIT and a stop to SIGTERM when the message
// cannot be delivered; --force stops even a launcher that does not seem to
// run, --wait returns only once the launcher is gone. A heap dump holds live
// objects only unless --all is given. The log goes to the console;
// NIMBO_DEBUG=1 (or 2) shows the debug lines.
// Exit status: 0 when the request was carried out, 1 when not, 2 on a
// wrong command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vek_getopt.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_process.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_NOT_DONE = 1;
constexpr int EXIT_USAGE = 2;

const char* const USAGE =
    "Usage: vekctl --app NAME --state DIR COMMAND\n"
    "  threaddump               ask the launcher for a thread dump (SIGQUIT when it cannot be reached)\n"
    "  heapdump FILE [--all]    ask for a heap dump into FILE (live objects only unless --all)\n"
    "  bundle                   ask for a support bundle\n"
    "  debug TYPE LEVEL         send a debug-level request of message type TYPE\n"
    "  stop [--force] [--wait]  stop the launcher (SIGTERM when it cannot be reached)\n";

struct Command {
  const char* app = nullptr;
  const char* state = nullptr;
  std::vector<std::string> words;  // the command and its operands
  bool all = false;                // heapdump --all
  bool force = false;              // stop --force
  bool wait = false;               // stop --wait
};

bool parse_command_line(int argc, char** argv, Command& out) {
  static const vek_option long_options[] = {
      {"app", 1, nullptr, 'a'},  {"state", 1, nullptr, 's'}, {"all", 0, nullptr, 'l'}, {"force", 0, nullptr, 'f'},
      {"wait", 0, nullptr, 'w'}, {"help", 0, nullptr, 'h'},  {nullptr, 0, nullptr, 0}};
  // Options and command words may mix; "-" keeps the words in order.
  for (int option; (option = vek_getopt_long(argc, argv, "-", long_options, nullptr)) != -1;) {
    switch (option) {
      case 1: out.words.push_back(vek_optarg); break;
      case 'a': out.app = vek_optarg; break;
      case 's': out.state = vek_optarg; break;
      case 'l': out.all = true; break;
      case 'f': out.force = true; break;
      case 'w': out.wait = true; break;
      default: return false;
    }
  }
  for (; vek_optind < argc; ++vek_optind) out.words.push_back(argv[vek_optind]);
  return out.app != nullptr && out.state != nullptr && !out.words.empty();
}

// The request's result, or -1 when the words do not make a command.
int send(const Command& c) {
  const std::string& verb = c.words[0];
  const size_t operands = c.words.size() - 1;
  if (verb == "threaddump" && operands == 0) return vek_sendLauncherThreadDumpRequest(c.app, c.app, c.state);
  if (verb == "heapdump" && operands == 1)
    return vek_sendLauncherHeapDumpRequest(c.app, c.app, c.state, c.words[1].c_str(), !c.all);
  if (verb == "bundle" && operands == 0) return vek_sendLauncherSupportBundleRequest(c.app, c.app, c.state);
  if (verb == "debug" && operands == 2) {
    char* end = nullptr;
    long type = strtol(c.words[1].c_str(), &end, 10);
    if (end == c.words[1].c_str() || *end != '\0') return -1;
    return vek_sendLauncherSetDebugMessage(c.app, c.app, c.state, static_cast<int>(type), c.words[2].c_str());
  }
  if (verb == "stop" && operands == 0) {
    vek_setWaitForShutdown(c.wait);
    return vek_stopNamedLauncher(c.app, c.app, c.state, c.force);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  vek_addLogger(vek_consoleLogger);
  veklog_console_setWordWrapping(false);  // one line per message: logs are searched
  const char* setting = getenv("NIMBO_DEBUG");
  long level = strtol(setting != nullptr ? setting : "0", nullptr, 10);
  vek_setLogLevel(level == 1 ? VEKLOG_DEBUG : level == 2 ? VEKLOG_DEBUG2 : VEKLOG_INFO);
  Command command;
  if (!parse_command_line(argc, argv, command)) {
    fprintf(stderr, "%s", USAGE);
    return EXIT_USAGE;
  }
  vek_setStateLocation(command.state);
  int result = send(command);
  if (result < 0) {
    fprintf(stderr, "%s", USAGE);
    return EXIT_USAGE;
  }
  return result != 0 ? EXIT_DONE : EXIT_NOT_DONE;
}
