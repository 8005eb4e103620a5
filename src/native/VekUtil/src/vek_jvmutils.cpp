// Java VM hosting. Every build: the VM already running in the process,
// per-thread environments, class lookup and java.io.IOException. Linux
// builds also: locating the VM library and setting the loader path, VM
// option lists, starting, joining and destroying the VM, and the calls into
// the Java side (system properties, heap and thread dumps, support bundle).
#include "vek_jvmutils.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vek_dso.h"
#include "vek_logging.h"
#ifndef _WIN32
#include "vek_file.h"
#include "vek_home.h"
#include "vek_jvmutils_platform.h"
#include "vek_lifecycle.h"
#endif

int requested_jni_version = JNI_VERSION_1_2;

namespace {

constexpr size_t IO_EXCEPTION_MESSAGE_BUFFER = 2048;

using get_created_vms_t = jint(JNICALL*)(JavaVM**, jsize, jsize*);

// Takes and clears the pending exception, if any; null when there is none.
jthrowable take_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return nullptr;
  jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  return pending;
}

void log_loader_problem(JNIEnv* env, const char* text) {
  veklog_ex(VEK_HERE, VEKLOG_ERROR, take_exception(env), "%s", text);
}

// A class loader's loadClass takes the binary name ("a.b.C"); callers of
// vek_findClass use the slash form of JNI.
jclass load_with_classloader(JNIEnv* env, jobject classloader, const char* name) {
  jclass loader_class = env->GetObjectClass(classloader);
  if (loader_class == nullptr) {
    log_loader_problem(env, "(internal) Could not get object class from classloader instance");
    return nullptr;
  }
  jmethodID load_class = env->GetMethodID(loader_class, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
  env->DeleteLocalRef(loader_class);
  if (load_class == nullptr) {
    log_loader_problem(env, "(internal) Could not get correct method ID from classloader instance");
    return nullptr;
  }
  std::unique_ptr<char, decltype(&free)> binary_name(strdup(name), &free);
  if (!binary_name) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) Could not copy the class name %s: %s", name, strerror(ENOMEM));
    return nullptr;
  }
  for (char* c = binary_name.get(); *c != '\0'; ++c)
    if (*c == '/') *c = '.';
  jstring java_name = env->NewStringUTF(binary_name.get());
  if (java_name == nullptr) return nullptr;
  jobject found = env->CallObjectMethod(classloader, load_class, java_name);
  env->DeleteLocalRef(java_name);
  return static_cast<jclass>(found);
}

}  // namespace

extern "C" JavaVM* vek_getCreatedJavaVM(void) {
  auto get_created_vms =
      reinterpret_cast<get_created_vms_t>(vek_dsoSymFunc(VEK_RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  if (get_created_vms == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. The function 'JNI_GetCreatedJavaVMs' is not available "
           "in the current address space.");
    return nullptr;
  }
  JavaVM* vm = nullptr;
  jsize count = 0;
  jint result = get_created_vms(&vm, 1, &count);
  if (result != JNI_OK) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. JNI_GetCreatedJavaVMs reports error code %d\n",
           static_cast<int>(result));
    return nullptr;
  }
  if (count < 1 || vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not initialize from an existing JVM. No Java VMs have been started in the current address space");
    return nullptr;
  }
  return vm;
}

extern "C" JNIEnv* vek_getEnvFromJVM(JavaVM* vm) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_getEnvFromJVM() was NULL");
    return nullptr;
  }
  void* env = nullptr;
  if (vm->GetEnv(&env, requested_jni_version) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

extern "C" bool vek_attachThreadToJVM(JavaVM* vm, JNIEnv** env) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_attachThreadToJVM() was NULL");
    return false;
  }
  if (env == nullptr) return false;
  *env = nullptr;
  void* current = nullptr;
  if (vm->GetEnv(&current, requested_jni_version) != JNI_OK || current == nullptr) {
    jint result = vm->AttachCurrentThread(&current, nullptr);
    if (result != JNI_OK) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not attach to JVM thread. Error code: %d", static_cast<int>(result));
      return false;
    }
  }
  *env = static_cast<JNIEnv*>(current);
  return true;
}

extern "C" bool vek_detachThreadFromJVM(JavaVM* vm) {
  if (vm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) JVM object passed to vek_detachThreadFromJVM() was NULL");
    return false;
  }
  jint result = vm->DetachCurrentThread();
  if (result != JNI_OK) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not detach current thread from VM. Error code %d", static_cast<int>(result));
    return false;
  }
  return true;
}

#ifndef _WIN32
extern "C" JNIEnv* vek_acquireJNIEnv(bool* was_attached) {
  JavaVM* vm = vek_getCreatedJavaVM();
  if (vm == nullptr) return nullptr;
  bool attached_here = false;
  JNIEnv* env = vek_getEnvFromJVM(vm);
  if (env == nullptr) {
    if (!vek_attachThreadToJVM(vm, &env)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not obtain current environment pointer from the Java VM");
      if (was_attached != nullptr) *was_attached = false;
      return nullptr;
    }
    attached_here = true;
  }
  if (was_attached != nullptr) *was_attached = attached_here;
  return env;
}
#endif

extern "C" jclass vek_findClass(JNIEnv* env, jobject classloader, const char* name) {
  if (env == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_findClass()");
    return nullptr;
  }
  if (name == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL class name passed to vek_findClass()");
    return nullptr;
  }
  if (classloader != nullptr) {
    jclass found = load_with_classloader(env, classloader, name);
    if (found != nullptr && !env->ExceptionCheck()) return found;
  }
  // The loader's ClassNotFoundException is expected here: fall back quietly.
  env->ExceptionClear();
  jclass found = env->FindClass(name);
  jthrowable failure = take_exception(env);
  if (failure != nullptr)
    veklog_ex(VEK_HERE, VEKLOG_ERROR, failure, "(internal) Could not find or load class %s", name);
  return found;
}

extern "C" void vek_throwIOException(JNIEnv* env, const char* format, ...) {
  if (env == nullptr || format == nullptr) return;
  char message[IO_EXCEPTION_MESSAGE_BUFFER];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  jclass io_exception = env->FindClass("java/io/IOException");
  if (io_exception == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not find exception class java.io.Exception to report:\n%s\n", message);
    return;
  }
  jmethodID constructor = env->GetMethodID(io_exception, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not find correct constructor in java.io.Exception to report:\n%s\n",
           message);
    return;
  }
  jstring text = env->NewStringUTF(message);
  jobject exception = text != nullptr ? env->NewObject(io_exception, constructor, text) : nullptr;
  if (exception == nullptr) {
    env->ExceptionClear();
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not create and instance of java.io.Exception to report:\n%s\n", message);
    return;
  }
  env->Throw(static_cast<jthrowable>(exception));
}

