// Signal handling on a dedicated thread. The main thread blocks the
// termination signals before any other thread exists, so every later thread
// (those of a Java VM included) inherits the block, and one thread collects
// the signals with sigtimedwait and dispatches them in ordinary thread
// context, where the program's exit routine may log, lock and call anything.
//
// When the exit routine ends the handling, every thread but the signal
// thread still blocks the signals, and none of them can be made to unblock
// from here. The signal thread therefore stays, parked with the signals
// unblocked, so that the kernel delivers later signals to it under the
// restored dispositions; a new installation retires it first.
//
// As the first process of a container the thread also reaps ended children
// between two waits: the process runner's children excepted, whose status
// the runner takes itself.
#include "vek_sighandler.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_module_init.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_runner_children.h"
#include "vek_runner_signals.h"

namespace {

constexpr long SIGNAL_WAIT_NANOSECONDS = 250000000;  // one wait; bounds how late the thread sees it is to stop
constexpr size_t SAVED_LIST_GROWTH = 4;              // at most four handled signals
constexpr int MAX_REAPED_PER_ROUND = 1024;           // bounds a round, so that signals are not held up

// A disposition saved when the block was installed.
struct vek_sig_action_t {
  int signum;                // the signal
  struct sigaction* action;  // heap copy of its disposition before the block
};

// What the signal thread does once the exit routine has ended the handling.
enum ParkState : int {
  NOT_PARKED = 0,  // no parked thread
  PARKED = 1,      // parked with the signals unblocked, receiving them under the restored dispositions
  RETIRING = 2,    // a new installation asked it to block them again and end
};

vek_list_t* saved_signals = nullptr;            // vek_sig_action_t*; non-NULL exactly while installed; under the mutex
struct sigaction saved_ttin = {};               // SIGTTIN before the latest block; kept once it is gone
struct sigaction saved_ttou = {};               // SIGTTOU before the latest block; kept once it is gone
std::atomic<bool> is_sighup_discarded{false};   // swallow SIGHUP
std::atomic<bool> is_sigint_discarded{false};   // swallow SIGINT
std::atomic<bool> is_sigquit_discarded{false};  // swallow SIGQUIT
std::atomic<bool> is_sigterm_discarded{false};  // swallow SIGTERM
std::atomic<vek_daemon_exit_t> user_signal_handler{nullptr};  // the registered exit routine
std::atomic<bool> user_signal_handler_installed{false};       // the routine is to be used
bool signal_thread_running = false;                           // the signal thread is to go on; under the mutex
// "signal handler polling thread": guards saved_signals and
// signal_thread_running. Created with the module and kept for the life of
// the process, so that no thread can meet it half destroyed.
vek_mutex_t* signal_thread_mutex = nullptr;
std::atomic<bool> block_was_installed{false};     // the forking thread may still block the signals
std::atomic<int> park_state{NOT_PARKED};          // ParkState of the signal thread
std::atomic<unsigned> signal_threads_started{0};  // counts signal threads that reached their loop
// 1 from the call of the exit routine until its answer has been acted on
// (the handling ended, or goes on): an installation meanwhile waits for it,
// or it would find the block about to end still installed.
std::atomic<int> answer_pending{0};
thread_local bool on_signal_thread = false;  // this thread is a signal thread
std::atomic<bool> child_reaping{false};      // the signal thread reaps ended children
std::atomic<unsigned long> heartbeat{0};     // rounds of the signal thread's loop so far

vek_mutex_t* state_mutex() {
  if (signal_thread_mutex == nullptr) signal_thread_mutex = vek_createMutex("signal handler polling thread");
  return signal_thread_mutex;
}

std::atomic<bool>* discard_flag(int signal_number) {
  switch (signal_number) {
    case SIGHUP: return &is_sighup_discarded;
    case SIGINT: return &is_sigint_discarded;
    case SIGQUIT: return &is_sigquit_discarded;
    case SIGTERM: return &is_sigterm_discarded;
    default: return nullptr;
  }
}

void free_saved(vek_list_t* list) {
  for (size_t i = 0; i < vek_listGetSize(list); ++i) {
    auto* saved = static_cast<vek_sig_action_t*>(vek_listGet(list, i));
    free(saved->action);
    free(saved);
  }
  vek_listDestroy(list);
}

// Gives back every saved disposition and forgets them. With `unblock_all`
// the calling thread also unblocks every signal. The flags go first, so that
// the signal thread stops at its next wait.
void remove_signal_handling(bool unblock_all) {
  user_signal_handler_installed.store(false);
  VekMutexGuard guard(state_mutex());
  signal_thread_running = false;
  if (saved_signals == nullptr) return;
  for (size_t i = 0; i < vek_listGetSize(saved_signals); ++i) {
    auto* saved = static_cast<vek_sig_action_t*>(vek_listGet(saved_signals, i));
    sigaction(saved->signum, saved->action, nullptr);
  }
  sigaction(SIGTTIN, &saved_ttin, nullptr);
  sigaction(SIGTTOU, &saved_ttou, nullptr);
  if (unblock_all) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
  }
  free_saved(saved_signals);
  saved_signals = nullptr;
  vek::runner::set_signals_saved_at_block(nullptr);
}

