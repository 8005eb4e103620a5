// Dynamic libraries over LoadLibrary and GetProcAddress. Windows has no
// global symbol scope, so the VEK_RTLD_DEFAULT search walks every module of
// the process in load order.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "vek_dso_platform.h"
#include "vek_logging.h"
#include "windows/vek_win32_error.h"

namespace {

// Every module of this process, or an empty list (logged) when the
// enumeration fails.
std::vector<HMODULE> loaded_modules() {
  HANDLE process = GetCurrentProcess();
  DWORD needed = 0;
  std::vector<HMODULE> modules;
  if (EnumProcessModules(process, nullptr, 0, &needed)) {
    modules.resize(needed / sizeof(HMODULE));
    DWORD filled = 0;
    DWORD capacity = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    if (EnumProcessModules(process, modules.data(), capacity, &filled)) {
      // Modules loaded between the two calls are not in the buffer.
      modules.resize(std::min(modules.size(), static_cast<size_t>(filled / sizeof(HMODULE))));
      return modules;
    }
  }
  vek::LastWin32ErrorText error;
  veklog(VEK_HERE, VEKLOG_WARN, "(internal vek_dsoSym) Could not enumberate currently load modules: %s", error.c_str());
  return {};
}

void* as_data_pointer(FARPROC proc) {
  void* data;
  static_assert(sizeof(data) == sizeof(proc));
  std::memcpy(&data, &proc, sizeof(data));
  return data;
}

}  // namespace

namespace vek::dso {

// The flags have no Win32 counterpart: a library's symbols are resolved at load.
void* open_library(const char* name, int /*flag*/) {
  if (name != nullptr) return LoadLibraryA(name);
  // The main program, with its reference count raised so that close_library
  // can release it like any other handle.
  HMODULE module = nullptr;
  return GetModuleHandleExA(0, nullptr, &module) ? module : nullptr;
}

void* find_symbol(void* handle, const char* symbol) {
  if (handle != nullptr) return as_data_pointer(GetProcAddress(static_cast<HMODULE>(handle), symbol));
  try {
    for (HMODULE module : loaded_modules()) {
      if (FARPROC proc = GetProcAddress(module, symbol)) return as_data_pointer(proc);
    }
  } catch (...) {
    // No memory for the module list: the symbol cannot be searched for.
    errno = ENOMEM;
  }
  return nullptr;
}

int close_library(void* handle) { return FreeLibrary(static_cast<HMODULE>(handle)) ? 0 : -1; }

// Like dlerror: the text of the last failure on this thread, NULL when none.
const char* last_error() {
  thread_local char text[512];
  DWORD code = GetLastError();
  if (code == ERROR_SUCCESS) return nullptr;
  vek::Win32ErrorText message(code);
  strncpy(text, message.c_str(), sizeof(text) - 1);
  text[sizeof(text) - 1] = '\0';
  SetLastError(ERROR_SUCCESS);
  return text;
}

}  // namespace vek::dso