#ifndef _WIN32
// ===========================================================================
// Locating the VM library and the loader path (Linux builds only).
// ===========================================================================
namespace {

using CBuffer = std::unique_ptr<char, decltype(&free)>;

// What an entry point does when memory ran out half way: no exception may
// reach a C caller, so it reports and returns its failure result.
void report_out_of_memory(const char* function) noexcept {
  veklog(VEK_HERE, VEKLOG_ERROR, "(internal) %s() could not complete: out of memory", function);
  errno = ENOMEM;
}

// Process-wide, written by the host's start-up thread before any VM exists;
// no lock (see the header).
struct VmLocationState {
  char preferred_jvm[VEK_PATH_MAX];       // preferred Java home; empty means none
  bool fallbackToEnvJavaHome;             // search $JAVA_HOME when the installation has no library
  bool using_fallback_java_home;          // the last search found the library only under $JAVA_HOME
  char loaded_jvm_library[VEK_PATH_MAX];  // library of the last successful start; empty before
  bool app_has_restarted;                 // the second pass of vek_setJavaLibPath was seen
  bool library_path_set;                  // the loader path of the first pass is in effect
};
VmLocationState location_state{};

constexpr size_t PREFERRED_HOME_MAX_CHARS = 4094;
const char* const RESTART_IN_PROGRESS = "VEK_RESTART_IN_PROGRESS";
const char* const RESTART_STATE = "VEK_RESTART_STATE";
const char* const LIBRARY_PATH_VARIABLE = "LD_LIBRARY_PATH";
const char* const JVM_LIBRARY_NAME = "libjvm";
const char* const JVM_LIBRARY_SUFFIXES[] = {".so"};

// The old runtime layout names the processor in its directories; the build
// for x86_64 searches that runtime's "amd64" where 32-bit x86 has "i386".
#if defined(__x86_64__)
#define VEK_JRE_ARCH "amd64"
#else
#define VEK_JRE_ARCH "i386"
#endif

// Directory lists below a root, each list tried in order. The old layout's
// lists come first (client list first for VEK_PREFER_CLIENT_VM), then the
// lib/{client,server} layout of modular runtimes in the same preference:
// first below the root's jre directory, then, for a root without one, in
// the root itself (a JAVA_HOME naming a Java 9+ runtime has no jre).
struct DirList {
  const char* dirs[2];  // relative directories; a NULL entry ends the list
};
const DirList OLD_CLIENT_DIRS = {{"jre/lib/" VEK_JRE_ARCH "/client", "jre/lib/" VEK_JRE_ARCH "/jrockit"}};
const DirList OLD_SERVER_DIRS = {{"jre/lib/" VEK_JRE_ARCH "/server", "jre/lib/" VEK_JRE_ARCH "/jrockit"}};
const DirList MODERN_CLIENT_DIRS = {{"jre/lib/client", nullptr}};
const DirList MODERN_SERVER_DIRS = {{"jre/lib/server", nullptr}};
const DirList RUNTIME_CLIENT_DIRS = {{"lib/client", nullptr}};
const DirList RUNTIME_SERVER_DIRS = {{"lib/server", nullptr}};

// A list of heap texts that this module owns for one search.
class OwnedTexts {
 public:
  explicit OwnedTexts(size_t growth) : list_(vek_listCreate(growth)) {}
  ~OwnedTexts() {
    if (list_ == nullptr) return;
    vek_listDeleteAll(list_);
    vek_listDestroy(list_);
  }
  OwnedTexts(const OwnedTexts&) = delete;
  OwnedTexts& operator=(const OwnedTexts&) = delete;
  vek_list_t* get() const { return list_; }

 private:
  vek_list_t* list_;
};

// Adds `item` at `index` as a new element even when the list's comparison
// would call it equal to one already there (a list replaces equal elements).
bool insert_new_element(vek_list_t* list, void* item, size_t index) {
  vek_list_compare_t saved = list->comp;
  list->comp = nullptr;
  bool inserted = vek_listInsert(list, item, index);
  list->comp = saved;
  return inserted;
}

// The canonical form of an existing `name`, or `name` itself when it cannot
// be resolved.
std::string full_path_or_same(const std::string& name) {
  char full[VEK_PATH_MAX];
  if (vek_getFullPath(name.c_str(), full, sizeof full) > 0) return full;
  return name;
}

// Appends the canonical form of `candidate` to `target` when it exists.
void append_vm_candidate(const std::string& candidate, vek_list_t* target) {
  if (!vek_doesFileExist(candidate.c_str()) && !vek_doesDirectoryExist(candidate.c_str())) {
    if (!vek_hasRestarted())
      veklog(VEK_HERE, VEKLOG_DEBUG, "Not adding JVM library %s to the search path as it does not exist.",
             candidate.c_str());
    return;
  }
  char* copy = strdup(full_path_or_same(candidate).c_str());
  if (copy == nullptr || !vek_listAdd(target, copy)) free(copy);
}

// Every directory of `list` below `root`, with each library suffix.
void append_vm_paths(const std::string& root, const char* prefix, const DirList& list, vek_list_t* target) {
  for (const char* dir : list.dirs) {
    if (dir == nullptr) break;
    for (const char* suffix : JVM_LIBRARY_SUFFIXES)
      append_vm_candidate(root + "/" + prefix + "/" + dir + "/" + JVM_LIBRARY_NAME + suffix, target);
  }
}

// The existing library candidates of one root, in search order.
void add_vm_path(const char* root, int preference, vek_list_t* target) {
  if (root == nullptr || root[0] == '\0' || target == nullptr) return;
  std::string base(root);
  // A root that is itself a runtime directory named jre is reached through its parent.
  const char* prefix = vek_doesDirectoryExist((base + "/jre").c_str()) ? "" : "..";
  bool client_first = preference == VEK_PREFER_CLIENT_VM;
  const DirList* order[] = {
      client_first ? &OLD_CLIENT_DIRS : &OLD_SERVER_DIRS, client_first ? &OLD_SERVER_DIRS : &OLD_CLIENT_DIRS,
      client_first ? &MODERN_CLIENT_DIRS : &MODERN_SERVER_DIRS,
      client_first ? &MODERN_SERVER_DIRS : &MODERN_CLIENT_DIRS};
  for (const DirList* list : order) append_vm_paths(base, prefix, *list, target);
  if (prefix[0] == '\0') return;
  append_vm_paths(base, "", client_first ? RUNTIME_CLIENT_DIRS : RUNTIME_SERVER_DIRS, target);
  append_vm_paths(base, "", client_first ? RUNTIME_SERVER_DIRS : RUNTIME_CLIENT_DIRS, target);
}

// The first candidate that is a file, or null. Only candidates that exist
// enter a list, so one that is not a file is a directory of that name.
const char* first_library_file(vek_list_t* candidates, bool warn_about_first, bool quiet) {
  size_t count = candidates != nullptr ? vek_listGetSize(candidates) : 0;
  for (size_t i = 0; i < count; ++i) {
    auto candidate = static_cast<const char*>(vek_listGet(candidates, i));
    if (vek_doesFileExist(candidate)) {
      if (!quiet) veklog(VEK_HERE, VEKLOG_DEBUG, "Found Java shared library '%s'", candidate);
      return candidate;
    }
    if (i == 0 && warn_about_first && !quiet)
      veklog(VEK_HERE, VEKLOG_WARN,
             "Could not find the preferred Java VM shared library at '%s'. Starting search for fallback Java VM's.",
             candidate);
  }
  return nullptr;
}

// Copies the canonical form of `found` into `path`, always terminated;
// false with ENAMETOOLONG when it had to be cut.
bool store_library_path(const char* found, char* path, size_t pathLength) {
  std::string full = full_path_or_same(found);
  size_t length = full.size() < pathLength - 1 ? full.size() : pathLength - 1;
  std::memcpy(path, full.data(), length);
  path[length] = '\0';
  if (full.size() > pathLength - 1) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

}  // namespace

extern "C" void vek_setPreferredJavaHome(const char* path) {
  const char* text = path != nullptr ? path : "";
  size_t length = strnlen(text, PREFERRED_HOME_MAX_CHARS);
  std::memcpy(location_state.preferred_jvm, text, length);
  location_state.preferred_jvm[length] = '\0';
  veklog(VEK_HERE, VEKLOG_DEBUG, "Set preferred Java home to '%s'", location_state.preferred_jvm);
}

extern "C" const char* vek_getPreferredJavaHome(void) {
  return location_state.preferred_jvm[0] != '\0' ? location_state.preferred_jvm : nullptr;
}

extern "C" void vek_setFallbackToEnvJavaHome(bool fallback) {
  location_state.fallbackToEnvJavaHome = fallback;
  veklog(VEK_HERE, VEKLOG_DEBUG, fallback ? "Enable fall back to JAVA_HOME" : "Disable fallback to JAVA_HOME");
}

extern "C" bool vek_getJVMLibrary(char* path, size_t pathLength, const char* basedir, int vmPreference) try {
  if (path == nullptr || pathLength == 0) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Empty buffer passed to vek_getJVMLibrary(). This is an internal programming error");
    errno = EINVAL;
    return false;
  }
  if (vmPreference != VEK_PREFER_CLIENT_VM && vmPreference != VEK_PREFER_SERVER_VM) {
    veklog(VEK_HERE, VEKLOG_WARN, "(INTERNAL) Invalid argument for vmPreference(%d), assuming VEK_PREFER_SERVER_VM",
           vmPreference);
    vmPreference = VEK_PREFER_SERVER_VM;
  }
  OwnedTexts primary(5);
  OwnedTexts fallback(1);
  add_vm_path(vek_getPreferredJavaHome(), vmPreference, primary.get());
  add_vm_path(basedir, vmPreference, primary.get());
  const char* java_home = getenv("JAVA_HOME");
  if (location_state.fallbackToEnvJavaHome && java_home != nullptr) add_vm_path(java_home, vmPreference, fallback.get());

