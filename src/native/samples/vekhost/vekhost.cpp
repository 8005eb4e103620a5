// vekhost: a sample host program showing how a product launcher starts its
// Java VM with VekUtil. It finds the VM library of the product home (or of
// JAVA_HOME), puts the library's directories on the loader path by
// re-executing itself once, builds the VM options, starts the VM, replays
// the cached start-up log into it, runs the main class and destroys the VM.
//
//   vekhost --home DIR [--fallback] [--client] [--heap-dump FILE]
//           [JVM-OPTION...] --cp CLASSPATH MAINCLASS [ARG...]
//
// Exit status: 0 when main returned, 1 when it threw (or could not be
// called), 2 when no VM could be found or started or the command line was
// wrong. The log goes to the console; NIMBO_DEBUG=1 (or 2) shows the debug
// lines.
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_logging_cache.h"
#include "vek_logging_console.h"
#include "vek_logging_vm.h"
#include "vek_nativefile.h"

namespace {

constexpr int EXIT_MAIN_RETURNED = 0;
constexpr int EXIT_MAIN_THREW = 1;
constexpr int EXIT_NO_VM = 2;

const char* const USAGE =
    "Usage: vekhost --home DIR [--fallback] [--client] [--heap-dump FILE] [JVM-OPTION...] --cp CLASSPATH MAINCLASS "
    "[ARG...]\n"
    "  --home DIR        product home whose jre directory holds the Java runtime (preferred Java home)\n"
    "  --fallback        use the runtime of JAVA_HOME when DIR has none\n"
    "  --client          prefer the client VM (default: server VM)\n"
    "  --heap-dump FILE  write a heap dump of live objects to FILE (ending in .hprof) after main\n"
    "  JVM-OPTION        any option starting with '-', handed to the VM in order (-Xrs is added)\n"
    "  --cp CLASSPATH    class path of the application\n"
    "  MAINCLASS         class whose static main(String[]) runs, e.g. com.example.Main\n"
    "Exit status: 0 main returned, 1 main threw, 2 no Java VM could be found or started (or bad usage).\n";

// What the command line asked for. The texts point into argv.
struct HostOptions {
  const char* home = nullptr;           // product home: preferred Java home and installation directory
  bool fallback = false;                // search JAVA_HOME when the home has no VM library
  bool client = false;                  // prefer the client VM
  const char* heap_dump = nullptr;      // heap dump written after main, or null
  std::vector<const char*> vm_options;  // JVM options in command-line order
  const char* class_path = nullptr;     // the application's class path
  const char* main_class = nullptr;     // dotted class name
  std::vector<const char*> main_args;   // arguments of main
};

// Takes the value of option `name` at argv[i], given as "--name VALUE" or
// "--name=VALUE"; advances i past it. False when `arg` is not that option.
bool take_value(int argc, const char** argv, int& i, std::string_view name, const char*& value, std::string& error) {
  std::string_view arg = argv[i];
  if (arg.substr(0, name.size()) != name) return false;
  if (arg.size() > name.size() && arg[name.size()] == '=') {
    value = argv[i] + name.size() + 1;
  } else if (arg.size() == name.size()) {
    if (i + 1 >= argc) {
      error = std::string(name) + " needs a value";
      value = nullptr;
      return true;
    }
    value = argv[++i];
  } else {
    return false;
  }
  return true;
}

// Fills `out`; false with `error` when the command line is not usable.
bool parse_command_line(int argc, const char** argv, HostOptions& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (take_value(argc, argv, i, "--home", out.home, error) ||
        take_value(argc, argv, i, "--heap-dump", out.heap_dump, error)) {
      if (!error.empty()) return false;
    } else if (take_value(argc, argv, i, "--cp", out.class_path, error)) {
      if (!error.empty()) return false;
      if (i + 1 >= argc) {
        error = "the main class is missing after --cp";
        return false;
      }
      out.main_class = argv[++i];
      out.main_args.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--fallback") {
      out.fallback = true;
    } else if (arg == "--client") {
      out.client = true;
    } else if (!arg.empty() && arg[0] == '-') {
      out.vm_options.push_back(argv[i]);
    } else {
      veklog(VEK_HERE, VEKLOG_WARN, "Ignoring '%s': Java VM options start with '-'", argv[i]);
    }
  }
  if (out.home == nullptr)
    error = "--home DIR is required";
  else if (out.class_path == nullptr)
    error = "--cp CLASSPATH MAINCLASS is required";
  return error.empty();
}

