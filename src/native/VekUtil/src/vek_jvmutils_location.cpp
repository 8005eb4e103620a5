// Java VM hosting, Linux builds: locating the VM library of an
// installation, putting its directories on the loader path by re-executing
// the program once (with the user's own loader path kept for the children),
// and the VM option lists. Part of the vek_jvmutils module and logged as it.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vek_file.h"
#include "vek_jvmutils.h"
#include "vek_jvmutils_internal.h"
#include "vek_jvmutils_platform.h"
#include "vek_logging.h"
#include "vek_runner_environment.h"

// ===========================================================================
// Locating the VM library and the loader path (Linux builds only).
// ===========================================================================
namespace {

using CBuffer = std::unique_ptr<char, decltype(&free)>;

// Process-wide, written by the host's start-up thread before any VM exists;
// no lock (see the header).
struct VmLocationState {
  char preferred_jvm[VEK_PATH_MAX];       // preferred Java home; empty means none
  bool fallbackToEnvJavaHome;             // search $JAVA_HOME when the installation has no library
  bool using_fallback_java_home;          // the last search found the library only under $JAVA_HOME
  char loaded_jvm_library[VEK_PATH_MAX];  // library of the last successful start; empty before
  bool app_has_restarted;                 // the second pass of vek_setJavaLibPath was seen
  bool library_path_set;                  // the loader path of the first pass is in effect
  bool user_library_path_known;           // the restart state told the loader path the user had
  bool user_library_path_set;             // ... and the user had one: user_library_path
};
VmLocationState location_state{};
std::string user_library_path;  // LD_LIBRARY_PATH as the user had it, when set (see above)

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
// first below the root's jre directory, then in the root itself (a
// JAVA_HOME naming a Java 9+ runtime has no jre).
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
      veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG,
             "Not adding JVM library %s to the search path as it does not exist.", candidate.c_str());
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

// Whether the last component of `root` is "jre".
bool is_named_jre(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  size_t slash = root.rfind('/');
  return root.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "jre") == 0;
}

// The existing library candidates of one root, in search order: the root's
// own layouts first (below its jre directory, then the root as a modular
// runtime itself). Only a root that is itself a directory named jre is also
// searched through its parent's jre, as the old layout reaches it; any other
// root's parent may hold a jre of another runtime beside it (as
// distributions lay out /usr/lib/jvm), which is not this root's.
void add_vm_path(const char* root, int preference, vek_list_t* target) {
  if (root == nullptr || root[0] == '\0' || target == nullptr) return;
  std::string base(root);
  bool client_first = preference == VEK_PREFER_CLIENT_VM;
  const DirList* jre_order[] = {client_first ? &OLD_CLIENT_DIRS : &OLD_SERVER_DIRS,
                                client_first ? &OLD_SERVER_DIRS : &OLD_CLIENT_DIRS,
                                client_first ? &MODERN_CLIENT_DIRS : &MODERN_SERVER_DIRS,
                                client_first ? &MODERN_SERVER_DIRS : &MODERN_CLIENT_DIRS};
  bool has_jre = vek_doesDirectoryExist((base + "/jre").c_str());
  if (has_jre)
    for (const DirList* list : jre_order) append_vm_paths(base, "", *list, target);
  append_vm_paths(base, "", client_first ? RUNTIME_CLIENT_DIRS : RUNTIME_SERVER_DIRS, target);
  append_vm_paths(base, "", client_first ? RUNTIME_SERVER_DIRS : RUNTIME_CLIENT_DIRS, target);
  if (has_jre || !is_named_jre(base)) return;
  for (const DirList* list : jre_order) append_vm_paths(base, "..", *list, target);
}

// The first candidate that is a file, or null. Only candidates that exist
// enter a list, so one that is not a file is a directory of that name.
const char* first_library_file(vek_list_t* candidates, bool warn_about_first, bool quiet) {
  size_t count = candidates != nullptr ? vek_listGetSize(candidates) : 0;
  for (size_t i = 0; i < count; ++i) {
    auto candidate = static_cast<const char*>(vek_listGet(candidates, i));
    if (vek_doesFileExist(candidate)) {
      if (!quiet) veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Found Java shared library '%s'", candidate);
      return candidate;
    }
    if (i == 0 && warn_about_first && !quiet)
      veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN,
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
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Set preferred Java home to '%s'", location_state.preferred_jvm);
}

extern "C" const char* vek_getPreferredJavaHome(void) {
  return location_state.preferred_jvm[0] != '\0' ? location_state.preferred_jvm : nullptr;
}

extern "C" void vek_setFallbackToEnvJavaHome(bool fallback) {
  location_state.fallbackToEnvJavaHome = fallback;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG,
         fallback ? "Enable fall back to JAVA_HOME" : "Disable fallback to JAVA_HOME");
}