  // The second pass after a re-execution repeats the first pass's search: keep it quiet.
  bool quiet = vek_hasRestarted();
  location_state.using_fallback_java_home = false;
  const char* found = first_library_file(primary.get(), true, quiet);
  if (found == nullptr) {
    found = first_library_file(fallback.get(), false, quiet);
    if (found == nullptr) {
      errno = ENOENT;
      return false;
    }
    if (!quiet) veklog(VEK_HERE, VEKLOG_WARN, "Bundled JRE is missing, fall back to JAVA_HOME: '%s'", found);
    location_state.using_fallback_java_home = true;
  }
  return store_library_path(found, path, pathLength);
} catch (...) {
  report_out_of_memory("vek_getJVMLibrary");
  return false;
}

extern "C" char* vek_getLoadedVMlibrary(void) { return strdup(location_state.loaded_jvm_library); }

extern "C" bool vek_hasRestarted(void) {
  return location_state.app_has_restarted || getenv(RESTART_IN_PROGRESS) != nullptr;
}

namespace {

// Puts copies of the library's directory and of that directory's parent at
// the front of `dirs`; false when out of memory.
bool prepend_library_dirs(const char* library, vek_list_t* dirs) {
  CBuffer dir(vek_getDirName(library), &free);
  if (dir == nullptr) return false;
  CBuffer parent(vek_getDirName(dir.get()), &free);
  if (parent == nullptr) return false;
  if (!insert_new_element(dirs, dir.get(), 0)) return false;
  dir.release();
  if (!insert_new_element(dirs, parent.get(), 1)) return false;
  parent.release();
  return true;
}

// `dirs` joined with ':', each logged.
std::string join_library_dirs(vek_list_t* dirs) {
  std::string joined;
  size_t count = vek_listGetSize(dirs);
  for (size_t i = 0; i < count; ++i) {
    auto dir = static_cast<const char*>(vek_listGet(dirs, i));
    if (dir == nullptr) continue;
    veklog(VEK_HERE, VEKLOG_DEBUG, "Adding shared library directory %s", dir);
    if (!joined.empty()) joined += ':';
    joined += dir;
  }
  return joined;
}

bool set_or_report(const char* name, const char* value) {
  if (vek::jvm::set_environment(name, value)) return true;
  veklog(VEK_HERE, VEKLOG_FATAL, "Could not set %s in the environment: %s", name, strerror(errno));
  return false;
}

// The first pass: loader path and marker into the environment, then the
// program again from its start. Returns only when the environment cannot be
// set (false); a failed re-execution ends the process.
bool restart_with_library_path(const char** argv, const char* installDir, vek_list_t* dirs) {
  // Without the marker the new image would restart again, for ever.
  if (!set_or_report(RESTART_IN_PROGRESS, "true")) return false;
  if (installDir == nullptr || !vek_doesDirectoryExist(installDir))
    veklog(VEK_HERE, VEKLOG_WARN,
           "The provided installation directory '%s', does not exist or cannot be accessed. This may mean that the "
           "Java VM library will not load properly.",
           installDir != nullptr ? installDir : "(null)");
  std::string joined = join_library_dirs(dirs);
  if (!set_or_report(LIBRARY_PATH_VARIABLE, joined.c_str())) {
    vek::jvm::unset_environment(RESTART_IN_PROGRESS);
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Setting shared library path %s to '%s'", LIBRARY_PATH_VARIABLE, joined.c_str());

  const char* executable = vek_getExecutablePath(argv[0]);
  if (executable == nullptr) {
    veklog(VEK_HERE, VEKLOG_FATAL,
           "Could not determine the path the the executable. Cannot reset the library path without it. Tried "
           "finding full path to '%s'",
           argv[0] != nullptr ? argv[0] : "(null)");
    exit(1);
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Restarting the current process to install the new %s settings",
         LIBRARY_PATH_VARIABLE);
  std::vector<char*> args{const_cast<char*>(executable)};
  for (size_t i = 1; argv[0] != nullptr && argv[i] != nullptr; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  vek::jvm::execute(executable, args.data());
  veklog(VEK_HERE, VEKLOG_FATAL, "Could not restart the executable with new library path: %s", strerror(errno));
  exit(1);
}

// The VM library for a start; the FATAL line when there is none.
bool find_vm_library(char* library, size_t size, const char* installDir, int vmPreference) {
  if (vek_getJVMLibrary(library, size, installDir, vmPreference)) return true;
  int error = errno;
  veklog(VEK_HERE, VEKLOG_FATAL,
         "Could not find any Java VM shared library. The program will not be able to start correctly. Please "
         "check the JRE subdirectory of the application home directory %s. The error was '%s'",
         installDir != nullptr ? installDir : "(null)", strerror(error));
  return false;
}

}  // namespace

extern "C" bool vek_setJavaLibPath(const char** argv, const char* installDir, int vmPreference, vek_list_t* dirs) try {
  if (argv == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL argument vector passed to vek_setJavaLibPath(). This is an internal programming error");
    return false;
  }
  char library[VEK_PATH_MAX];
  if (!find_vm_library(library, sizeof library, installDir, vmPreference)) return false;
  OwnedTexts own_dirs(2);
  vek_list_t* search_dirs = dirs != nullptr ? dirs : own_dirs.get();
  if (search_dirs == nullptr || !prepend_library_dirs(library, search_dirs)) {
    veklog(VEK_HERE, VEKLOG_FATAL, "Could not build the shared library path for %s: out of memory", library);
    return false;
  }
  if (getenv(RESTART_IN_PROGRESS) == nullptr && getenv(RESTART_STATE) == nullptr)
    return restart_with_library_path(argv, installDir, search_dirs);

  vek::jvm::unset_environment(RESTART_IN_PROGRESS);
  veklog(VEK_HERE, VEKLOG_DEBUG2, "This is at least the second pass through the startup code");
  location_state.app_has_restarted = true;
  location_state.library_path_set = true;
  return true;
} catch (...) {
  report_out_of_memory("vek_setJavaLibPath");
  return false;
}

// ===========================================================================
// VM option lists (Linux builds only).
// ===========================================================================
namespace {

// Option kinds by prefix, looked up in this order (first match wins). Two
// options of kinds 1 to 7 are the same option whatever their values; -D and
// -XX: options (8, 9) are the same when their names are.
struct OptionClass {
  const char* prefix;  // leading text of the option
  int kind;            // identity class
};
const OptionClass OPTION_CLASSES[] = {
    {"-esa", 1}, {"-enablesystemassertions", 1}, {"-dsa", 1}, {"-disablesystemassertions", 1},
    {"-ea", 2},  {"-enableassertions", 2},       {"-da", 2},  {"-disableassertions", 2},
    {"-Xmx", 3}, {"-Xms", 4},                    {"-Xss", 5}, {"-Xbootclasspath", 6},
    {"-classpath", 7}, {"-cp", 7},               {"-D", 8},   {"-XX:", 9},
};
constexpr int UNCLASSIFIED_OPTION = -1;
constexpr int LAST_KIND_COMPARED_BY_CLASS = 7;
constexpr int SYSTEM_PROPERTY_OPTION = 8;
constexpr int ADVANCED_OPTION = 9;

// Prefixes removed from a -D or -XX: option to get its name (one at most).
const char* const NAME_PREFIXES[] = {"-D", "-XX:+", "-XX:-", "-XX:"};

constexpr size_t MEMORY_OPTION_PREFIX_LENGTH = 4;  // "-Xmx", "-Xms", "-Xss"
constexpr unsigned long NO_MEMORY_VALUE = static_cast<unsigned long>(-1);
constexpr size_t OPTION_NOT_FOUND = static_cast<size_t>(-1);

int identify_option(std::string_view option) {
  for (const OptionClass& entry : OPTION_CLASSES)
    if (option.substr(0, std::strlen(entry.prefix)) == entry.prefix) return entry.kind;
  return UNCLASSIFIED_OPTION;
}

// The text up to the first '=', without its -D / -XX:+ / -XX:- / -XX: prefix.
std::string_view get_option_name(std::string_view option) {
  std::string_view name = option.substr(0, option.find('='));
  for (const char* prefix : NAME_PREFIXES) {
    size_t length = std::strlen(prefix);
    if (name.substr(0, length) == prefix) {
      name.remove_prefix(length);
      break;
    }
  }
  return name;
}

// The option text held by a list slot; "" for an empty slot or record.
std::string_view option_in_slot(const void* slot) {
  auto record = slot != nullptr ? *static_cast<const JavaVMOption* const*>(slot) : nullptr;
  return record != nullptr && record->optionString != nullptr ? record->optionString : "";
}

int sign_of(int value) { return (value > 0) - (value < 0); }

// vek_listAdd would replace an equal option: append a new element instead.
bool append_new_element(vek_list_t* list, void* item) {
  vek_list_compare_t saved = list->comp;
  list->comp = nullptr;
  bool added = vek_listAdd(list, item);
  list->comp = saved;
  return added;
}

// Megabytes of a memory option's value (digits and at most one unit letter),
// or NO_MEMORY_VALUE. Values beyond 64 bits or beyond unsigned long count as
// malformed rather than wrapping round to a wrong size.
unsigned long parse_megabytes(std::string_view option) {
  if (option.size() <= MEMORY_OPTION_PREFIX_LENGTH) return NO_MEMORY_VALUE;
  std::string_view value = option.substr(MEMORY_OPTION_PREFIX_LENGTH);
  size_t pos = 0;
  int64_t number = 0;
  while (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') {
    int digit = value[pos++] - '0';
    if (number > (INT64_MAX - digit) / 10) return NO_MEMORY_VALUE;
    number = number * 10 + digit;
  }
  if (pos == 0 || value.size() - pos > 1) return NO_MEMORY_VALUE;
  int64_t multiplier = 1;
  if (pos < value.size()) {
    switch (value[pos]) {
      case 'k': case 'K': multiplier = int64_t{1} << 10; break;
      case 'm': case 'M': multiplier = int64_t{1} << 20; break;
      case 'g': case 'G': multiplier = int64_t{1} << 30; break;
      case 't': case 'T': multiplier = int64_t{1} << 40; break;
      default: return NO_MEMORY_VALUE;
    }
  }
  if (number > INT64_MAX / multiplier) return NO_MEMORY_VALUE;
  int64_t megabytes = number * multiplier / (int64_t{1} << 20);
  if (static_cast<uint64_t>(megabytes) >= ULONG_MAX) return NO_MEMORY_VALUE;
  return static_cast<unsigned long>(megabytes);
}

}  // namespace

extern "C" int vek_jvmCompareOptions(const void* left, const void* right) {
  std::string_view l = option_in_slot(left);
  std::string_view r = option_in_slot(right);
  int kind = identify_option(l);
  if (kind >= 1 && kind <= LAST_KIND_COMPARED_BY_CLASS) return kind - identify_option(r);
  if (kind == SYSTEM_PROPERTY_OPTION || kind == ADVANCED_OPTION)
    return sign_of(get_option_name(l).compare(get_option_name(r)));
  return sign_of(l.compare(r));
}

extern "C" void vek_addJavaVMOption(vek_list_t* list, const char* optionString, const void* extra) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Empty list or option string passed to vek_addJavaVMOption(). This is a programming error");
    return;
  }
  auto record = static_cast<JavaVMOption*>(malloc(sizeof(JavaVMOption)));
  if (record == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate memory for the Java VM option %s", optionString);
    return;
  }
  record->optionString = const_cast<char*>(optionString);
  record->extraInfo = const_cast<void*>(extra);
  if (!append_new_element(list, record)) {
    free(record);
    return;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Added Java VM option: %s", optionString);
}

extern "C" size_t vek_findJavaVMOption(vek_list_t* list, const char* optionString) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Empty list or option string passed to vek_findJavaVMOption(). This is a programming error");
    return OPTION_NOT_FOUND;
  }
  JavaVMOption probe = {const_cast<char*>(optionString), nullptr};
  int index = vek_listFind(list, &probe);
  return index < 0 ? OPTION_NOT_FOUND : static_cast<size_t>(index);
}

