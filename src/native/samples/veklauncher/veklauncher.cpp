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
//   veklauncher --app NAME --state DIR [--daemon] [--cp CLASSPATH]
//
// SIGQUIT writes a thread dump into DIR. With --daemon the log goes to
// DIR/veklauncher-NAME.log, else to the console; NIMBO_DEBUG=1 (or 2) shows
// the debug lines. With --cp the Java runtime is that of JAVA_HOME.
// Exit status: 0 after a stop, 1 when the launcher could not start.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

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
#include "vek_sighandler.h"

namespace {

constexpr int EXIT_STOPPED = 0;
constexpr int EXIT_NOT_STARTED = 1;

const char* const USAGE =
    "Usage: veklauncher --app NAME --state DIR [--daemon] [--cp CLASSPATH]\n"
    "  --app NAME       the application: names the pid file and the message socket\n"
    "  --state DIR      the state directory (pid file, thread dumps, the daemon's log)\n"
    "  --daemon         run as a daemon in DIR\n"
    "  --cp CLASSPATH   host a Java VM (JAVA_HOME's runtime) whose MessageHandler answers requests\n";

// What the command line asked for. The texts point into argv.
struct LauncherOptions {
  const char* app = nullptr;         // application name
  const char* state = nullptr;       // state directory
  bool daemon = false;               // become a daemon
  const char* class_path = nullptr;  // class path of the hosted VM, or null for none
};

// The launcher's run, shared with the processors and the signal thread.
struct Launcher {
  LauncherOptions options;
  std::mutex mutex;                  // guards stop_reason
  std::condition_variable stopped;   // signalled when stop_reason is set
  std::string stop_reason;           // why the launcher stops; empty while it runs
  std::string home;                  // the launcher's directory: its installation, for the VM search
  JavaVM* vm = nullptr;              // the hosted VM, or null
};
// Never destroyed: the process may exit on another thread (the VM's, when
// its Java handler calls System.exit) while the main thread waits on
// `stopped`, and destroying a condition variable that has a waiter blocks
// for ever.
Launcher& launcher = *new Launcher;

void request_stop(const std::string& why) {
  std::lock_guard<std::mutex> lock(launcher.mutex);
  if (launcher.stop_reason.empty()) launcher.stop_reason = why;
  launcher.stopped.notify_all();
}

bool parse_command_line(int argc, char** argv, LauncherOptions& out) {
  static const vek_option long_options[] = {{"app", 1, nullptr, 'a'},   {"state", 1, nullptr, 's'},
                                            {"daemon", 0, nullptr, 'd'}, {"cp", 1, nullptr, 'c'},
                                            {"help", 0, nullptr, 'h'},   {nullptr, 0, nullptr, 0}};
  for (int option; (option = vek_getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
    switch (option) {
      case 'a': out.app = vek_optarg; break;
      case 's': out.state = vek_optarg; break;
      case 'd': out.daemon = true; break;
      case 'c': out.class_path = vek_optarg; break;
      default: return false;
    }
  }
  return vek_optind == argc && out.app != nullptr && out.state != nullptr;
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
    case SIGQUIT:
      thread_dump("SIGQUIT");
      break;
    case SIGTERM:
    case SIGINT:
      request_stop(std::string("signal ") + strsignal(signal_number));
      break;
    default:
      veklog(VEK_HERE, VEKLOG_INFO, "Signal %d ignored", signal_number);
      break;
  }
  return 0;
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
  if (vek_startJavaVM(&launcher.vm, &env, launcher.home.c_str(), options.list, VEK_PREFER_SERVER_VM,
                      JNI_VERSION_1_8) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "No Java VM could be started for the %s launcher", launcher.options.app);
    launcher.vm = nullptr;
    return false;
  }
  return true;
}

// ---- The run -------------------------------------------------------------------------

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
  if (options.class_path != nullptr) {
    vek_addMessageProcessor(stop_watcher);
    if (!start_vm()) return false;
  } else {
    vek_addMessageProcessor(native_processor);
  }
  char* path = vek_getMessagePath(options.app, options.state);
  if (path == nullptr) return false;
  socket_path = path;
  free(path);
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
  std::string socket_path;
  if (!start(argc, argv, socket_path)) return EXIT_NOT_STARTED;
  std::string reason;
  {
    std::unique_lock<std::mutex> lock(launcher.mutex);
    launcher.stopped.wait(lock, [] { return !launcher.stop_reason.empty(); });
    reason = launcher.stop_reason;
  }
  veklog(VEK_HERE, VEKLOG_INFO, "veklauncher %s stopping after %s", launcher.options.app, reason.c_str());
  vek_stopMessageServer(socket_path.c_str());
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
