// System information: names and identifier of this machine (computed once
// and cached), its processors, and the CPU share and memory of a process.
#include "vek_sysinfo.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "vek_list.h"
#include "vek_logging.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_runner.h"
#include "vek_sysinfo_platform.h"

namespace {

constexpr const char* HAL_PROGRAM = "/usr/bin/hal-get-property";
constexpr const char* DMI_UUID_FILE = "/sys/devices/virtual/dmi/id/product_uuid";
constexpr const char* DMI_MEMORY = "/dev/mem";
constexpr const char* DMI_DECODER = "/usr/sbin/dmidecode";
constexpr size_t DMI_UUID_LIMIT = 256;  // bytes read from the DMI export
constexpr size_t PROCESS_STAT_LIMIT = 2048;
constexpr size_t SYSTEM_STAT_LIMIT = 2048;
constexpr size_t STATM_LIMIT = 1024;
constexpr const char* WHITE_SPACE = " \t\n\r\v";

char* cached_hostname = nullptr;         // heap, never freed; null until first asked
char* cached_archname = nullptr;         // heap, never freed; null until first asked
char* cached_system_id = nullptr;        // heap, never freed; null until found
bool must_use_cached_system_id = false;  // the search found no source: not repeated

// External commands, one at a time: what the running command wrote to its
// standard output, and whether its error output is only of passing interest.
vek_mutex_t* external_program_mutex = nullptr;  // "sysinfo external process"
std::string text_from_stdOUT;                   // guarded by external_program_mutex
bool silent_stderr = false;                     // guarded by external_program_mutex

// Keeps a heap copy of `value`; when even that fails, the constant fallback
// is answered (and the next call tries again).
const char* cache(char*& slot, const std::string& value, const char* fallback) {
  slot = strdup(value.c_str());
  return slot != nullptr ? slot : fallback;
}

std::string stripped(const std::string& text) {
  size_t first = text.find_first_not_of(WHITE_SPACE);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(WHITE_SPACE);
  return text.substr(first, last - first + 1);
}

// ---------------------------------------------------------------------------
// External commands.

vek_mutex_t* external_mutex() {
  static vek_mutex_t* mutex = [] {
    external_program_mutex = vek_createMutex("sysinfo external process");
    return external_program_mutex;
  }();
  return mutex;
}

void collect_stdout(vek_process_handle_t* /*handle*/, const char* data, int size) {
  std::string chunk(data, static_cast<size_t>(size));
  veklog(VEK_HERE, VEKLOG_DEBUG, "STDOUT from external program: %s", stripped(chunk).c_str());
  text_from_stdOUT += chunk;
}

void report_stderr(vek_process_handle_t* /*handle*/, const char* data, int size) {
  std::string chunk(data, static_cast<size_t>(size));
  veklog(VEK_HERE, silent_stderr ? VEKLOG_VERBOSE : VEKLOG_ERROR,
         "STDERR from external program: %s. This is just one of several possible attempts to obtain the system ID.",
         stripped(chunk).c_str());
}

// Runs the command and returns what it wrote to its standard output, stripped;
// "" when it could not run, failed, or wrote nothing.
std::string run_command(const std::vector<std::string>& command_line, bool silent) {
  VekMutexGuard guard(external_mutex());
  silent_stderr = silent;
  text_from_stdOUT.clear();
  std::vector<std::string> args = command_line;
  std::unique_ptr<vek_list_t, decltype(&vek_listDestroy)> arg_list(vek_listCreate(args.size()), &vek_listDestroy);
  if (!arg_list) return "";
  for (std::string& arg : args) vek_listAdd(arg_list.get(), arg.data());
  std::string exe = args.front();
  std::string name = "External sysinfo-related program";
  vek_process_t proc = {};
  proc.name = name.data();
  proc.exe = exe.data();
  proc.args = arg_list.get();
  proc.redirect = VEK_REDIRECT_HANDLER;
  proc.output.handlers.stdout_handler = collect_stdout;
  proc.output.handlers.stderr_handler = report_stderr;

  std::string answer;
  vek_process_handle_t* handle = vek_startProcess(&proc);
  if (handle == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not execute external process %s", exe.c_str());
  } else {
    vek_process_result_t result = {};
    bool waited = vek_waitForProcess(handle, &result);
    if (!waited || result.exit_code != 0) {
      veklog(VEK_HERE, silent ? VEKLOG_VERBOSE : VEKLOG_ERROR,
             "Execution of external process %s returned an error code of %d", exe.c_str(),
             waited ? result.exit_code : -1);
    } else {
      veklog(VEK_HERE, VEKLOG_VERBOSE, "Execution of external process %s successful", exe.c_str());
      answer = stripped(text_from_stdOUT);
    }
    free(handle);
  }
  text_from_stdOUT.clear();
  silent_stderr = false;
  return answer;
}

// ---------------------------------------------------------------------------
// System identifier.

// How one source of the identifier answered.
enum class IdSearch {
  FOUND,    // `id` holds the identifier
  NONE,     // this source answered that there is none: stop, search again next time
  NEXT,     // try the next source
  GIVE_UP,  // no source is left: stop and never search again
};

IdSearch from_hal(std::string& id) {
  if (!vek::sysinfo::is_executable_file(HAL_PROGRAM)) return IdSearch::NEXT;
  for (const char* key : {"smbios.system.uuid", "system.hardware.uuid"}) {
    id = run_command({HAL_PROGRAM, "--udi", "/org/freedesktop/Hal/devices/computer", "--key", key}, true);
    if (!id.empty()) return IdSearch::FOUND;
  }
  return IdSearch::NEXT;
}

IdSearch from_dmi_export(std::string& id) {
  if (!vek::sysinfo::is_readable(DMI_UUID_FILE)) return IdSearch::NEXT;
  std::string content;
  bool close_failed = false;
  int close_error = 0;
  auto outcome = vek::sysinfo::read_start(DMI_UUID_FILE, DMI_UUID_LIMIT, content, close_failed, close_error);
  if (outcome == vek::sysinfo::ReadOutcome::MISSING || outcome == vek::sysinfo::ReadOutcome::OPEN_FAILED) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not open %s for reading: %s", DMI_UUID_FILE, strerror(errno));
    return IdSearch::NEXT;
  }
  if (close_failed)
    veklog(VEK_HERE, VEKLOG_WARN, "Could not properly close file stream to %s: %s", DMI_UUID_FILE,
           strerror(close_error));
  if (outcome == vek::sysinfo::ReadOutcome::READ_FAILED || content.empty()) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Error reading from %s: reason unknown", DMI_UUID_FILE);
    return IdSearch::NEXT;
  }
  id = stripped(content);
  return id.empty() ? IdSearch::NONE : IdSearch::FOUND;
}