bool thread_should_go_on() {
  VekMutexGuard guard(state_mutex());
  return signal_thread_running;
}

// A signal nobody handles any more is passed on as the process would have
// received it before the block. SIG_DFL ends the process through exit(), so
// that exit processing and the shutdown notification still run.
void hand_to_saved_disposition(int signal_number, siginfo_t* info) {
  struct sigaction action = {};
  bool found = false;
  {
    VekMutexGuard guard(state_mutex());
    for (size_t i = 0; saved_signals != nullptr && i < vek_listGetSize(saved_signals); ++i) {
      auto* saved = static_cast<vek_sig_action_t*>(vek_listGet(saved_signals, i));
      if (saved->signum != signal_number) continue;
      action = *saved->action;
      found = true;
      break;
    }
  }
  if (!found) return;  // ignored before the block: dropped
  // The default and ignored dispositions come first: with SA_SIGINFO set
  // they are the same values in the three-argument slot, not handlers.
  if (action.sa_handler == SIG_DFL) {
    exit(1);
  } else if (action.sa_handler == SIG_IGN) {
    return;
  } else if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signal_number, info, nullptr);
  } else {
    action.sa_handler(signal_number);
  }
}

// The exit routine ended the handling: restore the earlier dispositions and
// let the kernel deliver later signals to this thread, the only one that can
// unblock them. The state is parked first so that an installation racing
// with this retires the thread.
void end_handling_on_signal_thread(const sigset_t& set) {
  park_state.store(PARKED);
  remove_signal_handling(false);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void park(const sigset_t& set) {
  for (int state = park_state.load(); state == PARKED; state = park_state.load()) park_state.wait(PARKED);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  park_state.store(NOT_PARKED);
  park_state.notify_all();
}

// Called by an installation: a parked thread must block the signals again
// before the new signal thread waits for them, or it would take them first.
void retire_parked_thread() {
  int expected = PARKED;
  if (!park_state.compare_exchange_strong(expected, RETIRING)) return;
  park_state.notify_all();
  for (int state = park_state.load(); state == RETIRING; state = park_state.load()) park_state.wait(RETIRING);
}

void answer_acted_on() {
  answer_pending.store(0);
  answer_pending.notify_all();
}

void dispatch(int signal_number, siginfo_t* info, const sigset_t& set) {
  vek_daemon_exit_t routine = user_signal_handler.load();
  if (user_signal_handler_installed.load() && routine != nullptr) {
    answer_pending.store(1);
    if (routine(signal_number) != 0) end_handling_on_signal_thread(set);
    answer_acted_on();
    return;
  }
  hand_to_saved_disposition(signal_number, info);
}

// An installation while the exit routine runs elsewhere waits for its answer
// to be acted on: when the routine ends the handling, the new block is then
// installed anew instead of being lost. The routine itself installing (on
// the signal thread) does not wait for itself.
void await_routine_answer() {
  if (on_signal_thread) return;
  for (int pending = answer_pending.load(); pending != 0; pending = answer_pending.load()) answer_pending.wait(pending);
}

bool is_discarded(int signal_number) {
  std::atomic<bool>* flag = discard_flag(signal_number);
  return flag == nullptr || flag->load();
}

// The state letter and parent of process `pid` from /proc; false when unreadable.
bool read_process_state(pid_t pid, char* state, long* parent) {
  char path[64];
  char text[512];
  snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t size = read(fd, text, sizeof text - 1);
  close(fd);
  if (size <= 0) return false;
  text[size] = '\0';
  const char* name_end = strrchr(text, ')');  // the name may hold blanks and parentheses
  return name_end != nullptr && sscanf(name_end + 1, " %c %ld", state, parent) == 2;
}

// Past an ended child of the runner waitid names no other, so the others
// are looked up in /proc: this process's children in state Z. A /proc of
// another pid namespace shows none of them (nothing is reaped then until
// the runner has reaped its own); any pid it shows is safe to pass to
// waitpid, which reaps only an ended child of this process.
void reap_listed_zombies() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  const long self = static_cast<long>(getpid());
  for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
    const pid_t pid = static_cast<pid_t>(atol(entry->d_name));  // 0 for what is not a process
    char state = '?';
    long parent = 0;
    if (pid > 0 && read_process_state(pid, &state, &parent) && state == 'Z' && parent == self &&
        vek::runner::may_reap(pid))
      waitpid(pid, nullptr, WNOHANG);
  }
  closedir(proc);
}

