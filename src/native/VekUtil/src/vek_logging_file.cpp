// File logger: events appended to files of a set named by the time of its
// configuration, rotated by size, old files and sets purged. The Windows
// build keeps only the state record's mutex and the clean-up at exit.
//
// Every failure goes to the failsafe logger: this code runs inside a log
// delivery. Whoever holds write_mutex may log only while no file is open
// (the purge's DEBUG line), so that the line reaches this logger as a no-op.
#include "vek_logging_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "vek_logging.h"
#include "vek_logging_file_platform.h"
#include "vek_logging_file_users.h"
#include "vek_logging_hooks.h"
#include "vek_mutex.h"

#ifndef _WIN32
#include <algorithm>
#include <map>
#include <vector>

#include "vek_file.h"
#include "vek_list.h"
#include "vek_logging_platform.h"
#endif

namespace {

constexpr int DEFAULT_SET_COUNT = 3;
constexpr int DEFAULT_NUM_SETS = 3;
// How long the clean-up waits for threads still inside the module before it
// leaves the mutex undestroyed rather than pull it from under them.
constexpr int CLEANUP_WAIT_MS = 500;

// One file log per process. Every field but the atomics is guarded by
// write_mutex.
struct FileLogState {
  char* m_dir = nullptr;                 // the log directory; owned, null while unconfigured
  char* m_prefix = nullptr;              // the file-name prefix; owned, null while unconfigured
  std::time_t m_timestamp = 0;           // the set's time
  vek_uint64_t m_max_size = 0;           // rotation threshold in bytes; 0 never rotates
  int m_set_count = DEFAULT_SET_COUNT;   // older files kept in the current set
  int m_num_sets = DEFAULT_NUM_SETS;     // sets kept in the directory, the current one included
  int m_file_mode = 0644;                // mode of new files: 0600 in a shared directory
  int m_fd = -1;                         // the open file; -1 while none is open
  std::atomic<bool> l_open{false};       // a log is open, also while it rotates: the
                                         // logger's quick exit, read without the mutex
  vek_uint64_t l_current_file_size = 0;  // bytes written since the file was opened
  int l_file_index = 1;                  // index of the current file within the set
#ifndef _WIN32
  vek::logfile::FileId l_file_id;  // identity of the open file, to know it after a fork
#endif
  bool l_write_failed = false;                     // a write to the current file failed (reported once)
  std::atomic<vek_mutex_t*> write_mutex{nullptr};  // guards the above; null before init and after clean-up
  std::atomic<int> l_users{0};                     // threads holding or awaiting write_mutex; 0 in a
                                                   // forked child, where only the forking thread lives
};

FileLogState state;

// Holds write_mutex for one scope. Users are counted before the mutex is
// read, so that the clean-up, which retires the mutex first and then waits
// for the count to drop, never destroys a mutex that a thread still uses.
// held() is false when the module is not initialised or was cleaned up.
class StateLock {
 public:
  StateLock() {
    state.l_users.fetch_add(1);
    mutex_ = state.write_mutex.load();
    if (mutex_ != nullptr && !vek_lockMutex(mutex_)) mutex_ = nullptr;
  }
  ~StateLock() {
    if (mutex_ != nullptr) vek_unlockMutex(mutex_);
    state.l_users.fetch_sub(1);
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

  // Also false when the clean-up retired the mutex while this thread waited.
  bool held() const { return mutex_ != nullptr && state.write_mutex.load() == mutex_; }

 private:
  vek_mutex_t* mutex_;
};

// Closes the open file; with `reset` the module also forgets its
// configuration. Caller holds write_mutex.
void close_log(bool reset) {
  if (state.m_fd >= 0) {
    if (!vek::logfile::close_file(state.m_fd))
      vek_internal_log_error(VEK_HERE, "Could not close the output log file: %s", strerror(errno));
    state.m_fd = -1;
    state.l_current_file_size = 0;
  }
  if (!reset) return;
  state.l_open.store(false);
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

// In a forked child: the threads the parent had inside the module are not
// there, and a count left with them would never drop (the clean-up at exit
// would wait its whole time limit).
void forget_parents_users() { state.l_users.store(0); }

bool wait_for_users_to_leave() {
  for (int waited = 0; state.l_users.load() > 0; ++waited) {
    if (waited >= CLEANUP_WAIT_MS) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

int vek::logfile::users_inside() { return state.l_users.load(); }

extern "C" void vek_file_init_logging(void) {
  vek::logfile::at_fork_in_child(&forget_parents_users);
  if (state.write_mutex.load() != nullptr) return;
  vek_mutex_t* created = vek_createMutex("file logger");
  vek_mutex_t* expected = nullptr;
  if (created != nullptr && !state.write_mutex.compare_exchange_strong(expected, created))
    vek_destroyMutex(created);  // another thread was first
}

extern "C" void vek_file_cleanup_at_exit(void) {
  vek_mutex_t* retired = nullptr;
  {
    StateLock lock;
    if (!lock.held()) return;
    close_log(true);
    retired = state.write_mutex.exchange(nullptr);
  }
  // A thread that counted itself before the exchange may still lock it.
  // Leaving the mutex undestroyed at exit is harmless, destroying it under a
  // user is not.
  if (wait_for_users_to_leave()) vek_destroyMutex(retired);
}

namespace {

// Ready with the logging core's start-up, closed at its shutdown.
const vek::logging::HookRegistrar file_logger_hooks({
    .initialise = vek_file_init_logging,
    .shutdown = vek_file_cleanup_at_exit,
});

}  // namespace

#ifndef _WIN32

namespace {

constexpr size_t SET_TIMESTAMP_LENGTH = 17;  // "YYYY-MM-DD_HHMMSS"
constexpr size_t MIN_INDEX_DIGITS = 3;
constexpr int LOG_DIR_MODE = 0755;
constexpr int LOG_FILE_MODE = 0644;
constexpr int PRIVATE_LOG_FILE_MODE = 0600;  // in a directory other users share
// Taken names skipped before the logger gives up on a new file.
constexpr int MAX_NAME_CLASHES = 100;
constexpr const char LOG_SUFFIX[] = ".log";
// Shape of a set timestamp: 'd' a digit, anything else itself.
constexpr const char SET_TIMESTAMP_SHAPE[] = "dddd-dd-dd_dddddd";

std::string set_timestamp(std::time_t when) {
  std::tm local = {};
  if (!vek::logging::local_time(when, &local)) local = std::tm{};
  char text[32];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local);
  return std::string(text, n);
}

// dir/prefix_timestamp_NNN.log for the state's set and `index`.
std::string log_file_name(int index) {
  char number[16];
  snprintf(number, sizeof number, "%03d", index);
  return std::string(state.m_dir) + "/" + state.m_prefix + "_" + set_timestamp(state.m_timestamp) + "_" + number +
         LOG_SUFFIX;
}

bool is_set_timestamp(const std::string& text) {
  if (text.size() != SET_TIMESTAMP_LENGTH) return false;
  for (size_t i = 0; i < SET_TIMESTAMP_LENGTH; ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (SET_TIMESTAMP_SHAPE[i] == 'd' ? !digit : text[i] != SET_TIMESTAMP_SHAPE[i]) return false;
  }
  return true;
}

// The set timestamp of a log file's name (prefix_timestamp_NNN.log, three
// digits or more), or "" for any other name: only log files belong to a set.
std::string set_key_of(const std::string& name, const std::string& prefix) {
  size_t suffix_length = sizeof LOG_SUFFIX - 1;
  size_t fixed = prefix.size() + 1 + SET_TIMESTAMP_LENGTH + 1;
  if (name.size() < fixed + MIN_INDEX_DIGITS + suffix_length) return "";
  if (name.compare(0, prefix.size(), prefix) != 0 || name[prefix.size()] != '_') return "";
  std::string timestamp = name.substr(prefix.size() + 1, SET_TIMESTAMP_LENGTH);
  if (!is_set_timestamp(timestamp) || name[fixed - 1] != '_') return "";
  if (name.compare(name.size() - suffix_length, suffix_length, LOG_SUFFIX) != 0) return "";
  for (size_t i = fixed; i < name.size() - suffix_length; ++i)
    if (name[i] < '0' || name[i] > '9') return "";
  return timestamp;
}

// Entry names of the state's directory, "." and ".." left out; false when
// it cannot be listed.
bool list_log_dir(std::vector<std::string>& names) {
  vek_list_t* list = vek_getDirectoryContents(state.m_dir);
  if (list == nullptr) return false;
  for (size_t i = 0; i < vek_listGetSize(list); ++i) {
    const char* name = static_cast<const char*>(vek_listGet(list, i));
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) names.emplace_back(name);
  }
  vek_listDeleteAll(list);
  vek_listDestroy(list);
  return true;
}

// Moves m_timestamp forward until no entry begins with prefix_timestamp,
// so that a new set never appends to an older one's files.
void find_unused_timestamp() {
  std::vector<std::string> names;
  if (!list_log_dir(names)) return;
  for (;;) {
    std::string taken = std::string(state.m_prefix) + "_" + set_timestamp(state.m_timestamp);
    bool used = std::any_of(names.begin(), names.end(),
                            [&](const std::string& name) { return name.compare(0, taken.size(), taken) == 0; });
    if (!used) return;
    ++state.m_timestamp;
  }
}

// Deletes the oldest sets of the prefix until num_sets - 1 remain, room for
// the new one. Only the caller's own log files form sets: other files, and
// look-alikes that another user made in a shared directory, are never
// counted (they would push the caller's older sets out) nor deleted.
void purge_old_log_sets() {
  std::vector<std::string> names;
  if (!list_log_dir(names)) return;
  // Set timestamp -> names of its files; the text order is chronological.
  std::map<std::string, std::vector<std::string>> sets;
  for (const std::string& name : names) {
    std::string key = set_key_of(name, state.m_prefix);
    if (!key.empty() && vek::logfile::is_own_file((std::string(state.m_dir) + "/" + name).c_str()))
      sets[key].push_back(name);
  }
  while (!sets.empty() && sets.size() >= static_cast<size_t>(state.m_num_sets)) {
    for (const std::string& file : sets.begin()->second) {
      std::string path = std::string(state.m_dir) + "/" + file;
      veklog(VEK_HERE, VEKLOG_DEBUG, "Removing old log file %s", path.c_str());
      vek::logfile::remove_file(path.c_str());
    }
    sets.erase(sets.begin());
  }
}

void use_open_file(int fd) {
  state.m_fd = fd;
  state.l_current_file_size = 0;
  state.l_write_failed = false;
  state.l_open.store(true);
}

void report_open_failure(const std::string& name) {
  vek_internal_log_error(VEK_HERE, "Could not open log file %s: %s", name.c_str(), strerror(errno));
  state.l_open.store(false);
}

// Creates the file of l_file_index as a new file, closing the current one
// first. A taken name (an older file, or whatever another user put there)
// is never opened: the next one is tried, a second later for the first file
// of a set, else the next index. On failure the logger stays silent until
// the next configuration.
bool open_new_log_file(bool first_of_set) {
  close_log(false);
  std::string name;
  for (int clashes = 0;; ++clashes) {
    name = log_file_name(state.l_file_index);
    int fd = vek::logfile::create_new(name.c_str(), state.m_file_mode, state.l_file_id);
    if (fd >= 0) {
      use_open_file(fd);
      return true;
    }
    if (errno != EEXIST || clashes + 1 >= MAX_NAME_CLASHES) break;
    if (first_of_set) {
      ++state.m_timestamp;
      find_unused_timestamp();
    } else {
      ++state.l_file_index;
    }
  }
  report_open_failure(name);
  return false;
}

// In a forked child: a descriptor of its own on the same file. A daemon has
// closed every inherited descriptor before this, and the number may be
// another file's by now: only a descriptor that is still the log's is
// closed, any other is forgotten.
void reopen_after_fork() {
  if (vek::logfile::refers_to(state.m_fd, state.l_file_id)) {
    close_log(false);
  } else {
    state.m_fd = -1;
  }
  std::string name = log_file_name(state.l_file_index);
  int fd = vek::logfile::reopen_own(name.c_str(), state.l_file_id);
  if (fd < 0) {
    report_open_failure(name);
    return;
  }
  use_open_file(fd);
}

void rotate_if_needed() {
  if (state.m_max_size == 0 || state.l_current_file_size < state.m_max_size) return;
  close_log(false);
  if (state.m_set_count > 0) {
    std::string oldest = log_file_name(state.l_file_index - state.m_set_count);
    if (state.l_file_index > state.m_set_count && vek::logfile::is_own_file(oldest.c_str()))
      vek::logfile::remove_file(oldest.c_str());
    ++state.l_file_index;
  }
  open_new_log_file(false);
}

// "timestamp level [native] {source} text\n", the level padded to 7.
std::string format_line(const vek_log_event_t* event) {
  std::string line = event->timestamp_text != nullptr ? event->timestamp_text : "";
  std::string level = veklog_getLevelText(event->level);
  if (level.size() < 7) level.append(7 - level.size(), ' ');
  line += " " + level + " [native] ";
  if (event->source != nullptr) line += std::string("{") + event->source + "} ";
  line += event->text != nullptr ? event->text : "";
  line += "\n";
  return line;
}

bool configure_locked(const char* dir, const char* prefix, vek_uint64_t max_size, int set_count, int num_sets) {
  close_log(true);
  state.m_dir = strdup(dir);
  state.m_prefix = strdup(prefix);
  if (state.m_dir == nullptr || state.m_prefix == nullptr) {
    vek_internal_log_error(VEK_HERE, "Could not configure the file log in '%s': out of memory", dir);
    close_log(true);
    return false;
  }
  state.m_max_size = max_size;
  state.m_set_count = set_count;
  state.m_num_sets = num_sets;
  state.m_file_mode = vek::logfile::is_shared_directory(dir) ? PRIVATE_LOG_FILE_MODE : LOG_FILE_MODE;
  state.m_timestamp = std::time(nullptr);
  find_unused_timestamp();
  purge_old_log_sets();
  if (open_new_log_file(true)) return true;
  close_log(true);
  return false;
}

}  // namespace

extern "C" bool veklog_file_configureLog(const char* dir, const char* prefix, vek_uint64_t max_size, int set_count,
                                         int num_sets) {
  if (dir == nullptr || dir[0] == '\0') {
    vek_internal_log_error(VEK_HERE, "The directory name provided to veklog_file_configureLog() is NULL or empty");
    return false;
  }
  if (!vek_doesDirectoryExist(dir) && !vek_createPath(dir, LOG_DIR_MODE)) {
    vek_internal_log_error(VEK_HERE,
                           "The directory '%s' provided to veklog_file_configureLog() did not exist and could not "
                           "be created: %s",
                           dir, strerror(errno));
    return false;
  }
  if (prefix == nullptr || prefix[0] == '\0') {
    vek_internal_log_error(VEK_HERE, "The filename prefix provided to veklog_file_configureLog() is NULL or empty");
    return false;
  }
  if (set_count < 1) set_count = DEFAULT_SET_COUNT;
  if (num_sets < 1) num_sets = DEFAULT_NUM_SETS;
  vek_file_init_logging();  // configurable again after a clean-up
  StateLock lock;
  if (!lock.held()) return false;
  try {
    return configure_locked(dir, prefix, max_size, set_count, num_sets);
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not configure the file log in '%s': out of memory", dir);
    close_log(true);
    return false;
  }
}

extern "C" void vek_fileLogger(vek_log_event_t* event) {
  if (event == nullptr || !state.l_open.load(std::memory_order_relaxed)) return;
  try {
    std::string line = format_line(event);
    StateLock lock;
    // Closed, failed to rotate or cleaned up since the quick test above.
    if (!lock.held() || state.m_fd < 0) return;
    if (vek::logfile::write_all(state.m_fd, line.data(), line.size())) {
      state.l_current_file_size += line.size();
    } else if (!state.l_write_failed) {
      state.l_write_failed = true;
      vek_internal_log_error(VEK_HERE, "Could not write to log file %s: %s", log_file_name(state.l_file_index).c_str(),
                             strerror(errno));
    }
    rotate_if_needed();
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not write a log line: out of memory");
  }
}

extern "C" char* veklog_file_getCurrentFile(void) {
  try {
    StateLock lock;
    if (!lock.held() || state.m_fd < 0) return nullptr;
    return strdup(log_file_name(state.l_file_index).c_str());
  } catch (...) {
    return nullptr;
  }
}

extern "C" void veklog_file_closeLog(void) {
  StateLock lock;
  if (lock.held()) close_log(true);
}

extern "C" void veklog_file_reclaimAfterFork(void) {
  try {
    StateLock lock;
    if (!lock.held() || state.m_fd < 0) return;
    reopen_after_fork();
  } catch (...) {
    vek_internal_log_error(VEK_HERE, "Could not reopen the log file after fork: out of memory");
  }
}

#endif  // !_WIN32
