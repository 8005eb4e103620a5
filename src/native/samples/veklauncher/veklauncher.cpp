// veklauncher: a sample launcher showing how the library serves a product's
// control tool. One launcher of an application runs per state directory: it
// records itself in its pid file there, optionally becomes a daemon, keeps
// its termination signals on a signal thread, and answers the requests of
// `vekctl` (thread dump, heap dump, support bundle, debug level, stop) that
// arrive on its message socket. With --cp it hosts a Java VM whose
// com.nimbo.common.launcher.message.MessageHandler answers them; without, a
// native processor answers every request. It runs until a stop request or
// SIGTERM (or SIGINT), then removes its socket and pid files.
//
//   veklauncher --app NAME --state DIR [--daemon | --foreground] [--init]
//               [--cp CLASSPATH] [--run COMMAND]
//
// SIGQUIT writes a thread dump into DIR. With --daemon the log goes to
// DIR/veklauncher-NAME.log, else to the console; NIMBO_DEBUG=1 (or 2) shows
// the debug lines. With --cp the Java runtime is that of JAVA_HOME.
// With --foreground the launcher serves a service manager: it tells it
// when it is ready, what it does and when it stops, and pings its watchdog
// while its signal thread and its message server answer. As the first
// process of a container (pid 1), or with --init, it reaps every child that
// ends, orphans included. --run starts COMMAND (/bin/sh -c) once the
// launcher serves, logs its output and its exit status.
// Exit status: 0 after a stop, 1 when the launcher could not start.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "vek_file.h"
#include "vek_getopt.h"
#include "vek_home.h"
#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_message.h"
#include "vek_process.h"
#include "vek_runner.h"
#include "vek_service.h"
#include "vek_sighandler.h"

namespace {

constexpr int EXIT_STOPPED = 0;
constexpr int EXIT_NOT_STARTED = 1;

// The watchdog's probe of the launcher's own message server: a request of
// this type whose payload is the launcher's probe text.
constexpr int32_t WATCHDOG_PROBE_TYPE = 0x5744;
// The signal thread makes a round at least every quarter second: one that
// made none for this long is held up.
constexpr auto SIGNAL_THREAD_SILENCE = std::chrono::seconds(2);

const char* const USAGE =
    "Usage: veklauncher --app NAME --state DIR [--daemon | --foreground] [--init] [--cp CLASSPATH]\n"
    "                   [--run COMMAND]\n"
    "  --app NAME       the application: names the pid file and the message socket\n"
    "  --state DIR      the state directory (pid file, thread dumps, the daemon's log)\n"
    "  --daemon         run as a daemon in DIR\n"
    "  --foreground     run under a service manager: no fork, readiness, status and watchdog\n"
    "                   notifications (NOTIFY_SOCKET, WATCHDOG_USEC)\n"
    "  --init           reap every child that ends, orphans included (always so as pid 1)\n"
    "  --cp CLASSPATH   host a Java VM (JAVA_HOME's runtime) whose MessageHandler answers requests\n"
    "  --run COMMAND    once serving, run COMMAND with /bin/sh and log its output and exit status\n";

// What the command line asked for. The texts point into argv.
struct LauncherOptions {
  const char* app = nullptr;         // application name
  const char* state = nullptr;       // state directory
  bool daemon = false;               // become a daemon
  bool foreground = false;           // serve a service manager
  bool init = false;                 // reap every ended child
  const char* class_path = nullptr;  // class path of the hosted VM, or null for none
  const char* command = nullptr;     // command of --run, or null for none
};

// The launcher's run, shared with the processors and the signal thread.
struct Launcher {
  LauncherOptions options;
  std::mutex mutex;                 // guards stop_reason
  std::condition_variable stopped;  // signalled when stop_reason is set
  std::string stop_reason;          // why the launcher stops; empty while it runs
  std::string home;                 // the launcher's directory: its installation, for the VM search
  JavaVM* vm = nullptr;             // the hosted VM, or null
  std::string socket_path;          // the message socket; set before the server starts
  std::string probe_text;           // payload of the watchdog's probe; set before the server starts
};
// Never destroyed: the process may exit on another thread (the VM's, when
// its Java handler calls System.exit) while the main thread waits on
// `stopped`, and destroying a condition variable that has a waiter blocks
// for ever.
Launcher& launcher = *new Launcher;

// ---- The service manager -------------------------------------------------------

// A state text for the service manager, with --foreground only: the other
// modes behave as they always did.
void notify(const std::string& state) {
  if (!launcher.options.foreground) return;
  const int sent = vek_notifyServiceManager(state.c_str());
  if (sent >= 0) return;
  std::string shown = state;  // one log line
  for (char& c : shown)
    if (c == '\n') c = ' ';
  veklog(VEK_HERE, VEKLOG_WARN, "Could not notify the service manager (%s): %s", shown.c_str(), strerror(-sent));
}

void request_stop(const std::string& why) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(launcher.mutex);
    first = launcher.stop_reason.empty();
    if (first) launcher.stop_reason = why;
    launcher.stopped.notify_all();
  }
  if (first) notify("STOPPING=1\nSTATUS=Stopping after " + why);
}