// Copies start-up events into the library's cache. vekhost registers this
// instead of the caching logger itself so that the logging core does not
// replay the cache into the VM on its own: vekhost replays it only when the
// VM holds the product's logging classes (a plain application has none,
// and the VM logger would give up loudly on each cached event).
void cache_startup_event(vek_log_event_t* event) { vek_cachingLogger(event); }

void init_logging() {
  vek_addLogger(vek_consoleLogger);
  const char* setting = getenv("NIMBO_DEBUG");
  long value = strtol(setting != nullptr ? setting : "0", nullptr, 10);
  vek_setLogLevel(value == 1 ? VEKLOG_DEBUG : value == 2 ? VEKLOG_DEBUG2 : VEKLOG_INFO);
  vek_addLogger(cache_startup_event);
}

bool vm_has_class(JNIEnv* env, const char* name) {
  jclass found = env->FindClass(name);
  if (found == nullptr) {
    env->ExceptionClear();
    return false;
  }
  env->DeleteLocalRef(found);
  return true;
}

// The cached start-up log goes into the VM's logging, which then receives
// every later line as well; without the logging classes the console is all.
void replay_startup_log(JNIEnv* env) {
  vek_removeLogger(cache_startup_event);
  if (vm_has_class(env, "com/nimbo/common/log/LogCategory") && vm_has_class(env, "com/nimbo/common/log/LogLevel")) {
    vek_pushCachedLogMessagesToVm();
    vek_addLogger(vek_javaVMLogger);
    return;
  }
  vek_cleanCachedLogMessages();
  veklog(VEK_HERE, VEKLOG_DEBUG, "The Java VM has no product logging classes: the log stays on the console");
}

// The owned option list: records freed with the list; texts belong to argv
// or to the strings kept beside it.
struct OptionList {
  vek_list_t* list = vek_listCreate(8);
  std::string class_path_option;  // "-Djava.class.path=..."
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

void build_vm_options(const HostOptions& host, OptionList& options) {
  options.class_path_option = std::string("-Djava.class.path=") + host.class_path;
  vek_addJavaVMOption(options.list, options.class_path_option.c_str(), nullptr);
  for (const char* option : host.vm_options) vek_addJavaVMOption(options.list, option, nullptr);
  // The host keeps the process's signals: Ctrl-C and kill end it as any program.
  vek_addJavaVMOption(options.list, "-Xrs", nullptr);
  vek_logJavaVMOptions(options.list, VEKLOG_DEBUG);
}

// A Java string of native text in the VM's default encoding, as the Java
// launcher makes main's arguments; null with an exception pending.
jstring native_to_java(JNIEnv* env, const char* text) {
  auto length = static_cast<jsize>(std::strlen(text));
  jbyteArray bytes = env->NewByteArray(length);
  if (bytes == nullptr) return nullptr;
  env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(text));
  jclass string_class = env->FindClass("java/lang/String");
  jmethodID from_bytes = string_class != nullptr ? env->GetMethodID(string_class, "<init>", "([B)V") : nullptr;
  auto result = from_bytes != nullptr ? static_cast<jstring>(env->NewObject(string_class, from_bytes, bytes)) : nullptr;
  env->DeleteLocalRef(bytes);
  if (string_class != nullptr) env->DeleteLocalRef(string_class);
  return result;
}