extern "C" void vek_removeJavaVMOption(vek_list_t* list, const char* optionString) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Empty list or option string passed to vek_removeJavaVMOption(). This is a programming error");
    return;
  }
  size_t index = vek_findJavaVMOption(list, optionString);
  if (index == OPTION_NOT_FOUND) return;
  // The list owns its records; the option text stays the caller's.
  void* record = vek_listGet(list, index);
  vek_listRemoveAt(list, index);
  free(record);
  veklog(VEK_HERE, VEKLOG_DEBUG2, "Removed Java VM option: %s", optionString);
}

extern "C" JavaVMOption* vek_getJavaVMOptionsFromList(vek_list_t* options) {
  if (options == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Empty list passed to vek_getJavaVMOptionsFromList(). This is a programming error");
    return nullptr;
  }
  size_t count = vek_listGetSize(options);
  auto array = static_cast<JavaVMOption*>(calloc(count > 0 ? count : 1, sizeof(JavaVMOption)));
  if (array == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not allocate memory for %lu Java VM options",
           static_cast<unsigned long>(count));
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    auto record = static_cast<const JavaVMOption*>(vek_listGet(options, i));
    if (record != nullptr) array[i] = *record;
  }
  return array;
}

extern "C" unsigned long vek_getMemoryOptionValue(vek_list_t* options, const char* opt) {
  size_t index = vek_findJavaVMOption(options, opt);
  if (index == OPTION_NOT_FOUND) return NO_MEMORY_VALUE;
  return parse_megabytes(option_in_slot(&options->data[index]));
}