bool parse_command_line(int argc, char** argv, LauncherOptions& out) {
  static const vek_option long_options[] = {
      {"app", 1, nullptr, 'a'},        {"state", 1, nullptr, 's'}, {"daemon", 0, nullptr, 'd'},
      {"foreground", 0, nullptr, 'f'}, {"init", 0, nullptr, 'i'},  {"cp", 1, nullptr, 'c'},
      {"run", 1, nullptr, 'r'},        {"help", 0, nullptr, 'h'},  {nullptr, 0, nullptr, 0}};
  for (int option; (option = vek_getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
    switch (option) {
      case 'a': out.app = vek_optarg; break;
      case 's': out.state = vek_optarg; break;
      case 'd': out.daemon = true; break;
      case 'f': out.foreground = true; break;
      case 'i': out.init = true; break;
      case 'c': out.class_path = vek_optarg; break;
      case 'r': out.command = vek_optarg; break;
      default: return false;
    }
  }
  return vek_optind == argc && out.app != nullptr && out.state != nullptr && !(out.daemon && out.foreground);
}

void init_logging() {
  vek_addLogger(vek_consoleLogger);
  veklog_console_setWordWrapping(false);  // one line per message: logs are searched
  const char* setting = getenv("NIMBO_DEBUG");
  long value = strtol(setting != nullptr ? setting : "0", nullptr, 10);
  vek_setLogLevel(value == 1 ? VEKLOG_DEBUG : value == 2 ? VEKLOG_DEBUG2 : VEKLOG_INFO);
}

// The daemon's standard streams (and so its console log) go to a file in
// the state directory.
void log_into_state_directory() {
  const std::string log_file = std::string(launcher.options.state) + "/veklauncher-" + launcher.options.app + ".log";
  int fd = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
  if (vek_redirectStdOutToFile(log_file.c_str()) && vek_redirectStdErrToFile(log_file.c_str()))
    veklog_console_setEnabled(true);
}

// ---- Thread dumps ---------------------------------------------------------------

// Without a VM: the launcher's threads (name and state, from /proc) into a
// file in the state directory. Returns its path, or "" when it could not be written.
std::string write_native_thread_dump() {
  static std::atomic<int> dump_count{0};
  const std::string path = std::string(launcher.options.state) + "/threaddump-" + launcher.options.app + "-" +
                           std::to_string(time(nullptr)) + "-" + std::to_string(++dump_count) + ".txt";
  std::unique_ptr<FILE, decltype(&fclose)> out(fopen(path.c_str(), "w"), fclose);
  if (out == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not write the thread dump %s: %s", path.c_str(), strerror(errno));
    return "";
  }
  fprintf(out.get(), "Thread dump of veklauncher %s (pid %ld)\n", launcher.options.app, static_cast<long>(getpid()));
  vek_list_t* tasks = vek_getDirectoryContents("/proc/self/task");
  for (size_t i = 0; tasks != nullptr && i < vek_listGetSize(tasks); ++i) {
    const char* tid = static_cast<const char*>(vek_listGet(tasks, i));
    std::unique_ptr<FILE, decltype(&fclose)> status(
        fopen((std::string("/proc/self/task/") + tid + "/status").c_str(), "r"), fclose);
    char line[256];
    std::string name, state;
    while (status != nullptr && fgets(line, sizeof line, status.get()) != nullptr) {
      if (strncmp(line, "Name:", 5) == 0) name = line + 5;
      if (strncmp(line, "State:", 6) == 0) state = line + 6;
    }
    fprintf(out.get(), "thread %s:%s%s", tid, name.c_str(), state.c_str());
  }
  if (tasks != nullptr) {
    vek_listDeleteAll(tasks);
    vek_listDestroy(tasks);
  }
  veklog(VEK_HERE, VEKLOG_INFO, "Thread dump written to %s", path.c_str());
  return path;
}

// With a VM the Java handler writes the dump: the request goes through the
// processors as if it had come as a message.
void thread_dump(const char* origin) {
  if (launcher.vm == nullptr) {
    write_native_thread_dump();
    return;
  }
  vek_message_t* request = vek_createEmptyMessage();
  if (request == nullptr) return;
  request->type = VEK_MESSAGE_THREAD_DUMP;
  vek_setMessageTextPayload(request, origin);
  vek_message_t* reply = vek_handle_message(request);
  char* text = vek_getMessagePayloadAsText(reply);
  veklog(VEK_HERE, VEKLOG_INFO, "Thread dump: %s", text != nullptr ? text : "no answer from the Java VM");
  free(text);
  vek_destroyMessage(reply);
  vek_destroyMessage(request);
}

// ---- Processors and signals --------------------------------------------------------

const char* request_name(int type) {
  switch (type) {
    case VEK_MESSAGE_SHUTDOWN: return "stop";
    case VEK_MESSAGE_THREAD_DUMP: return "thread dump";
    case VEK_MESSAGE_SUPPORT_BUNDLE: return "support bundle";
    case VEK_MESSAGE_HEAP_DUMP: return "heap dump";
    default: return "debug level";
  }
}

vek_message_t* text_reply(const std::string& text) {
  vek_message_t* reply = vek_createEmptyMessage();
  if (reply == nullptr) return nullptr;
  reply->type = VEK_MESSAGE_OK;
  vek_setMessageTextPayload(reply, text.c_str());
  return reply;
}

// Without a VM: every request is answered, naming its type; a stop stops
// and a thread dump is written.
vek_message_t* native_processor(vek_message_t* incoming, bool already_handled) {
  if (already_handled) return nullptr;
  char* payload = vek_getMessagePayloadAsText(incoming);
  std::string text = std::string("veklauncher ") + launcher.options.app + " answered the " +
                     request_name(incoming->type) + " request (type " + std::to_string(incoming->type) + ")";
  if (incoming->type == VEK_MESSAGE_THREAD_DUMP) text += ": " + write_native_thread_dump();
  if (incoming->type != VEK_MESSAGE_THREAD_DUMP && incoming->type != VEK_MESSAGE_SHUTDOWN &&
      incoming->type != VEK_MESSAGE_SUPPORT_BUNDLE && incoming->type != VEK_MESSAGE_HEAP_DUMP && payload != nullptr)
    text += ": " + std::string(payload);
  veklog(VEK_HERE, VEKLOG_INFO, "%s; sent by %s", text.c_str(), payload != nullptr ? payload : "(no payload)");
  free(payload);
  if (incoming->type == VEK_MESSAGE_SHUTDOWN) request_stop("a stop request");
  return text_reply(text);
}

// With a VM: registered before the VM's processor, so asked after it. A
// stop stops the launcher whatever the Java side answered; it is answered
// here only when Java did not.
vek_message_t* stop_watcher(vek_message_t* incoming, bool already_handled) {
  if (incoming->type != VEK_MESSAGE_SHUTDOWN) return nullptr;
  request_stop("a stop request");
  return already_handled ? nullptr : text_reply("veklauncher stopping");
}

// The signal thread's routine: SIGQUIT dumps the threads, SIGTERM and
// SIGINT stop the launcher, SIGHUP is ignored. The block stays installed.
int on_signal(int signal_number) {
  switch (signal_number) {
    case SIGQUIT: thread_dump("SIGQUIT"); break;
    case SIGTERM:
    case SIGINT: request_stop(std::string("signal ") + strsignal(signal_number)); break;
    default: veklog(VEK_HERE, VEKLOG_INFO, "Signal %d ignored", signal_number); break;
  }
  return 0;
}

// ---- The watchdog -------------------------------------------------------------------

// Registered last, so asked first: answers the watchdog's own probe, which
// no other processor then sees as new (nor logs).
vek_message_t* probe_processor(vek_message_t* incoming, bool already_handled) {
  if (already_handled || incoming->type != WATCHDOG_PROBE_TYPE) return nullptr;
  char* payload = vek_getMessagePayloadAsText(incoming);
  const bool ours = payload != nullptr && launcher.probe_text == payload;
  free(payload);
  return ours ? text_reply("alive") : nullptr;
}

// The message server accepted, dispatched and answered a request.
bool message_server_answers() {
  vek_message_t* probe = vek_createEmptyMessage();
  if (probe == nullptr) return false;
  probe->type = WATCHDOG_PROBE_TYPE;
  vek_setMessageTextPayload(probe, launcher.probe_text.c_str());
  vek_message_t* reply = vek_sendMessage(launcher.socket_path.c_str(), probe);
  const bool answered = reply != nullptr && reply->type == VEK_MESSAGE_OK;
  vek_destroyMessage(reply);
  vek_destroyMessage(probe);
  return answered;
}

// The signal thread's rounds, as the watchdog last saw them move.
struct SignalThreadWatch {
  unsigned long rounds = 0;                     // the last count seen
  std::chrono::steady_clock::time_point moved;  // when it was last seen to change
};

bool signal_thread_alive(SignalThreadWatch& watch) {
  const unsigned long rounds = vek_getSignalThreadHeartbeat();
  const auto now = std::chrono::steady_clock::now();
  if (rounds != watch.rounds) {
    watch.rounds = rounds;
    watch.moved = now;
  }
  return now - watch.moved < SIGNAL_THREAD_SILENCE;
}

// Pings every half interval while the launcher is healthy; a launcher that
// is not stays silent, and the manager acts on its missing pings.
// A change of health is logged once, not at every ping.
void watchdog_loop(std::chrono::microseconds interval) {
  SignalThreadWatch watch{vek_getSignalThreadHeartbeat(), std::chrono::steady_clock::now()};
  bool was_healthy = true;
  std::unique_lock<std::mutex> lock(launcher.mutex);
  while (!launcher.stopped.wait_for(lock, interval / 2, [] { return !launcher.stop_reason.empty(); })) {
    lock.unlock();
    const bool signals = signal_thread_alive(watch);
    const bool healthy = signals && message_server_answers();
    if (healthy) notify("WATCHDOG=1");
    if (healthy && !was_healthy) veklog(VEK_HERE, VEKLOG_INFO, "The launcher answers again: watchdog pings resume");
    if (!healthy && was_healthy)
      veklog(VEK_HERE, VEKLOG_WARN, "The launcher's %s does not answer: no watchdog pings",
             signals ? "message server" : "signal thread");
    was_healthy = healthy;
    lock.lock();
  }
}

// The watchdog's thread, when the manager expects pings of this process.
std::thread start_watchdog() {
  if (!launcher.options.foreground) return {};
  uint64_t usec = 0;
  const int applies = vek_serviceWatchdogInterval(&usec);
  if (applies < 0) veklog(VEK_HERE, VEKLOG_WARN, "The service manager's watchdog settings are malformed");
  if (applies <= 0) return {};
  veklog(VEK_HERE, VEKLOG_INFO, "Watchdog: a ping every %llu ms", static_cast<unsigned long long>(usec / 2000));
  return std::thread(watchdog_loop, std::chrono::microseconds(usec));
}

// ---- The command of --run ----------------------------------------------------------

// One run of the command: the runner's description and the thread that waits for it.
struct CommandRun {
  vek_process_t proc = {};                 // the description; its texts point into argv below
  std::string shell = "/bin/sh";           // the program
  std::string flag = "-c";                 // its option
  std::string command;                     // the command text
  vek_list_t* argv = nullptr;              // char* into the strings above
  vek_process_handle_t* handle = nullptr;  // the started child, or null
  std::thread waiter;                      // logs the exit status
};

// One log line per line of output (a line split between two chunks makes
// two): a journal reads each line as an entry of its own.
void log_command_output(vek_process_handle_t* handle, const char* data, int size) {
  const char* end = data + size;
  for (const char* line = data; line < end;) {
    const char* next = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    const char* line_end = next != nullptr ? next : end;
    if (line_end > line)
      veklog(VEK_HERE, VEKLOG_INFO, "[run %ld] %.*s", static_cast<long>(handle->pid), static_cast<int>(line_end - line),
             line);
    line = line_end + 1;
  }
}

void await_command(CommandRun* run) {
  vek_process_result_t result = {};
  if (vek_waitForProcess(run->handle, &result))
    veklog(VEK_HERE, VEKLOG_INFO, "The command of --run (pid %ld) ended: exit code %d, signal %d",
           static_cast<long>(run->handle->pid), result.exit_code, result.exit_signal);
  else
    veklog(VEK_HERE, VEKLOG_ERROR, "The command of --run (pid %ld) could not be waited for",
           static_cast<long>(run->handle->pid));
}

bool start_command(CommandRun& run) {
  run.command = launcher.options.command;
  run.argv = vek_listCreate(3);
  if (run.argv == nullptr) return false;
  for (std::string* text : {&run.shell, &run.flag, &run.command}) vek_listAdd(run.argv, text->data());
  run.proc.name = run.command.data();
  run.proc.exe = run.shell.data();
  run.proc.args = run.argv;
  run.proc.redirect = VEK_REDIRECT_HANDLER;
  run.proc.output.handlers.stdout_handler = log_command_output;
  run.proc.output.handlers.stderr_handler = log_command_output;
  run.handle = vek_startProcess(&run.proc);
  if (run.handle == nullptr) return false;
  veklog(VEK_HERE, VEKLOG_INFO, "Started the command of --run (pid %ld): %s", static_cast<long>(run.handle->pid),
         run.command.c_str());
  run.waiter = std::thread(await_command, &run);
  return true;
}

// At the stop: a command still running is asked to end, then waited for.
void end_command(CommandRun& run) {
  if (run.handle != nullptr && vek_isProcessHandleActive(run.handle)) vek_signalProcess(run.handle, SIGTERM);
  if (run.waiter.joinable()) run.waiter.join();
  free(run.handle);
  if (run.argv != nullptr) vek_listDestroy(run.argv);
}

// ---- The Java VM -------------------------------------------------------------------

// The owned option list: records freed with the list.
struct OptionList {
  vek_list_t* list = vek_listCreate(4);
  std::string class_path;
  std::string state;
  OptionList() {
    if (list != nullptr) vek_listSetCompare(list, vek_jvmCompareOptions);
  }
  ~OptionList() {
    if (list == nullptr) return;
    vek_listDeleteAll(list);
    vek_listDestroy(list);
  }
  OptionList(const OptionList&) = delete;
  OptionList& operator=(const OptionList&) = delete;
};

// Finds the runtime (the launcher's own directory has none: JAVA_HOME's) and
// puts its libraries on the loader path. The first pass re-executes the
// launcher with that path and does not return, so this comes first of all.
bool prepare_vm_library(char** argv) {
  const char* executable = vek_getExecutablePath(argv[0]);
  std::unique_ptr<char, decltype(&free)> home(executable != nullptr ? vek_getDirName(executable) : nullptr, free);
  if (home == nullptr) return false;
  launcher.home = home.get();
  vek_setInstallDir(launcher.home.c_str());
  vek_setFallbackToEnvJavaHome(true);
  return vek_setJavaLibPath(const_cast<const char**>(argv), launcher.home.c_str(), VEK_PREFER_SERVER_VM, nullptr);
}

bool start_vm() {
  OptionList options;
  if (options.list == nullptr) return false;
  options.class_path = std::string("-Djava.class.path=") + launcher.options.class_path;
  options.state = std::string("-Dvek.launcher.state=") + launcher.options.state;
  vek_addJavaVMOption(options.list, options.class_path.c_str(), nullptr);
  vek_addJavaVMOption(options.list, options.state.c_str(), nullptr);
  // The signal thread owns SIGQUIT, SIGTERM and the others, not the VM.
  vek_addJavaVMOption(options.list, "-Xrs", nullptr);
  JNIEnv* env = nullptr;
  if (vek_startJavaVM(&launcher.vm, &env, launcher.home.c_str(), options.list, VEK_PREFER_SERVER_VM, JNI_VERSION_1_8) <
      0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "No Java VM could be started for the %s launcher", launcher.options.app);
    launcher.vm = nullptr;
    return false;
  }
  return true;
}