extern "C" bool vek_getJVMLibrary(char* path, size_t pathLength, const char* basedir, int vmPreference) try {
  if (path == nullptr || pathLength == 0) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty buffer passed to vek_getJVMLibrary(). This is an internal programming error");
    errno = EINVAL;
    return false;
  }
  if (vmPreference != VEK_PREFER_CLIENT_VM && vmPreference != VEK_PREFER_SERVER_VM) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN,
           "(INTERNAL) Invalid argument for vmPreference(%d), assuming VEK_PREFER_SERVER_VM", vmPreference);
    vmPreference = VEK_PREFER_SERVER_VM;
  }
  OwnedTexts primary(5);
  OwnedTexts fallback(1);
  add_vm_path(vek_getPreferredJavaHome(), vmPreference, primary.get());
  add_vm_path(basedir, vmPreference, primary.get());
  const char* java_home = getenv("JAVA_HOME");
  if (location_state.fallbackToEnvJavaHome && java_home != nullptr)
    add_vm_path(java_home, vmPreference, fallback.get());

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
    if (!quiet)
      veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN, "Bundled JRE is missing, fall back to JAVA_HOME: '%s'", found);
    location_state.using_fallback_java_home = true;
  }
  return store_library_path(found, path, pathLength);
} catch (...) {
  vek::jvm::report_out_of_memory("vek_getJVMLibrary");
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
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Adding shared library directory %s", dir);
    if (!joined.empty()) joined += ':';
    joined += dir;
  }
  return joined;
}

bool set_or_report(const char* name, const char* value) {
  if (vek::jvm::set_environment(name, value)) return true;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL, "Could not set %s in the environment: %s", name, strerror(errno));
  return false;
}

// The restart state: the user's loader path as an environment entry,
// "LD_LIBRARY_PATH=value", or the bare name when the user had none.
std::string restart_state_of_user() {
  const char* users = getenv(LIBRARY_PATH_VARIABLE);
  std::string state = LIBRARY_PATH_VARIABLE;
  if (users != nullptr) state += std::string("=") + users;
  return state;
}

// On the second pass: keeps the user's loader path from the restart state
// for the children and removes the state from the environment. A state that
// this library did not write is left alone (the user's path stays unknown).
void take_restart_state() {
  const char* state = getenv(RESTART_STATE);
  if (state == nullptr) return;
  std::string_view text(state);
  std::string_view name(LIBRARY_PATH_VARIABLE);
  if (text.substr(0, name.size()) != name) return;
  text.remove_prefix(name.size());
  if (!text.empty() && text[0] != '=') return;
  location_state.user_library_path_set = !text.empty();
  user_library_path = location_state.user_library_path_set ? std::string(text.substr(1)) : std::string();
  location_state.user_library_path_known = true;
  vek::jvm::unset_environment(RESTART_STATE);
}

// The first pass: marker, restart state and loader path into the
// environment, then the program again from its start. Returns only when the
// environment cannot be set (false); a failed re-execution ends the process.
bool restart_with_library_path(const char** argv, const char* installDir, vek_list_t* dirs) {
  // Without the marker the new image would restart again, for ever.
  if (!set_or_report(RESTART_IN_PROGRESS, "true")) return false;
  if (installDir == nullptr || !vek_doesDirectoryExist(installDir))
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_WARN,
           "The provided installation directory '%s', does not exist or cannot be accessed. This may mean that the "
           "Java VM library will not load properly.",
           installDir != nullptr ? installDir : "(null)");
  std::string joined = join_library_dirs(dirs);
  if (!set_or_report(RESTART_STATE, restart_state_of_user().c_str()) ||
      !set_or_report(LIBRARY_PATH_VARIABLE, joined.c_str())) {
    vek::jvm::unset_environment(RESTART_IN_PROGRESS);
    vek::jvm::unset_environment(RESTART_STATE);
    return false;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Setting shared library path %s to '%s'", LIBRARY_PATH_VARIABLE,
         joined.c_str());
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG, "Restarting the current process to install the new %s settings",
         LIBRARY_PATH_VARIABLE);
  // argv[0] stays as given: it may be a display name (a login shell's
  // "-name", exec -a, a multi-call link) that names another program.
  std::vector<char*> args;
  for (size_t i = 0; argv[i] != nullptr; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  vek::jvm::execute_self(args.data());
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL, "Could not restart the executable with new library path: %s",
         strerror(errno));
  exit(1);
}

}  // namespace

