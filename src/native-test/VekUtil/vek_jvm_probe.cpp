// Test program for what needs a pristine process: the re-execution of
// vek_setJavaLibPath, and VM starts that must not meet a VM or a VM library
// already in the process. It logs to the console and prints "key=value"
// lines for the tests to read.
//
//   vek_jvm_probe restart INSTALLDIR          loader path and re-execution (two
//                                             calls), then a child started
//                                             through the process runner
//   vek_jvm_probe preloaded INSTALLDIR LIB    start with LIB already loaded
//   vek_jvm_probe bare INSTALLDIR CLASSPATH HPROF
//                                             start a VM without the Java side
//                                             and ask it for the dumps
//   vek_jvm_probe signals INSTALLDIR CLASSPATH
//                                             a start that fails after its
//                                             retry, a second start, then
//                                             SIGTERM to the process
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"
#include "vek_runner.h"
#include "vek_sighandler.h"

// The VM relies on SIGSEGV and its heap is no business of the leak checker
// (read by an AddressSanitizer build's runtime; unused elsewhere).
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0";
}

namespace {

const char* env_or_dash(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "-";
}

// A child through the process runner reports the loader path it got.
void run_child_reporting_loader_path() {
  vek_list_t* args = vek_listCreate(3);
  for (const char* arg : {"sh", "-c", "echo child-library-path=${LD_LIBRARY_PATH-unset}"})
    vek_listAdd(args, const_cast<char*>(arg));
  vek_process_t child = {};
  child.name = const_cast<char*>("loader path reporter");
  child.exe = const_cast<char*>("/bin/sh");
  child.args = args;
  child.redirect = VEK_REDIRECT_INHERIT;
  std::fflush(stdout);
  vek_execProcess(&child, nullptr);
  free(child.handle);
  vek_listDestroy(args);
}

int restart(const char** argv, const char* install_dir) {
  std::printf("entry marker=%s argv0=%s\n", env_or_dash("VEK_RESTART_IN_PROGRESS"), argv[0]);
  std::fflush(stdout);
  vek_list_t* dirs = vek_listCreate(2);
  vek_listAdd(dirs, strdup("/opt/extra"));  // the caller's own directory stays behind the library's
  bool ok = vek_setJavaLibPath(argv, install_dir, VEK_PREFER_SERVER_VM, dirs);
  std::printf("result=%d marker=%s restarted=%d\nlibrary-path=%s\n", ok ? 1 : 0, env_or_dash("VEK_RESTART_IN_PROGRESS"),
              vek_hasRestarted() ? 1 : 0, env_or_dash("LD_LIBRARY_PATH"));
  for (size_t i = 0; i < vek_listGetSize(dirs); ++i)
    std::printf("dir=%s\n", static_cast<const char*>(vek_listGet(dirs, i)));
  vek_listDeleteAll(dirs);
  vek_listDestroy(dirs);
  if (!ok) return 0;
  // A host that sets the loader path once more (a second start-up step).
  std::printf("again=%d\n", vek_setJavaLibPath(argv, install_dir, VEK_PREFER_SERVER_VM, nullptr) ? 1 : 0);
  run_child_reporting_loader_path();
  return 0;
}

// Starts a VM from `install_dir` with `texts` as options; prints the result
// and the options left in the list.
int start(const char* install_dir, std::initializer_list<const char*> texts, JNIEnv** env) {
  vek_list_t* options = vek_listCreate(4);
  vek_listSetCompare(options, vek_jvmCompareOptions);
  for (const char* text : texts) vek_addJavaVMOption(options, text, nullptr);
  jint rc = vek_startJavaVM(nullptr, env, install_dir, options, VEK_PREFER_SERVER_VM, JNI_VERSION_1_8);
  std::string left;
  for (size_t i = 0; i < vek_listGetSize(options); ++i)
    left += std::string(" ") + static_cast<JavaVMOption*>(vek_listGet(options, i))->optionString;
  std::printf("rc=%d\noptions=%s\n", static_cast<int>(rc), left.c_str());
  std::fflush(stdout);
  vek_listDeleteAll(options);
  vek_listDestroy(options);
  return rc;
}

int preloaded(const char* install_dir, const char* library) {
  if (dlopen(library, RTLD_NOW | RTLD_GLOBAL) == nullptr) {
    std::printf("cannot load %s\n", library);
    return 3;
  }
  vek_setFallbackToEnvJavaHome(true);
  start(install_dir, {"-Xmx64m", "-XX:+UseAltSigs", "-Xrs"}, nullptr);
  return 0;
}

int bare(const char* install_dir, const char* class_path, const char* hprof) {
  std::string class_path_option = std::string("-Djava.class.path=") + class_path;
  JNIEnv* env = nullptr;
  if (start(install_dir, {class_path_option.c_str(), "-Xmx64m", "-Xrs", "-XX:+UseSerialGC", "-XX:TieredStopAtLevel=1"},
            &env) != 0)
    return 3;
  std::printf("heap=%d\n", vek_generateHeapDump(env, hprof, true) ? 1 : 0);
  std::fflush(stdout);
  vek_generateSupportBundle(env);
  vek_generateJVMThreadDump(env);
  std::printf("pending=%d\n", env->ExceptionCheck() ? 1 : 0);
  return 0;
}

std::atomic<int> host_signal{0};
int note_signal(int signal_number) {
  host_signal.store(signal_number);
  return 0;
}

// A start whose retry fails as well (an option that no runtime knows), then
// a start without that option: the VM must run with -Xrs, so that SIGTERM
// reaches the host's signal thread instead of the VM's own handlers, and
// with its class path.
int signals(const char* install_dir, const char* class_path) {
  vek_installSignalBlock();
  vek_registerSignalHandlers(note_signal);
  std::string class_path_option = std::string("-Djava.class.path=") + class_path;
  vek_list_t* options = vek_listCreate(4);
  vek_listSetCompare(options, vek_jvmCompareOptions);
  for (const char* text : {class_path_option.c_str(), "-Xmx64m", "-XX:+UseAltSigs", "-Xrs", "-XX:+VekNoSuchOption"})
    vek_addJavaVMOption(options, text, nullptr);
  jint first = vek_startJavaVM(nullptr, nullptr, install_dir, options, VEK_PREFER_SERVER_VM, JNI_VERSION_1_8);
  vek_removeJavaVMOption(options, "-XX:+VekNoSuchOption");
  std::string left;
  for (size_t i = 0; i < vek_listGetSize(options); ++i)
    left += std::string(" ") + static_cast<JavaVMOption*>(vek_listGet(options, i))->optionString;
  JNIEnv* env = nullptr;
  jint second = vek_startJavaVM(nullptr, &env, install_dir, options, VEK_PREFER_SERVER_VM, JNI_VERSION_1_8);
  std::printf("first=%d second=%d\noptions=%s\n", static_cast<int>(first), static_cast<int>(second), left.c_str());
  std::fflush(stdout);
  if (second != 0) return 3;
  // The failed creations' stale properties must not have cost the class path.
  jclass main_class = env->FindClass("vektest/HostMain");
  env->ExceptionClear();
  std::printf("class-path-kept=%d\n", main_class != nullptr ? 1 : 0);
  kill(getpid(), SIGTERM);
  // The VM's handler would end the process; the host's thread records it.
  for (int i = 0; i < 6000 && host_signal.load() == 0; ++i) usleep(10000);
  std::printf("host-signal=%d\n", host_signal.load());
  std::fflush(stdout);
  _exit(0);  // the VM's threads need no orderly end here
}

}  // namespace

int main(int argc, char** argv) {
  vek_lifecycleInit();
  vek_addLogger(vek_consoleLogger);
  veklog_console_setWordWrapping(false);
  vek_setLogLevel(VEKLOG_DEBUG2);
  auto args = const_cast<const char**>(argv);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "restart" && argc == 3) return restart(args, argv[2]);
  if (mode == "preloaded" && argc == 4) return preloaded(argv[2], argv[3]);
  if (mode == "bare" && argc == 5) return bare(argv[2], argv[3], argv[4]);
  if (mode == "signals" && argc == 4) return signals(argv[2], argv[3]);
  std::fprintf(
      stderr,
      "usage: vek_jvm_probe restart DIR | preloaded DIR LIB | bare DIR CLASSPATH HPROF | signals DIR CLASSPATH\n");
  return 2;
}