extern "C" void vek_logJavaVMOptions(vek_list_t* options, VEKLOG_LEVEL log_level) try {
  if (options == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Empty list passed to vek_logJavaVMOptions(). This is a programming error");
    return;
  }
  std::string text;
  size_t count = vek_listGetSize(options);
  for (size_t i = 0; i < count; ++i) {
    text += "\n    ";
    text += option_in_slot(&options->data[i]);
  }
  veklog(VEK_HERE, log_level, "Java VM options %s", text.c_str());
} catch (...) {
  report_out_of_memory("vek_logJavaVMOptions");
}

// ===========================================================================
// JNI helpers of the start, the join and the calls into the Java side.
//
// A Java exception must never stay pending across a log call: the Java VM
// logger calls into Java during the delivery, meets the exception and gives
// up VM logging for the rest of the process. So each exception is taken and
// cleared before it is logged and, where the caller is to see it, thrown
// again after the log line.
// ===========================================================================
namespace {

// Logs `text` with the pending exception (if any), which stays pending.
void log_keeping_exception(JNIEnv* env, VEKLOG_LEVEL level, const char* text) {
  jthrowable pending = take_exception(env);
  veklog_ex(VEK_HERE, level, pending, "%s", text);
  if (pending != nullptr) env->Throw(pending);
}

// Logs `text` with the pending exception (if any), which is cleared.
void log_clearing_exception(JNIEnv* env, VEKLOG_LEVEL level, const std::string& text) {
  veklog_ex(VEK_HERE, level, take_exception(env), "%s", text.c_str());
}

// Logs `with_exception` with the pending exception, or `without` when there
// is none to be had; the exception is cleared.
void log_exception_or(JNIEnv* env, VEKLOG_LEVEL level, const std::string& with_exception, const std::string& without) {
  jthrowable pending = take_exception(env);
  if (pending != nullptr) {
    veklog_ex(VEK_HERE, level, pending, "%s", with_exception.c_str());
  } else {
    veklog(VEK_HERE, level, "%s", without.c_str());
  }
}

// Pops a pushed local frame when the scope ends.
struct LocalFrame {
  JNIEnv* env;
  ~LocalFrame() { env->PopLocalFrame(nullptr); }
};

// Deletes a local reference when the scope ends (exceptions may be pending).
struct LocalRef {
  JNIEnv* env;
  jobject ref;
  ~LocalRef() {
    if (ref != nullptr) env->DeleteLocalRef(ref);
  }
};

}  // namespace

// ===========================================================================
// Starting, joining and destroying the VM (Linux builds only).
// ===========================================================================
namespace {

using create_vm_t = jint(JNICALL*)(JavaVM**, void**, void*);
using OptionArray = std::unique_ptr<JavaVMOption, decltype(&free)>;

// Options that older runtimes accepted and newer ones refuse, removed one at
// a time (in this order) when the VM cannot be created with them.
const char* const PLATFORM_SPECIFIC_OPTIONS[] = {"-XX:+UseAltSigs", "-Xrs"};
constexpr size_t PLATFORM_SPECIFIC_OPTION_COUNT = sizeof PLATFORM_SPECIFIC_OPTIONS / sizeof PLATFORM_SPECIFIC_OPTIONS[0];
// Tells the Java side that the runtime is not the one the product bundles.
// A constant: option texts are not owned by the list.
const char* const ALTERNATE_VM_OPTION = "-Dnimbo.common.alternate-vm=true";
constexpr jint JOIN_LOCAL_FRAME_CAPACITY = 6;
constexpr jint PROPERTY_LOCAL_FRAME_CAPACITY = 6;
constexpr jint DUMP_LOCAL_FRAME_CAPACITY = 2;

// The VM library one start works with.
struct VmLibrary {
  const char* path;  // full path of the library file
  void* handle;      // from vek_dsoOpen, or VEK_RTLD_DEFAULT when it was loaded before
  bool loaded_here;  // this start opened it, so it may close and reopen it
};

const char* loader_error_text() {
  const char* text = vek_dsoError();
  return text != nullptr ? text : "unknown error";
}

// Opens the library unless the process already holds one.
bool open_vm_library(VmLibrary& vm_library) {
  if (vek_isJVMLoaded()) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "A copy of the JVM library was previously loaded. No need to load another.");
    vm_library.handle = VEK_RTLD_DEFAULT;
    vm_library.loaded_here = false;
    return true;
  }
  vm_library.handle = vek_dsoOpen(vm_library.path, VEK_RTLD_NOW | VEK_RTLD_GLOBAL);
  if (vm_library.handle == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Unable to load Java VM shared library to start JVM: %s", loader_error_text());
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Loaded Java VM shared library %s", vm_library.path);
  vm_library.loaded_here = true;
  return true;
}

// One attempt at creating the VM. Negative on failure; *jvm may then still
// hold a VM object that the caller must destroy.
jint start_vm(const VmLibrary& vm_library, JavaVMOption* options, size_t count, JavaVM** jvm, JNIEnv** env) {
  auto create = reinterpret_cast<create_vm_t>(vek_dsoSymFunc(vm_library.handle, "JNI_CreateJavaVM"));
  if (create == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not find the function JNI_CreateJavaVM() in the JVM shared library. No JVM can be started: %s.",
           loader_error_text());
    return -1;
  }
  if (options == nullptr) return -1;
  JavaVMInitArgs args{};
  args.version = requested_jni_version;
  args.nOptions = static_cast<jint>(count);
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  *jvm = nullptr;
  *env = nullptr;
  jint result = create(jvm, reinterpret_cast<void**>(env), &args);
  if (result < 0) return result;
  return *jvm != nullptr && *env != nullptr ? result : -1;
}