extern "C" bool vek_setJavaLibPath(const char** argv, const char* installDir, int vmPreference, vek_list_t* dirs) try {
  if (argv == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "NULL argument vector passed to vek_setJavaLibPath(). This is an internal programming error");
    return false;
  }
  char library[VEK_PATH_MAX];
  if (!vek::jvm::find_vm_library(library, sizeof library, installDir, vmPreference)) return false;
  OwnedTexts own_dirs(2);
  vek_list_t* search_dirs = dirs != nullptr ? dirs : own_dirs.get();
  if (search_dirs == nullptr || !prepend_library_dirs(library, search_dirs)) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL, "Could not build the shared library path for %s: out of memory",
           library);
    return false;
  }
  // The environment alone cannot tell: the second pass removes the marker,
  // and a process that has restarted once never restarts again.
  bool first_pass =
      !location_state.app_has_restarted && getenv(RESTART_IN_PROGRESS) == nullptr && getenv(RESTART_STATE) == nullptr;
  if (first_pass) return restart_with_library_path(argv, installDir, search_dirs);

  take_restart_state();
  vek::jvm::unset_environment(RESTART_IN_PROGRESS);
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG2, "This is at least the second pass through the startup code");
  location_state.app_has_restarted = true;
  location_state.library_path_set = true;
  return true;
} catch (...) {
  vek::jvm::report_out_of_memory("vek_setJavaLibPath");
  return false;
}

bool vek::jvm::find_vm_library(char* library, size_t size, const char* installDir, int vmPreference) {
  if (vek_getJVMLibrary(library, size, installDir, vmPreference)) return true;
  int error = errno;
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_FATAL,
         "Could not find any Java VM shared library. The program will not be able to start correctly. Please "
         "check the JRE subdirectory of the application home directory %s. The error was '%s'",
         installDir != nullptr ? installDir : "(null)", strerror(error));
  return false;
}

bool vek::jvm::found_only_under_java_home() { return location_state.using_fallback_java_home; }

void vek::jvm::set_loaded_library(const char* path) {
  size_t length = strnlen(path, VEK_PATH_MAX - 1);
  std::memcpy(location_state.loaded_jvm_library, path, length);
  location_state.loaded_jvm_library[length] = '\0';
}

namespace vek::jvm {

std::vector<char*> child_environment(char* const* parent, std::string& storage) {
  std::vector<char*> environment;
  if (parent == nullptr) return environment;
  const bool restarted = location_state.user_library_path_known;
  bool dropped = false;
  const std::string prefix = std::string(LIBRARY_PATH_VARIABLE) + "=";
  for (char* const* entry = parent; *entry != nullptr; ++entry) {
    const bool drop = (restarted && std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0) ||
                      vek::service::is_service_manager_variable(*entry);
    dropped = dropped || drop;
    if (!drop) environment.push_back(*entry);
  }
  if (!restarted && !dropped) return {};
  if (restarted && location_state.user_library_path_set) {
    storage = prefix + user_library_path;
    environment.push_back(storage.data());
  }
  environment.push_back(nullptr);
  return environment;
}

}  // namespace vek::jvm

namespace {
const vek::jvm::ChildEnvironmentRegistrar runner_environment(vek::jvm::child_environment);
}  // namespace

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
    {"-esa", 1},       {"-enablesystemassertions", 1},
    {"-dsa", 1},       {"-disablesystemassertions", 1},
    {"-ea", 2},        {"-enableassertions", 2},
    {"-da", 2},        {"-disableassertions", 2},
    {"-Xmx", 3},       {"-Xms", 4},
    {"-Xss", 5},       {"-Xbootclasspath", 6},
    {"-classpath", 7}, {"-cp", 7},
    {"-D", 8},         {"-XX:", 9},
};
constexpr int UNCLASSIFIED_OPTION = -1;
constexpr int LAST_KIND_COMPARED_BY_CLASS = 7;
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
      case 'k':
      case 'K': multiplier = int64_t{1} << 10; break;
      case 'm':
      case 'M': multiplier = int64_t{1} << 20; break;
      case 'g':
      case 'G': multiplier = int64_t{1} << 30; break;
      case 't':
      case 'T': multiplier = int64_t{1} << 40; break;
      default: return NO_MEMORY_VALUE;
    }
  }
  if (number > INT64_MAX / multiplier) return NO_MEMORY_VALUE;
  int64_t megabytes = number * multiplier / (int64_t{1} << 20);
  if (static_cast<uint64_t>(megabytes) >= ULONG_MAX) return NO_MEMORY_VALUE;
  return static_cast<unsigned long>(megabytes);
}

}  // namespace