// Reaps the ended children that nobody else waits for. waitid with WNOWAIT
// names one without reaping it; the child stays a zombie until waitpid, so
// its pid cannot be reused meanwhile.
void reap_ended_children() {
  for (int round = 0; round < MAX_REAPED_PER_ROUND; ++round) {
    siginfo_t info = {};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
    if (!vek::runner::may_reap(info.si_pid)) {
      reap_listed_zombies();
      return;
    }
    waitpid(info.si_pid, nullptr, WNOHANG);
  }
}

// Owns the heap copy of the set it is started with.
void* signal_thread(void* argument) {
  sigset_t set = *static_cast<sigset_t*>(argument);
  free(argument);
  on_signal_thread = true;
  signal_threads_started.fetch_add(1);
  signal_threads_started.notify_all();
  do {
    siginfo_t info = {};
    struct timespec timeout = {0, SIGNAL_WAIT_NANOSECONDS};
    int received = sigtimedwait(&set, &info, &timeout);
    if (received > 0 && !is_discarded(received)) dispatch(received, &info, set);
    if (child_reaping.load()) reap_ended_children();
    heartbeat.fetch_add(1);
  } while (thread_should_go_on());
  if (park_state.load() != NOT_PARKED) park(set);
  return nullptr;
}

// Adds a heap copy of `action` for `signal_number` to `list`.
bool save_disposition(vek_list_t* list, int signal_number, const struct sigaction& action) {
  auto* saved = static_cast<vek_sig_action_t*>(malloc(sizeof(vek_sig_action_t)));
  auto* copy = static_cast<struct sigaction*>(malloc(sizeof(struct sigaction)));
  if (saved == nullptr || copy == nullptr || !vek_listAdd(list, saved)) {
    free(saved);
    free(copy);
    return false;
  }
  *copy = action;
  saved->signum = signal_number;
  saved->action = copy;
  return true;
}

// Builds the set and saves the earlier dispositions: SIGINT, SIGTERM and
// SIGQUIT are always handled (an ignored one is not saved, so it stays
// dropped); SIGHUP only when it is not ignored, so that a process started
// immune to hang-ups stays so. False when memory ran out.
bool build_signal_set(vek_list_t* list, sigset_t* set) {
  sigemptyset(set);
  for (int signal_number : {SIGINT, SIGTERM, SIGQUIT}) {
    struct sigaction current = {};
    sigaction(signal_number, nullptr, &current);
    if (current.sa_handler != SIG_IGN && !save_disposition(list, signal_number, current)) return false;
    sigaddset(set, signal_number);
  }
  struct sigaction hup = {};
  bool read = sigaction(SIGHUP, nullptr, &hup) == 0;
  if (!read) {
    veklog(VEK_HERE, VEKLOG_WARN, "Could not determine the signal state for signal %d, assuming default. Error: %s",
           SIGHUP, strerror(errno));
    hup = {};
    hup.sa_handler = SIG_DFL;
  }
  if (!read || hup.sa_handler != SIG_IGN) {
    if (!save_disposition(list, SIGHUP, hup)) return false;
    sigaddset(set, SIGHUP);
  }
  return true;
}

// The process runner's children start without the fork handling and reset
// these to their default themselves: every saved disposition, and SIGTTIN
// and SIGTTOU unless they were ignored before the block ignored them.
void publish_saved_signals(vek_list_t* list) {
  sigset_t saved;
  sigemptyset(&saved);
  for (size_t i = 0; i < vek_listGetSize(list); ++i)
    sigaddset(&saved, static_cast<vek_sig_action_t*>(vek_listGet(list, i))->signum);
  if (saved_ttin.sa_handler != SIG_IGN) sigaddset(&saved, SIGTTIN);
  if (saved_ttou.sa_handler != SIG_IGN) sigaddset(&saved, SIGTTOU);
  vek::runner::set_signals_saved_at_block(&saved);
}

// A background process that touches its terminal must not be stopped.
void ignore_terminal_stops() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTOU, &ignore, &saved_ttou);
  sigaction(SIGTTIN, &ignore, &saved_ttin);
}

