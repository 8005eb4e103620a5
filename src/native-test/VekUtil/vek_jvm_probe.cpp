// Test program for what needs a pristine process: the re-execution of
// vek_setJavaLibPath, and VM starts that must not meet a VM or a VM library
// already in the process. It logs to the console and prints "key=value"
// lines for the tests to read.
//
//   vek_jvm_probe restart INSTALLDIR          loader path and re-execution
//   vek_jvm_probe preloaded INSTALLDIR LIB    start with LIB already loaded
//   vek_jvm_probe bare INSTALLDIR CLASSPATH HPROF
//                                             start a VM without the Java side
//                                             and ask it for the dumps
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vek_jvmutils.h"
#include "vek_lifecycle.h"
#include "vek_logging.h"
#include "vek_logging_console.h"

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

int restart(const char** argv, const char* install_dir) {
  std::printf("entry marker=%s\n", env_or_dash("VEK_RESTART_IN_PROGRESS"));
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
  std::fprintf(stderr, "usage: vek_jvm_probe restart DIR | preloaded DIR LIB | bare DIR CLASSPATH HPROF\n");
  return 2;
}