jobjectArray make_main_args(JNIEnv* env, const std::vector<const char*>& args) {
  jclass string_class = env->FindClass("java/lang/String");
  if (string_class == nullptr) return nullptr;
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(args.size()), string_class, nullptr);
  for (size_t i = 0; array != nullptr && i < args.size(); ++i) {
    jstring arg = native_to_java(env, args[i]);
    if (arg == nullptr) return nullptr;
    env->SetObjectArrayElement(array, static_cast<jsize>(i), arg);
    env->DeleteLocalRef(arg);
  }
  return array;
}

// Logs `text` at ERROR with the pending exception, which is cleared first
// (the VM logger cannot deliver while one is pending).
void log_failure(JNIEnv* env, const char* text, const char* detail) {
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  veklog_ex(VEK_HERE, VEKLOG_ERROR, pending, "%s %s", text, detail);
}

// Calls MAINCLASS.main(ARG...); the exit status it earns.
int run_main(JNIEnv* env, const HostOptions& host) {
  std::string slash_name = host.main_class;
  for (char& c : slash_name)
    if (c == '.') c = '/';
  jclass main_class = env->FindClass(slash_name.c_str());
  if (main_class == nullptr) {
    log_failure(env, "Could not find or load main class", host.main_class);
    return EXIT_MAIN_THREW;
  }
  jmethodID main_method = env->GetStaticMethodID(main_class, "main", "([Ljava/lang/String;)V");
  if (main_method == nullptr) {
    log_failure(env, "This class has no method public static void main(String[]):", host.main_class);
    return EXIT_MAIN_THREW;
  }
  jobjectArray args = make_main_args(env, host.main_args);
  if (args == nullptr) {
    log_failure(env, "Could not pass the arguments to", host.main_class);
    return EXIT_MAIN_THREW;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Calling %s.main() with %lu arguments", host.main_class,
         static_cast<unsigned long>(host.main_args.size()));
  env->CallStaticVoidMethod(main_class, main_method, args);
  if (!env->ExceptionCheck()) return EXIT_MAIN_RETURNED;
  // As the Java launcher does: the stack trace on standard error.
  env->ExceptionDescribe();
  return EXIT_MAIN_THREW;
}

int host(int argc, const char** argv) {
  HostOptions host_options;
  std::string error;
  if (!parse_command_line(argc, argv, host_options, error)) {
    std::fprintf(stderr, "vekhost: %s\n%s", error.c_str(), USAGE);
    return EXIT_NO_VM;
  }
  veklog_dumpCmdLineArgs(argc, const_cast<char**>(argv), VEKLOG_DEBUG, nullptr);
  int preference = host_options.client ? VEK_PREFER_CLIENT_VM : VEK_PREFER_SERVER_VM;
  vek_setPreferredJavaHome(host_options.home);
  vek_setFallbackToEnvJavaHome(host_options.fallback);
  // The first pass re-executes vekhost with the new loader path and does not return.
  if (!vek_setJavaLibPath(argv, host_options.home, preference, nullptr)) return EXIT_NO_VM;

  OptionList options;
  if (options.list == nullptr) return EXIT_NO_VM;
  build_vm_options(host_options, options);
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (vek_startJavaVM(&vm, &env, host_options.home, options.list, preference, JNI_VERSION_1_8) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "No Java VM could be started for %s", host_options.home);
    return EXIT_NO_VM;
  }
  // Binds com.nimbo.common.io.NativeFile when the class path has it; an
  // application without it simply goes without (nothing is logged then).
  vek_registerNativeIOOperations(env);
  replay_startup_log(env);

  int status = run_main(env, host_options);
  if (host_options.heap_dump != nullptr && vek_generateHeapDump(env, host_options.heap_dump, true))
    veklog(VEK_HERE, VEKLOG_INFO, "Heap dump written to %s", host_options.heap_dump);
  // Waits for the application's remaining non-daemon threads, as the Java launcher does.
  vek_destroyJavaVM(vm);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  init_logging();
  return host(argc, const_cast<const char**>(argv));
}