IdSearch from_dmi_decoder(std::string& id) {
  if (!vek::sysinfo::is_readable(DMI_MEMORY) || !vek::sysinfo::is_executable_file(DMI_DECODER))
    return IdSearch::GIVE_UP;
  std::string output = run_command({DMI_DECODER, "-t", "1"}, false);
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    size_t label = line.find("UUID: ");
    if (label != std::string::npos) {
      id = stripped(line.substr(label + 6));
      return id.empty() ? IdSearch::GIVE_UP : IdSearch::FOUND;
    }
    start = end + 1;
  }
  return IdSearch::GIVE_UP;
}

const char* search_system_id() {
  std::string id;
  IdSearch outcome = IdSearch::NEXT;
  for (auto source : {from_hal, from_dmi_export, from_dmi_decoder}) {
    outcome = source(id);
    if (outcome != IdSearch::NEXT) break;
  }
  if (outcome == IdSearch::GIVE_UP) must_use_cached_system_id = true;
  if (outcome == IdSearch::FOUND) {
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    cached_system_id = strdup(id.c_str());
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Determined that the system ID is %s",
         cached_system_id != nullptr ? cached_system_id : "(not available)");
  return cached_system_id;
}

// ---------------------------------------------------------------------------
// CPU and memory of a process.

std::vector<std::string> tokens_of(const std::string& text) {
  std::vector<std::string> tokens;
  size_t at = text.find_first_not_of(WHITE_SPACE);
  while (at != std::string::npos) {
    size_t end = text.find_first_of(WHITE_SPACE, at);
    tokens.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? end : text.find_first_not_of(WHITE_SPACE, end);
  }
  return tokens;
}

// The first line of a /proc file. The caller reports a file that is missing
// or cannot be opened, each in its own words.
vek::sysinfo::ReadOutcome first_line(const std::string& path, size_t limit, std::string& line) {
  bool close_failed = false;
  int close_error = 0;
  auto outcome = vek::sysinfo::read_start(path.c_str(), limit, line, close_failed, close_error);
  size_t end = line.find('\n');
  if (end != std::string::npos) line.resize(end);
  return outcome;
}

using vek::sysinfo::ReadOutcome;

