// File logger module state. So far only what the rest of the library needs
// from it exists: the state record with its "file logger" mutex, created
// with the logging core, and the clean-up at process exit that closes an
// open log. Configuring a log set and writing events to it (vek_fileLogger,
// veklog_file_configureLog, rotation and purging) are not part of this file
// yet.
#include "vek_logging_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "vek_logging.h"
#include "vek_mutex.h"

namespace {

constexpr int DEFAULT_SET_COUNT = 3;
constexpr int DEFAULT_NUM_SETS = 3;

// One file log per process; every field is guarded by write_mutex.
struct FileLogState {
  char* m_dir = nullptr;                     // the log directory
  char* m_prefix = nullptr;                  // the file-name prefix
  std::time_t m_timestamp = 0;               // the set's time
  vek_uint64_t m_max_size = 0;               // rotation threshold in bytes; 0 never rotates
  int m_set_count = DEFAULT_SET_COUNT;       // older files kept in the current set
  int m_num_sets = DEFAULT_NUM_SETS;         // sets kept in the directory
  FILE* m_file = nullptr;                    // the open file; null while unconfigured
  vek_uint64_t l_current_file_size = 0;      // bytes written since the file was opened
  int l_file_index = 1;                      // index of the current file within the set
  vek_mutex_t* write_mutex = nullptr;        // guards all of the above
};

FileLogState state;

// Closes the open file; with `reset` the module also forgets its
// configuration. Failures go to the failsafe logger: this runs on the
// logging path.
void close_log(bool reset) {
  if (state.m_file != nullptr) {
    bool flushed = fflush(state.m_file) == 0;
    bool closed = fclose(state.m_file) == 0;
    if (!flushed || !closed)
      vek_internal_log_error(VEK_HERE, "Could not close the output log file: %s", strerror(errno));
    state.m_file = nullptr;
    state.l_current_file_size = 0;
  }
  if (!reset) return;
  free(state.m_dir);
  free(state.m_prefix);
  state.m_dir = nullptr;
  state.m_prefix = nullptr;
  state.m_max_size = 0;
  state.m_set_count = DEFAULT_SET_COUNT;
  state.m_num_sets = DEFAULT_NUM_SETS;
  state.m_timestamp = 0;
  state.l_file_index = 1;
}

}  // namespace

extern "C" void vek_file_init_logging(void) {
  if (state.write_mutex == nullptr) state.write_mutex = vek_createMutex("file logger");
}

extern "C" void vek_file_cleanup_at_exit(void) {
  vek_mutex_t* mutex = state.write_mutex;
  if (mutex != nullptr) vek_lockMutex(mutex);
  close_log(true);
  state.write_mutex = nullptr;
  if (mutex != nullptr) {
    vek_unlockMutex(mutex);
    vek_destroyMutex(mutex);
  }
}