// After a failed creation: without each platform-specific option in turn,
// on a freshly loaded library. The result of the last attempt, or -1.
jint retry_without_platform_options(VmLibrary& vm_library, vek_list_t* options, OptionArray& array, JavaVM** jvm,
                                    JNIEnv** env) {
  jint result = -1;
  for (size_t i = 0; i < PLATFORM_SPECIFIC_OPTION_COUNT; ++i) {
    const char* option = PLATFORM_SPECIFIC_OPTIONS[i];
    veklog(VEK_HERE, VEKLOG_INFO, "Attempting to start the Java VM without the %s option", option);
    vek_removeJavaVMOption(options, option);
    array.reset(vek_getJavaVMOptionsFromList(options));
    if (*jvm != nullptr) vek_destroyJavaVM(*jvm);
    *jvm = nullptr;
    if (vm_library.handle != nullptr) vek_dsoClose(vm_library.handle);
    vm_library.handle = vek_dsoOpen(vm_library.path, VEK_RTLD_NOW | VEK_RTLD_GLOBAL);
    if (vm_library.handle == nullptr) {
      // A null handle would search the whole process: no attempt without the library.
      veklog(VEK_HERE, VEKLOG_ERROR, "Unable to load Java VM shared library to start JVM: %s", loader_error_text());
      result = -1;
      continue;
    }
    result = start_vm(vm_library, array.get(), vek_listGetSize(options), jvm, env);
    if (result >= 0) break;
    bool last = i + 1 == PLATFORM_SPECIFIC_OPTION_COUNT;
    veklog(VEK_HERE, VEKLOG_WARN, "Unable to create Java VM; Result: %d. %s", static_cast<int>(result),
           last ? "Could not create the Java VM even after removing all platform specific options."
                : "Removing options that could be platform specific and trying again.");
    result = -1;
  }
  return result;
}


// ---- Repairing a VM created on the second attempt ----------------------
//
// The VM library keeps the system properties of a failed creation: the next
// creation in the same process appends a fresh set behind the stale one and
// every -D option updates only the stale entry, so the VM runs with the
// defaults of the fresh set, among them an empty java.class.path (Java 9
// and later; unloading the library does not reset it, as the library stays
// mapped). After a retried creation every -D option the VM does not show is
// set again, and a lost class path is handed to the system class loader.

const char* const CLASS_PATH_PROPERTY = "java.class.path";

// System.getProperty(key); false (exception cleared) when it cannot be read.
bool read_system_property(JNIEnv* env, const std::string& key, std::string& value, bool& present) {
  LocalRef system{env, env->FindClass("java/lang/System")};
  auto system_class = static_cast<jclass>(system.ref);
  jmethodID get = system_class != nullptr ? env->GetStaticMethodID(system_class, "getProperty",
                                                                   "(Ljava/lang/String;)Ljava/lang/String;")
                                          : nullptr;
  LocalRef java_key{env, get != nullptr ? env->NewStringUTF(key.c_str()) : nullptr};
  LocalRef read{env, java_key.ref != nullptr ? env->CallStaticObjectMethod(system_class, get, java_key.ref) : nullptr};
  if (take_exception(env) != nullptr || java_key.ref == nullptr) return false;
  present = read.ref != nullptr;
  value.clear();
  if (!present) return true;
  const char* utf = env->GetStringUTFChars(static_cast<jstring>(read.ref), nullptr);
  if (utf == nullptr) return false;
  value = utf;
  env->ReleaseStringUTFChars(static_cast<jstring>(read.ref), utf);
  return true;
}

// Appends each entry of `class_path` to the system class loader's search
// path through the method the VM itself uses for agents' class paths.
bool extend_system_class_path(JNIEnv* env, const std::string& class_path) {
  jclass loader_class = env->FindClass("java/lang/ClassLoader");
  jmethodID get_system = loader_class != nullptr ? env->GetStaticMethodID(loader_class, "getSystemClassLoader",
                                                                          "()Ljava/lang/ClassLoader;")
                                                 : nullptr;
  jobject loader = get_system != nullptr ? env->CallStaticObjectMethod(loader_class, get_system) : nullptr;
  jmethodID append = loader != nullptr ? env->GetMethodID(env->GetObjectClass(loader),
                                                          "appendToClassPathForInstrumentation",
                                                          "(Ljava/lang/String;)V")
                                       : nullptr;
  if (append == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR,
                           "The system class loader of this Java VM cannot be given the class path");
    return false;
  }
  size_t start = 0;
  while (start <= class_path.size()) {
    size_t end = class_path.find(':', start);
    if (end == std::string::npos) end = class_path.size();
    std::string entry = class_path.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    jstring java_entry = env->NewStringUTF(entry.c_str());
    if (java_entry != nullptr) env->CallVoidMethod(loader, append, java_entry);
    if (java_entry == nullptr || env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR, "Could not add '" + entry + "' to the class path of the Java VM");
      return false;
    }
    env->DeleteLocalRef(java_entry);
  }
  return true;
}

// Sets again every -D option the VM does not show; false (logged) when a
// lost class path could not be restored.
bool restore_lost_properties(JNIEnv* env, vek_list_t* options) {
  if (env->PushLocalFrame(PROPERTY_LOCAL_FRAME_CAPACITY) != JNI_OK) return false;
  LocalFrame frame{env};
  size_t count = vek_listGetSize(options);
  for (size_t i = 0; i < count; ++i) {
    std::string_view option = option_in_slot(&options->data[i]);
    if (identify_option(option) != SYSTEM_PROPERTY_OPTION) continue;
    std::string_view setting = option.substr(2);
    size_t equals = setting.find('=');
    std::string key(setting.substr(0, equals));
    std::string wanted(equals == std::string_view::npos ? "" : setting.substr(equals + 1));
    std::string shown;
    bool present = false;
    if (key.empty() || !read_system_property(env, key, shown, present) || (present && shown == wanted)) continue;
    veklog(VEK_HERE, VEKLOG_DEBUG, "Restoring system property %s, which the Java VM lost when it was created again",
           key.c_str());
    if (vek_setJavaSystemProperty(env, key.c_str(), wanted.c_str()) != 0 && key == CLASS_PATH_PROPERTY) return false;
    if (key == CLASS_PATH_PROPERTY && !extend_system_class_path(env, wanted)) return false;
  }
  return true;
}
}  // namespace

extern "C" bool vek_isJVMLoaded(void) { return vek_dsoSym(VEK_RTLD_DEFAULT, "JNI_CreateJavaVM") != nullptr; }