// ---- The run -------------------------------------------------------------------------

// As the first process of a container (or with --init) the signal thread
// reaps ended children; with --init elsewhere the launcher becomes the
// reaper of its descendants' orphans.
void start_reaping() {
  const bool first_process = getpid() == 1;
  if (!first_process && !launcher.options.init) return;
  if (!first_process && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
    veklog(VEK_HERE, VEKLOG_WARN, "Could not become the reaper of orphaned descendants: %s", strerror(errno));
  vek_setChildReaping(true);
  veklog(VEK_HERE, VEKLOG_INFO, "Reaping every child that ends%s", first_process ? " (the first process)" : "");
}

// Start-up up to the point where the launcher serves; false when it cannot run.
bool start(int argc, char** argv, std::string& socket_path) {
  const LauncherOptions& options = launcher.options;
  vek_setStateLocation(options.state);
  if (vek_isLauncherRunning(options.app, options.state, false)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "A %s launcher already runs in %s.", options.app, options.state);
    return false;
  }
  if (options.daemon) {
    vek_createPath(options.state, 0777);
    const int daemon = vek_daemonizeProcess(options.app, options.state);
    if (daemon == -1) exit(EXIT_STOPPED);  // the calling process: the daemon runs
    if (daemon == 0) return false;
    log_into_state_directory();
  }
  // The pid file is the real guard: a launcher that started meanwhile holds its lock.
  if (!vek_recordLauncherStartup(options.app, options.state)) return false;
  vek_installSignalBlock();
  vek_registerSignalHandlers(on_signal);
  start_reaping();
  if (options.class_path != nullptr) {
    vek_addMessageProcessor(stop_watcher);
    notify("STATUS=Starting the Java VM");
    if (!start_vm()) return false;
  } else {
    vek_addMessageProcessor(native_processor);
  }
  vek_addMessageProcessor(probe_processor);
  char* path = vek_getMessagePath(options.app, options.state);
  if (path == nullptr) return false;
  socket_path = path;
  free(path);
  launcher.socket_path = socket_path;
  launcher.probe_text = "veklauncher watchdog probe " + std::to_string(getpid()) + " " + std::to_string(time(nullptr));
  if (vek_startMessageServer(socket_path.c_str()) < 0) return false;
  veklog_dumpCmdLineArgs(argc, argv, VEKLOG_DEBUG, nullptr);
  veklog(VEK_HERE, VEKLOG_INFO, "veklauncher %s running in %s (pid %ld%s), messages at %s", options.app, options.state,
         static_cast<long>(getpid()), launcher.vm != nullptr ? ", Java VM" : "", socket_path.c_str());
  return true;
}