std::string_view vek::jvm::option_in_slot(const void* slot) {
  auto record = slot != nullptr ? *static_cast<const JavaVMOption* const*>(slot) : nullptr;
  return record != nullptr && record->optionString != nullptr ? record->optionString : "";
}

int vek::jvm::option_kind(std::string_view option) { return identify_option(option); }

extern "C" int vek_jvmCompareOptions(const void* left, const void* right) {
  std::string_view l = vek::jvm::option_in_slot(left);
  std::string_view r = vek::jvm::option_in_slot(right);
  int kind = identify_option(l);
  if (kind >= 1 && kind <= LAST_KIND_COMPARED_BY_CLASS) return kind - identify_option(r);
  if (kind == vek::jvm::SYSTEM_PROPERTY_OPTION || kind == ADVANCED_OPTION)
    return sign_of(get_option_name(l).compare(get_option_name(r)));
  return sign_of(l.compare(r));
}

extern "C" void vek_addJavaVMOption(vek_list_t* list, const char* optionString, const void* extra) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty list or option string passed to vek_addJavaVMOption(). This is a programming error");
    return;
  }
  auto record = static_cast<JavaVMOption*>(malloc(sizeof(JavaVMOption)));
  if (record == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Could not allocate memory for the Java VM option %s",
           optionString);
    return;
  }
  record->optionString = const_cast<char*>(optionString);
  record->extraInfo = const_cast<void*>(extra);
  if (!append_new_element(list, record)) {
    free(record);
    return;
  }
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG2, "Added Java VM option: %s", optionString);
}

extern "C" size_t vek_findJavaVMOption(vek_list_t* list, const char* optionString) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty list or option string passed to vek_findJavaVMOption(). This is a programming error");
    return OPTION_NOT_FOUND;
  }
  JavaVMOption probe = {const_cast<char*>(optionString), nullptr};
  int index = vek_listFind(list, &probe);
  return index < 0 ? OPTION_NOT_FOUND : static_cast<size_t>(index);
}

extern "C" void vek_removeJavaVMOption(vek_list_t* list, const char* optionString) {
  if (list == nullptr || optionString == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty list or option string passed to vek_removeJavaVMOption(). This is a programming error");
    return;
  }
  size_t index = vek_findJavaVMOption(list, optionString);
  if (index == OPTION_NOT_FOUND) return;
  // The list owns its records; the option text stays the caller's.
  void* record = vek_listGet(list, index);
  vek_listRemoveAt(list, index);
  free(record);
  veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_DEBUG2, "Removed Java VM option: %s", optionString);
}

extern "C" JavaVMOption* vek_getJavaVMOptionsFromList(vek_list_t* options) {
  if (options == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty list passed to vek_getJavaVMOptionsFromList(). This is a programming error");
    return nullptr;
  }
  size_t count = vek_listGetSize(options);
  auto array = static_cast<JavaVMOption*>(calloc(count > 0 ? count : 1, sizeof(JavaVMOption)));
  if (array == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR, "Could not allocate memory for %lu Java VM options",
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
  return parse_megabytes(vek::jvm::option_in_slot(&options->data[index]));
}

extern "C" void vek_logJavaVMOptions(vek_list_t* options, VEKLOG_LEVEL log_level) try {
  if (options == nullptr) {
    veklog(VEK_SOURCE_HERE(jvmutils), VEKLOG_ERROR,
           "Empty list passed to vek_logJavaVMOptions(). This is a programming error");
    return;
  }
  std::string text;
  size_t count = vek_listGetSize(options);
  for (size_t i = 0; i < count; ++i) {
    text += "\n    ";
    text += vek::jvm::option_in_slot(&options->data[i]);
  }
  veklog(VEK_SOURCE_HERE(jvmutils), log_level, "Java VM options %s", text.c_str());
} catch (...) {
  vek::jvm::report_out_of_memory("vek_logJavaVMOptions");
}