extern "C" jint vek_startJavaVM(JavaVM** jvm, JNIEnv** env, const char* installDir, vek_list_t* options,
                                int vmPreference, int jni_version) try {
  requested_jni_version = jni_version;
  JavaVM* own_vm = nullptr;
  JNIEnv* own_env = nullptr;
  if (jvm == nullptr) jvm = &own_vm;
  if (env == nullptr) env = &own_env;
  if (installDir == nullptr) {
    veklog(VEK_HERE, VEKLOG_FATAL,
           "(INTERNAL) The installation directory for the application was not passed to vek_startJavaVM(). No VM "
           "can be started without this.");
    return -1;
  }
  if (options == nullptr) {
    veklog(VEK_HERE, VEKLOG_FATAL, "(INTERNAL) No option list was passed to vek_startJavaVM(). No VM can be started "
                                   "without one.");
    return -1;
  }
  char library[VEK_PATH_MAX];
  if (!find_vm_library(library, sizeof library, installDir, vmPreference)) return -1;
  veklog(VEK_HERE, VEKLOG_DEBUG, "Will try to load Java VM shared library '%s'", library);
  VmLibrary vm_library{library, nullptr, false};
  if (!open_vm_library(vm_library)) return -1;

  if (location_state.using_fallback_java_home) vek_addJavaVMOption(options, ALTERNATE_VM_OPTION, nullptr);
  OptionArray array(vek_getJavaVMOptionsFromList(options), &free);
  jint result = start_vm(vm_library, array.get(), vek_listGetSize(options), jvm, env);
  bool retried = false;
  if (result < 0) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "Unable to create Java VM; Result: %d. Removing options that could be platform specific and trying again.",
           static_cast<int>(result));
    retried = vm_library.loaded_here;
    result = retried ? retry_without_platform_options(vm_library, options, array, jvm, env) : -1;
  }
  if (result < 0) return -1;
  if (retried && !restore_lost_properties(*env, options)) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "The Java VM lost its class path when it was created again and it could not be restored. The VM is not "
           "usable.");
    vek_destroyJavaVM(*jvm);
    *jvm = nullptr;
    *env = nullptr;
    return -1;
  }
  std::memcpy(location_state.loaded_jvm_library, library, sizeof library);
  vek_lifecycleVMAvailable(*jvm);
  return result;
} catch (...) {
  report_out_of_memory("vek_startJavaVM");
  return -1;
}

extern "C" bool vek_destroyJavaVM(JavaVM* jvm) {
  if (jvm == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) Java VM object passed to vek_stopJavaVM() was NULL");
    return false;
  }
  // Listeners (loggers, message processors) stop using the VM first.
  vek_lifecycleVMUnavailable();
  jint result = jvm->DestroyJavaVM();
  if (result != JNI_OK) {
    veklog(VEK_HERE, VEKLOG_VERBOSE, "Could not stop Java VM: DestroyJavaVM() reports error code %d",
           static_cast<int>(result));
    return false;
  }
  return true;
}

// ===========================================================================
// Joining a running VM and calls into the Java side (Linux builds only).
// ===========================================================================
namespace {

// Fills a new java.net.URL[] from the class-path texts; null after logging.
jobjectArray make_url_array(JNIEnv* env, const char** classpath, size_t count) {
  jclass url_class = env->FindClass("java/net/URL");
  if (url_class == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not find an instance of the class java.net.URL");
    return nullptr;
  }
  jmethodID constructor = env->GetMethodID(url_class, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not access required constructor in java.net.URL");
    return nullptr;
  }
  jobjectArray urls = env->NewObjectArray(static_cast<jsize>(count), url_class, nullptr);
  if (urls == nullptr || env->ExceptionCheck()) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not create array of java.net.URL object for the new classpath");
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    const char* entry = classpath[i] != nullptr ? classpath[i] : "";
    jstring text = env->NewStringUTF(entry);
    jobject url = text != nullptr ? env->NewObject(url_class, constructor, text) : nullptr;
    if (url == nullptr || env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR, "Exception generated while create new java.net.URL object");
      return nullptr;
    }
    env->SetObjectArrayElement(urls, static_cast<jsize>(i), url);
    if (env->ExceptionCheck()) {
      log_clearing_exception(env, VEKLOG_ERROR,
                             std::string("Exception generated while setting URL classpath element '") + entry + "'");
      return nullptr;
    }
    env->DeleteLocalRef(url);
    env->DeleteLocalRef(text);
  }
  return urls;
}

// A new URLClassLoader over the class path (a local reference); null after logging.
jobject make_url_class_loader(JNIEnv* env, const char** classpath, size_t count) {
  jobjectArray urls = make_url_array(env, classpath, count);
  if (urls == nullptr) return nullptr;
  jclass loader_class = env->FindClass("java/net/URLClassLoader");
  if (loader_class == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not find the class java.net.URLClassLoader");
    return nullptr;
  }
  jmethodID factory =
      env->GetStaticMethodID(loader_class, "newInstance", "([Ljava/net/URL;)Ljava/net/URLClassLoader;");
  if (factory == nullptr) {
    log_keeping_exception(env, VEKLOG_ERROR, "Could not access required constructor in java.net.URLClassLoader");
    return nullptr;
  }
  jobject loader = env->CallStaticObjectMethod(loader_class, factory, urls);
  if (loader == nullptr || env->ExceptionCheck()) {
    log_clearing_exception(env, VEKLOG_ERROR, "Exception occurred at URLClassLoader.newInstance()");
    return nullptr;
  }
  return loader;
}

// A class of the Java side, looked up without the logging of vek_findClass
// (a missing class is reported by the caller's own text); the exception of
// a failed lookup is cleared.
jclass find_java_side_class(JNIEnv* env, const char* slash_name) {
  jclass found = env->FindClass(slash_name);
  if (found == nullptr) take_exception(env);
  return found;
}

const char* const HEAP_DUMP_CLASS = "com.nimbo.common.util15.SunHeapDump";
const char* const BUNDLE_CLASS = "com/nimbo/common/support/BundleManager";
const char* const THREAD_DUMP_CLASS = "com/nimbo/common/launcher15/ThreadDump";

}  // namespace

extern "C" bool vek_loadFromExistingVM(JavaVM** jvm, JNIEnv** env, jobject* classloader, const char** classpath,
                                       size_t classpathCount) try {
  if (classloader == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) Classloader object passed to vek_loadFromExistingVM() was NULL");
    return false;
  }
  *classloader = nullptr;
  if (jvm != nullptr) *jvm = nullptr;
  if (env != nullptr) *env = nullptr;
  if (classpath == nullptr && classpathCount > 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL class path with %lu entries passed to vek_loadFromExistingVM()",
           static_cast<unsigned long>(classpathCount));
    return false;
  }
  JavaVM* vm = vek_getCreatedJavaVM();
  if (vm == nullptr) return false;
  if (jvm != nullptr) *jvm = vm;
  vek_lifecycleVMAvailable(vm);
  JNIEnv* attached = nullptr;
  if (!vek_attachThreadToJVM(vm, &attached)) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not attach to existing JVM");
    return false;
  }
  if (env != nullptr) *env = attached;
  if (attached->PushLocalFrame(JOIN_LOCAL_FRAME_CAPACITY) != JNI_OK) {
    log_keeping_exception(attached, VEKLOG_ERROR, "Could not reserve local references to build the class loader");
    return false;
  }
  jobject loader = make_url_class_loader(attached, classpath, classpathCount);
  if (loader != nullptr) *classloader = attached->NewGlobalRef(loader);
  attached->PopLocalFrame(nullptr);
  return *classloader != nullptr;
} catch (...) {
  report_out_of_memory("vek_loadFromExistingVM");
  return false;
}