// A whole number (after stripping), or false with the conversion message.
bool to_number(const std::string& path, const std::string& token, int64_t& value) {
  std::string text = stripped(token);
  char* end = nullptr;
  errno = 0;
  long long parsed = text.empty() ? 0 : strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE) {
    veklog(VEK_HERE, VEKLOG_WARN, "%s: Could not convert text '%s' to a number", path.c_str(), token.c_str());
    return false;
  }
  value = parsed;
  return true;
}

std::string proc_path(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(static_cast<long>(pid)) + "/" + file;
}

// User plus system time of the process. They are counted after the command
// name, which is in parentheses and may itself hold blanks.
bool process_ticks(pid_t pid, int64_t& ticks) {
  std::string path = proc_path(pid, "stat");
  std::string line;
  ReadOutcome outcome = first_line(path, PROCESS_STAT_LIMIT, line);
  if (outcome == ReadOutcome::MISSING) {
    veklog(VEK_HERE, VEKLOG_WARN, "Process stat file %s does not exist. CPU usage not available.", path.c_str());
    return false;
  }
  if (outcome != ReadOutcome::READ) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not open process stat file %s: %s. Memory usage not available.", path.c_str(),
           strerror(errno));
    return false;
  }
  size_t name_end = line.rfind(')');
  std::vector<std::string> tokens = tokens_of(name_end == std::string::npos ? line : line.substr(name_end + 1));
  // Fields 14 and 15 of the line; the first token after the name is field 3.
  size_t user_at = name_end == std::string::npos ? 13 : 11;
  int64_t user = 0, system = 0;
  auto token = [&](size_t at) { return at < tokens.size() ? tokens[at] : std::string(); };
  if (!to_number(path, token(user_at), user) || !to_number(path, token(user_at + 1), system)) return false;
  ticks = user + system;
  return true;
}

// CPU time of the whole machine: every figure of the "cpu" line.
bool machine_ticks(int64_t& ticks) {
  const std::string path = "/proc/stat";
  std::string line;
  ReadOutcome outcome = first_line(path, SYSTEM_STAT_LIMIT, line);
  if (outcome == ReadOutcome::MISSING) {
    veklog(VEK_HERE, VEKLOG_WARN, "System stat file %s does not exist. CPU usage not available.", path.c_str());
    return false;
  }
  if (outcome != ReadOutcome::READ) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not open system stat file %s: %s. Memory usage not available.", path.c_str(),
           strerror(errno));
    return false;
  }
  std::vector<std::string> tokens = tokens_of(line);
  ticks = 0;
  for (size_t i = 1; i < tokens.size(); ++i) {
    int64_t value = 0;
    if (!to_number(path, tokens[i], value)) return false;
    ticks += value;
  }
  return true;
}

vek_cpu_usage_t* new_tracker() {
  auto* tracker = static_cast<vek_cpu_usage_t*>(calloc(1, sizeof(vek_cpu_usage_t)));
  auto* internal = static_cast<vek_cpu_usage_internal_t*>(calloc(1, sizeof(vek_cpu_usage_internal_t)));
  if (tracker == nullptr || internal == nullptr) {
    free(tracker);
    free(internal);
    return nullptr;
  }
  tracker->internal = internal;
  return tracker;
}

bool measure_cpu(pid_t pid, vek_cpu_usage_t** slot) {
  vek_cpu_usage_t* tracker = *slot;
  int64_t process = 0, total = 0;
  if (!process_ticks(pid, process) || !machine_ticks(total)) {
    if (tracker != nullptr) tracker->available = false;
    return false;
  }
  if (tracker == nullptr || tracker->internal == nullptr) {
    vek_cpu_usage_t* created = new_tracker();
    if (created == nullptr) return false;
    vek_freeCpuUsage(tracker);
    *slot = tracker = created;
    tracker->available = false;  // the first measurement only sets the baseline
  } else if (tracker->process_id != pid) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Process CPU tracker provided was for process %ld, but CPU usage for process %ld was requested.",
           static_cast<long>(tracker->process_id), static_cast<long>(pid));
    tracker->available = false;
  } else {
    tracker->available = true;
  }
  if (tracker->available) {
    int64_t total_delta = total - tracker->internal->total_time;
    int64_t process_delta = process - tracker->internal->process_time;
    tracker->percent_cpu_usage =
        total_delta > 0 ? 100.0 * static_cast<double>(process_delta) / static_cast<double>(total_delta) : 0.0;
  }
  tracker->last_measurement = std::time(nullptr);
  tracker->internal->process_time = process;
  tracker->internal->total_time = total;
  tracker->process_id = pid;
  return true;
}

}  // namespace

