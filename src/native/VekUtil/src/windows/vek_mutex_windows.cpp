// Named mutexes over unnamed Win32 mutex objects. A Win32 mutex may be
// re-acquired by the thread that owns it; there is no fork to guard against.
#include "vek_mutex.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vek_logging.h"
#include "windows/vek_win32_error.h"

struct vek_mutex_t {
  HANDLE handle;  // unnamed Win32 mutex object
  char* name;     // copy of the creation name; only for messages
};

namespace {

const char* name_of(const vek_mutex_t* mutex) { return mutex->name != nullptr ? mutex->name : "(unnamed)"; }

bool report_null(const char* operation) {
  veklog(VEK_HERE, VEKLOG_ERROR, "NULL mutex passed to %s(). This is an internal programming error", operation);
  return false;
}

}  // namespace

extern "C" vek_mutex_t* vek_createMutex(const char* name) {
  auto* mutex = static_cast<vek_mutex_t*>(calloc(1, sizeof(vek_mutex_t)));
  if (mutex == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not create %s mutex: %s", name ? name : "(unnamed)", strerror(ENOMEM));
    return nullptr;
  }
  mutex->handle = CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex->handle == nullptr) {
    vek::LastWin32ErrorText error;
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not create %s mutex: %s", name ? name : "(unnamed)", error.c_str());
    free(mutex);
    return nullptr;
  }
  mutex->name = name != nullptr ? _strdup(name) : nullptr;
  return mutex;
}

extern "C" bool vek_lockMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_lockMutex");
  DWORD result = WaitForSingleObject(mutex->handle, INFINITE);
  // An abandoned mutex (its owner thread ended) is still acquired by this wait.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return true;
  vek::LastWin32ErrorText error;
  veklog(VEK_HERE, VEKLOG_ERROR, "Could not lock %s mutex: %s", name_of(mutex), error.c_str());
  return false;
}

extern "C" bool vek_unlockMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_unlockMutex");
  if (ReleaseMutex(mutex->handle)) return true;
  vek::LastWin32ErrorText error;
  veklog(VEK_HERE, VEKLOG_ERROR, "Could not unlock %s mutex: %s", name_of(mutex), error.c_str());
  return false;
}

extern "C" bool vek_destroyMutex(vek_mutex_t* mutex) {
  if (mutex == nullptr) return report_null("vek_destroyMutex");
  if (!CloseHandle(mutex->handle)) {
    vek::LastWin32ErrorText error;
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not destroy %s mutex: %s", name_of(mutex), error.c_str());
  }
  free(mutex->name);
  free(mutex);
  return true;
}