bool start_signal_thread(const sigset_t& set) {
  auto* thread_set = static_cast<sigset_t*>(malloc(sizeof(sigset_t)));
  int error = ENOMEM;
  if (thread_set != nullptr) {
    *thread_set = set;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    unsigned started = signal_threads_started.load();
    error = pthread_create(&thread, &attributes, signal_thread, thread_set);
    pthread_attr_destroy(&attributes);
    // Return only once the thread is past its start-up: a fork right after
    // the installation (a daemon) must not catch it half way through an
    // allocation whose lock the child would inherit held.
    if (error == 0)
      for (unsigned now = started; now == started; now = signal_threads_started.load())
        signal_threads_started.wait(started);
  }
  if (error == 0) return true;
  free(thread_set);
  vek_internal_log_error(VEK_HERE, "Could not start a separate thread to handle signals %d: %s", error,
                         strerror(error));
  return false;
}

// A fork copies the dispositions before the memory, while the other threads
// run on: when the handling ended on the signal thread during the fork, the
// child can find the block gone and SIGTTIN and SIGTTOU still ignored. The
// block ignored them, so an ignored one gets its disposition from before the
// block back (those saved values stay valid once the block is gone).
void restore_terminal_stops_in_child() {
  struct sigaction current = {};
  if (sigaction(SIGTTIN, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
    sigaction(SIGTTIN, &saved_ttin, nullptr);
  if (sigaction(SIGTTOU, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
    sigaction(SIGTTOU, &saved_ttou, nullptr);
}

// Only the forking thread survives a fork, so the child has no signal
// thread: it gets back the dispositions from before the block and an empty
// mask, also when the handling had already ended in the parent (the forking
// thread may still block the signals then; the terminal stops see
// restore_terminal_stops_in_child).
void signals_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM* /*vm*/) {
  if (stage != VEK_CHILD_AFTER_FORK) return;
  park_state.store(NOT_PARKED);
  answer_pending.store(0);  // the routine ran on a thread the child does not have
  remove_signal_handling(true);
  if (block_was_installed.load()) {
    restore_terminal_stops_in_child();
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
  }
}

}  // namespace

extern "C" void vek_installSignalBlock(void) {
  await_routine_answer();
  if (vek_isSignalBlockInstalled()) return;
  retire_parked_thread();
  vek_list_t* list = vek_listCreate(SAVED_LIST_GROWTH);
  sigset_t set;
  if (list == nullptr || !build_signal_set(list, &set)) {
    if (list != nullptr) free_saved(list);
    vek_internal_log_error(VEK_HERE, "Could not save the signal dispositions: %s", strerror(ENOMEM));
    return;
  }
  ignore_terminal_stops();
  publish_saved_signals(list);
  {
    VekMutexGuard guard(state_mutex());
    saved_signals = list;
    signal_thread_running = true;
  }
  block_was_installed.store(true);
  int error = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (error != 0) {
    vek_internal_log_error(VEK_HERE, "Could not mask undesirable signals in main thread: %s", strerror(error));
    return;
  }
  if (!start_signal_thread(set)) remove_signal_handling(true);
}

extern "C" bool vek_isSignalBlockInstalled(void) {
  VekMutexGuard guard(state_mutex());
  return saved_signals != nullptr;
}

extern "C" int vek_registerSignalHandlers(vek_daemon_exit_t handler) {
  if (!vek_isSignalBlockInstalled()) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Cannot install a signal handler unless vek_installSignalBlock() has already been called");
    return 0;
  }
  if (handler == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "(INTERNAL) Invalid or NULL exit routine passed to vek_registerSignalHandlers(). No signal handling "
           "routines will be registered for this process.");
    return 0;
  }
  user_signal_handler.store(handler);
  user_signal_handler_installed.store(true);
  veklog(VEK_HERE, VEKLOG_DEBUG, "Signal handlers registered");
  return 1;
}

extern "C" bool vek_setSignalDiscarded(int signal_number, bool discarded) {
  if (!vek_isSignalBlockInstalled()) {
    veklog(VEK_HERE, VEKLOG_WARN,
           "Cannot set discard state for signal #%d as the internal signal handler is not installed.", signal_number);
    return false;
  }
  std::atomic<bool>* flag = discard_flag(signal_number);
  if (flag == nullptr) {
    veklog(VEK_HERE, VEKLOG_WARN, "Unsupported signal number %d passed to vek_setSignalDiscarded(). No action taken",
           signal_number);
    return false;
  }
  flag->store(discarded);
  return true;
}

extern "C" void vek_initialize_signals(void) {
  state_mutex();
  vek_addLifecycleNotification(signals_lifecycle);
}

extern "C" void vek_setChildReaping(bool enabled) { child_reaping.store(enabled); }

extern "C" unsigned long vek_getSignalThreadHeartbeat(void) { return heartbeat.load(); }

namespace {
const vek::ModuleInitialiser signals_start(vek::ModuleRank::signals, vek_initialize_signals);
}  // namespace