int run(int argc, char** argv) {
  if (!parse_command_line(argc, argv, launcher.options)) {
    fprintf(stderr, "%s", USAGE);
    return EXIT_NOT_STARTED;
  }
  if (launcher.options.class_path != nullptr && !prepare_vm_library(argv)) return EXIT_NOT_STARTED;
  // The manager's variables are the launcher's, not its children's.
  vek_takeServiceEnvironment();
  std::string socket_path;
  if (!start(argc, argv, socket_path)) {
    notify("STATUS=Could not start");
    return EXIT_NOT_STARTED;
  }
  // The pid file is written and the server listens.
  notify("READY=1\nSTATUS=Serving requests at " + socket_path);
  std::thread watchdog = start_watchdog();
  CommandRun command;
  if (launcher.options.command != nullptr && !start_command(command))
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not start the command of --run: %s", launcher.options.command);
  std::string reason;
  {
    std::unique_lock<std::mutex> lock(launcher.mutex);
    launcher.stopped.wait(lock, [] { return !launcher.stop_reason.empty(); });
    reason = launcher.stop_reason;
  }
  veklog(VEK_HERE, VEKLOG_INFO, "veklauncher %s stopping after %s", launcher.options.app, reason.c_str());
  end_command(command);
  // The server goes first: a probe it has not answered then fails instead of holding the stop.
  vek_stopMessageServer(socket_path.c_str());
  if (watchdog.joinable()) watchdog.join();
  if (launcher.vm != nullptr) vek_destroyJavaVM(launcher.vm);
  // Exit processing removes the pid file.
  return EXIT_STOPPED;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  init_logging();
  return run(argc, argv);
}