extern "C" const char* vek_getHostname(void) {
  if (cached_hostname != nullptr) return cached_hostname;
  try {
    std::string name;
    if (!vek::sysinfo::host_name(name)) {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not determine a local host name: %s ", strerror(errno));
      name = "localhost";
    }
    const char* result = cache(cached_hostname, name, "localhost");
    veklog(VEK_HERE, VEKLOG_DEBUG, "Using '%s' as the local computer name.", result);
    return result;
  } catch (...) {
    return "localhost";
  }
}

extern "C" const char* vek_getArchName(void) {
  if (cached_archname != nullptr) return cached_archname;
  try {
    std::string name;
    if (!vek::sysinfo::machine_name(name)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not determine the machine name for this system: %s", strerror(errno));
      name = "unknown";
    }
    const char* result = cache(cached_archname, name, "unknown");
    veklog(VEK_HERE, VEKLOG_DEBUG, "Determined that the actual host architecture is %s", result);
    return result;
  } catch (...) {
    return "unknown";
  }
}

extern "C" bool vek_isWindows(void) { return false; }
extern "C" bool vek_isUnix(void) { return true; }
extern "C" bool vek_isLinux(void) { return true; }
extern "C" bool vek_isSolaris(void) { return false; }
extern "C" bool vek_isAIX(void) { return false; }
extern "C" bool vek_isHPUX(void) { return false; }

extern "C" int vek_getOnlineProcessors(void) { return vek::sysinfo::online_processors(); }
extern "C" int vek_getActiveProcessors(void) { return vek::sysinfo::online_processors(); }

extern "C" const char* vek_getSystemID(void) {
  // The search runs programs and may take a while: callers on other threads
  // wait for its answer instead of starting a second search.
  static vek_mutex_t* search_mutex = vek_createMutex("sysinfo system id");
  VekMutexGuard guard(search_mutex);
  if (cached_system_id != nullptr || must_use_cached_system_id) return cached_system_id;
  try {
    return search_system_id();
  } catch (...) {
    veklog(VEK_HERE, VEKLOG_ERROR, "Could not determine the system ID: out of memory");
    return nullptr;
  }
}

extern "C" bool vek_linux_get_cpu_used(pid_t processId, vek_cpu_usage_t** tracker) {
  if (tracker == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "NULL tracker pointer passed to vek_getCpuUsedByProcess(). This is an internal programming error");
    return false;
  }
  try {
    return measure_cpu(processId, tracker);
  } catch (...) {
    if (*tracker != nullptr) (*tracker)->available = false;
    return false;
  }
}

extern "C" bool vek_getCpuUsedByProcess(pid_t processId, vek_cpu_usage_t** tracker) {
  if (!vek_linux_get_cpu_used(processId, tracker)) return false;
  vek_cpu_usage_t* measured = *tracker;
  if (measured->available) {
    if (measured->percent_cpu_usage < 0.0) measured->percent_cpu_usage = 0.0;
    if (measured->percent_cpu_usage > 100.0) measured->percent_cpu_usage = 100.0;
  }
  return true;
}

extern "C" void vek_freeCpuUsage(vek_cpu_usage_t* tracker) {
  if (tracker == nullptr) return;
  free(tracker->internal);
  free(tracker);
}

extern "C" vek_uint64_t vek_getMemoryUsedByProcess(pid_t processId) {
  try {
    std::string path = proc_path(processId, "statm");
    std::string line;
    ReadOutcome outcome = first_line(path, STATM_LIMIT, line);
    if (outcome == ReadOutcome::MISSING) {
      veklog(VEK_HERE, VEKLOG_WARN, "Process stat file %s does not exist. Memory usage not available.", path.c_str());
      return VEK_UINT64_UNKNOWN;
    }
    if (outcome != ReadOutcome::READ) {
      veklog(VEK_HERE, VEKLOG_WARN, "Could not open process stat file %s: %s. Memory usage not available.",
             path.c_str(), strerror(errno));
      return VEK_UINT64_UNKNOWN;
    }
    std::vector<std::string> tokens = tokens_of(line);
    int64_t pages = 0;
    if (!to_number(path, tokens.size() > 1 ? tokens[1] : std::string(), pages) || pages < 0) return VEK_UINT64_UNKNOWN;
    return static_cast<vek_uint64_t>(pages) * static_cast<vek_uint64_t>(vek::sysinfo::page_size());
  } catch (...) {
    return VEK_UINT64_UNKNOWN;
  }
}
