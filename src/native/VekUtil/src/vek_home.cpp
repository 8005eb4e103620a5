// Install and executable locations. Both are process-wide buffers written by
// the calls below only and never freed, so the pointers handed out stay
// valid for the life of the process.
#include "vek_home.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "vek_file.h"
#include "vek_home_platform.h"
#include "vek_logging.h"
#include "vek_string_stuff.h"

namespace {

using CBuffer = std::unique_ptr<char, decltype(&free)>;

char vek_install_dir[VEK_PATH_MAX];  // canonical install directory; empty until set
char vek_exe[VEK_PATH_MAX];          // cached executable (or library) path; empty until found

// Copies text into one of the path buffers, cut to VEK_PATH_MAX - 1 bytes.
void store_cut(char (&target)[VEK_PATH_MAX], std::string_view text) {
  size_t n = text.size() < VEK_PATH_MAX - 1 ? text.size() : VEK_PATH_MAX - 1;
  std::memcpy(target, text.data(), n);
  target[n] = '\0';
}

// Canonical form of an existing file, or the name unchanged (with a WARN
// line) when it cannot be resolved.
void store_canonical(const std::string& name) {
  char full[VEK_PATH_MAX];
  if (vek_getFullPath(name.c_str(), full, sizeof full) > 0) {
    store_cut(vek_exe, full);
    return;
  }
  veklog(VEK_HERE, VEKLOG_WARN,
         "Could not resolve the path '%s' to its canonical form. The program may not execute properly. %s",
         name.c_str(), strerror(errno));
  store_cut(vek_exe, name);
}

void find_own_module() {
  std::string module;
  if (!vek::home::own_module_file(module)) {
    veklog(VEK_HERE, VEKLOG_DEBUG,
           "(internal) dladdr() failed to find previded function. Not able to get the full path the the shared libary "
           "we are in.");
    return;
  }
  store_canonical(module);
}

std::string cut(std::string text) {
  if (text.size() > VEK_PATH_MAX - 1) text.resize(VEK_PATH_MAX - 1);
  return text;
}

// The first PATH element holding an executable `name`; relative elements
// (the empty one included) count from the working directory.
bool search_path(const std::string& cwd, const char* name, std::string& found) {
  const char* path = getenv("PATH");
  if (path == nullptr) return false;
  std::string_view rest(path);
  for (;;) {
    size_t colon = rest.find(':');
    std::string element(rest.substr(0, colon));
    if (element.empty() || element[0] != '/') element = cwd + "/" + element;
    std::string candidate = cut(element + "/" + name);
    if (vek_isFileExecutable(candidate.c_str())) {
      found = candidate;
      return true;
    }
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

void find_from_argv0(const char* argv0) {
  std::string cwd;
  if (!vek::home::working_directory(cwd)) {
    veklog(VEK_HERE, VEKLOG_FATAL, "Cannot determine current directory");
    return;
  }
  std::string candidate;
  if (argv0[0] == '/') {
    candidate = cut(argv0);
  } else if (std::strchr(argv0, '/') != nullptr || !search_path(cwd, argv0, candidate)) {
    candidate = cut(cwd + "/" + argv0);
  }
  if (vek_isFileExecutable(candidate.c_str())) store_canonical(candidate);
}

}  // namespace

extern "C" const char* vek_getInstallDir(void) { return vek_install_dir[0] != '\0' ? vek_install_dir : nullptr; }

extern "C" void vek_setInstallDir(const char* dir) {
  if (dir == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "NULL directory passed to vek_setInstallDir(). Ignored.");
    return;
  }
  CBuffer unquoted(vek_stringReplace(dir, "\"", ""), &free);
  const char* chosen = dir;
  if (!vek_doesDirectoryExist(dir) && unquoted != nullptr && vek_doesDirectoryExist(unquoted.get())) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "The directory name provided as the installation directory (%s) includes quotes characters that are not "
           "required, this is probably not what was intended. The quotes will be removed from the name.",
           dir);
    chosen = unquoted.get();
  }
  if (!vek_doesDirectoryExist(chosen)) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Directory (%s) passed to vek_setInstallDir() does not exist or is not a directory. Ignored.", chosen);
    return;
  }
  char full[VEK_PATH_MAX];
  if (vek_getFullPath(chosen, full, sizeof full) > 0) {
    store_cut(vek_install_dir, full);
  } else {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not convert '%s' to its canonical form. Using it unchanged.", chosen);
    store_cut(vek_install_dir, chosen);
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Install dir set to %s with vek_setInstallDir()", vek_install_dir);
}

extern "C" const char* vek_getExecutablePath(const char* argv0) {
  if (vek_exe[0] != '\0') return vek_exe;
  veklog(VEK_HERE, VEKLOG_DEBUG, "Have not yet determined the full path to the executable. Doing so now.");
  try {
    if (argv0 == nullptr) {
      find_own_module();
    } else {
      find_from_argv0(argv0);
    }
  } catch (...) {
    // Out of memory while building a candidate: not determined this time.
    vek_exe[0] = '\0';
  }
  return vek_exe[0] != '\0' ? vek_exe : nullptr;
}

extern "C" const char* vek_getLibraryPath(const char* /*libname*/) { return vek_getExecutablePath(nullptr); }