extern "C" int vek_setJavaSystemProperty(JNIEnv* env, const char* name, const char* value) try {
  if (env == nullptr || name == nullptr || value == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL argument passed to vek_setJavaSystemProperty()");
    return -1;
  }
  const std::string failure_text = std::string("Exception generated setting system property ") + name + "=" + value;
  veklog(VEK_HERE, VEKLOG_VERBOSE, "Setting Java system: property %s=%s", name, value);
  if (env->PushLocalFrame(PROPERTY_LOCAL_FRAME_CAPACITY) != JNI_OK) {
    log_clearing_exception(env, VEKLOG_ERROR, failure_text);
    return -1;
  }
  LocalFrame frame{env};
  jstring java_name = env->NewStringUTF(name);
  jstring java_value = java_name != nullptr ? env->NewStringUTF(value) : nullptr;
  if (java_value == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR, failure_text);
    return -1;
  }
  jclass system = vek_findClass(env, nullptr, "java/lang/System");
  if (system == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not load class java.lang.System to set a system property");
    return -1;
  }
  jmethodID set_property =
      env->GetStaticMethodID(system, "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
  if (set_property == nullptr) {
    log_clearing_exception(env, VEKLOG_ERROR, "Could not load the setproperty() method in java.lang.System");
    return -1;
  }
  env->CallStaticObjectMethod(system, set_property, java_name, java_value);
  if (!env->ExceptionCheck()) return 0;
  jthrowable thrown = env->ExceptionOccurred();
  env->ExceptionDescribe();  // prints the exception and clears it
  veklog_ex(VEK_HERE, VEKLOG_ERROR, thrown, "%s", failure_text.c_str());
  return -1;
} catch (...) {
  report_out_of_memory("vek_setJavaSystemProperty");
  return -1;
}

extern "C" bool vek_generateHeapDump(JNIEnv* env, const char* path, bool onlyLive) try {
  if (env == nullptr || path == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL argument passed to vek_generateHeapDump()");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Attempting to create a heap dump in %s (live objects only = %s)", path,
         onlyLive ? "true" : "false");
  std::string slash_name = HEAP_DUMP_CLASS;
  for (char& c : slash_name)
    if (c == '.') c = '/';
  LocalRef dump_class{env, find_java_side_class(env, slash_name.c_str())};
  if (dump_class.ref == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "No heap dump can be generated from this virtual machine as the required Java class (%s) could not be "
           "located",
           HEAP_DUMP_CLASS);
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Found %s", HEAP_DUMP_CLASS);
  auto cls = static_cast<jclass>(dump_class.ref);
  jmethodID dump_heap = env->GetStaticMethodID(cls, "dumpHeap", "(Ljava/lang/String;Z)V");
  if (dump_heap == nullptr) {
    std::string text = std::string("An unexpected error occurred; Unable to access ") + HEAP_DUMP_CLASS +
                       ".dumpHeap() method.";
    log_exception_or(env, VEKLOG_ERROR, text + " Please refer to the log file(s) for more information.",
                     text + " No further information is available.");
    return false;
  }
  if (env->PushLocalFrame(DUMP_LOCAL_FRAME_CAPACITY) == JNI_OK) {
    jstring java_path = env->NewStringUTF(path);
    if (java_path != nullptr)
      env->CallStaticVoidMethod(cls, dump_heap, java_path, static_cast<jboolean>(onlyLive ? JNI_TRUE : JNI_FALSE));
    env->PopLocalFrame(nullptr);
  }
  if (!env->ExceptionCheck()) return true;
  const std::string text = "An unexpected error occurred; Exception thrown while requesting heap dump.";
  log_exception_or(env, VEKLOG_ERROR, text + " Please refer to the log file(s) for more information.",
                   text + " No further information is available.");
  return false;
} catch (...) {
  report_out_of_memory("vek_generateHeapDump");
  return false;
}

extern "C" void vek_generateSupportBundle(JNIEnv* env) try {
  if (env == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_generateSupportBundle()");
    return;
  }
  LocalRef bundle_class{env, find_java_side_class(env, BUNDLE_CLASS)};
  if (bundle_class.ref == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "No support bundle can be generated from this virtual machine as the required Java class "
           "(com.nimbo.common.support.BundleManager) could not be located");
    return;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Found com.nimbo.common.support.BundleManager");
  auto cls = static_cast<jclass>(bundle_class.ref);
  jmethodID requested = env->GetStaticMethodID(cls, "bundleRequested", "()V");
  if (requested == nullptr) {
    const std::string text = "An unexpected error occurred; Unable to access BundleManager.bundleRequested() method";
    log_exception_or(env, VEKLOG_FATAL, text, text + ". No further information is available.");
    return;
  }
  env->CallStaticVoidMethod(cls, requested);
  if (!env->ExceptionCheck()) return;
  // The caller decides what the failed request means: it sees the exception.
  jthrowable thrown = take_exception(env);
  if (thrown != nullptr) {
    veklog_ex(VEK_HERE, VEKLOG_FATAL, thrown,
              "An unexpected error occurred; Exception thrown while requesting support bundle");
    env->Throw(thrown);
  } else {
    veklog(VEK_HERE, VEKLOG_FATAL,
           "An unexpected error occurred; Exception thrown while requesting support bundle. No further information "
           "is available.");
  }
} catch (...) {
  report_out_of_memory("vek_generateSupportBundle");
}

extern "C" void vek_generateJVMThreadDump(JNIEnv* env) try {
  if (env == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal) NULL JNIEnv passed to vek_generateJVMThreadDump()");
    return;
  }
  LocalRef dump_class{env, env->FindClass(THREAD_DUMP_CLASS)};
  if (dump_class.ref == nullptr) {
    const std::string text =
        "Could not locate the com/nimbo/common/launcher15/ThreadDump class so no thread dumps will be written the "
        "file system.";
    log_exception_or(env, VEKLOG_VERBOSE, text, text + " No further information isavailable");
    return;
  }
  auto cls = static_cast<jclass>(dump_class.ref);
  jmethodID dump_stack = env->GetStaticMethodID(cls, "dumpStack", "()V");
  if (dump_stack == nullptr) {
    const std::string text =
        "Could not locate the method dumpStack in com/nimbo/common/launcher15/ThreadDump so no thread dumps will be "
        "written the file system.";
    log_exception_or(env, VEKLOG_VERBOSE, text, text + " No further information is available.");
    return;
  }
  env->CallStaticVoidMethod(cls, dump_stack);
  if (!env->ExceptionCheck()) return;
  const std::string text = "An unexpected error occurred; Exception thrown while generating thread dump";
  log_exception_or(env, VEKLOG_VERBOSE, text, text + ". No further information is available.");
} catch (...) {
  report_out_of_memory("vek_generateJVMThreadDump");
}
#endif  // !_WIN32
