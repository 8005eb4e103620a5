// The message server's listening sockets and its polling thread: one thread
// accepts connections and reads each request as its bytes arrive, giving
// whole requests to the connection threads (vek_message_unix). Logs under
// the server's name.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vek_log_source.h"
#include "vek_logging.h"
#include "vek_message_server.h"
#include "vek_message_wire.h"
#include "vek_mutex_guard.h"

VEK_LOG_SOURCE(message_unix);

using vek::message::fill_address;

namespace vek::message::server {

// ---- Listening ------------------------------------------------------------

// Creates, binds and listens on a socket at `path`; the descriptor, or -1 (logged).
int start_listening(const char* path) {
  int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not create socket to listen for messages: %s", strerror(errno));
    return -1;
  }
  // Linux creates the socket file with the socket's own mode: set before the
  // bind, no other user can connect between the bind and the chmod.
  fchmod(descriptor, SOCKET_FILE_MODE);
  sockaddr_un address;
  const bool filled = fill_address(path, address);
  const socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
  if (!filled || bind(descriptor, reinterpret_cast<sockaddr*>(&address), address_length) != 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not bind socket to path %s to listen for messages: %s", path, strerror(errno));
    close(descriptor);
    return -1;
  }
  if (chmod(path, SOCKET_FILE_MODE) != 0)
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
           "Could not set permissions on inter-launcher communication socket path %s: %s", path, strerror(errno));
  if (listen(descriptor, LISTEN_BACKLOG) != 0)
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
           "Could not start listening on inter-launcher communication socket path %s: %s", path, strerror(errno));
  return descriptor;
}

// Clears the way for a new socket file: a socket left by an earlier server
// of this user is removed; anything else is left alone (false): somebody's
// data, or a socket another user planted at the predictable path, which the
// launcher must not take over, nor may it serve beside it.
bool clear_socket_path(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0) return true;
  if (!S_ISSOCK(info.st_mode)) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "Inter-launcher communication socket path %s already exists and is not a socket; it is left in place.",
           path);
    return false;
  }
  if (info.st_uid != geteuid()) {
    passwd entry;
    passwd* owner = nullptr;
    char names[4096];
    getpwuid_r(info.st_uid, &entry, names, sizeof names, &owner);
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "Inter-launcher communication socket path %s already exists and belongs to another user (%s, UID %ld); it "
           "is left in place.",
           path, owner != nullptr ? owner->pw_name : "unknown", static_cast<long>(info.st_uid));
    return false;
  }
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
         "Inter-launcher communication socket path %s already exists, removing it.", path);
  if (unlink(path) == 0 || errno == ENOENT) return true;
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
         "Could not remove the inter-launcher communication socket path %s: %s", path, strerror(errno));
  return false;
}

bool file_exists(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0;
}

// Index of the record for `path`, or -1. Called under socket_list_mutex.
long find_socket(const char* path) {
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i)
    if (strcmp(static_cast<socket_data*>(vek_listGet(socket_list, i))->path, path) == 0) return static_cast<long>(i);
  return -1;
}

void close_socket(socket_data* record) {
  if (record->descriptor >= 0) close(record->descriptor);
  if (file_exists(record->path)) unlink(record->path);
  free(record->path);
  free(record);
}

// ---- The polling thread ----------------------------------------------------

// The pipe is made with the thread, not at start-up: a daemon closes every
// descriptor it inherited, and a number reused meanwhile (the pid file, say)
// would have the thread polling a file that is always readable.
void open_wake_pipe() {
  if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) == 0) return;
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
         "Could not create the wake-up pipe of the inter-launcher communications thread: %s", strerror(errno));
  wake_pipe[0] = wake_pipe[1] = -1;
}

void close_wake_pipe() {
  for (int& end : wake_pipe) {
    if (end >= 0) close(end);
    end = -1;
  }
}

void wake_polling_thread() {
  VekMutexGuard lock(polling_thread_mutex);  // the pipe is made and closed under it
  if (wake_pipe[1] < 0) return;
  const char byte = 0;
  ssize_t ignored = write(wake_pipe[1], &byte, 1);  // a full pipe wakes the thread as well
  (void)ignored;
}

void drain_wake_pipe() {
  char bytes[64];
  while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

bool polling_should_run() {
  VekMutexGuard lock(polling_thread_mutex);
  return polling_thread_running;
}

// Under the list mutex: recreates lost socket files and adds the listening
// sockets to the wait set.
void add_listening_sockets(polling_state& state) {
  VekMutexGuard lock(socket_list_mutex);
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i) {
    auto* record = static_cast<socket_data*>(vek_listGet(socket_list, i));
    if (!file_exists(record->path)) {
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
             "The inter-launcher communication socket file at %s no longer exists, but the inter-launcher "
             "communications server that is using it is still running. Please make sure that there are no external "
             "processes which could have removed the file. It will now be recreated.",
             record->path);
      if (record->descriptor >= 0) close(record->descriptor);
      record->descriptor = start_listening(record->path);
    }
    if (record->descriptor < 0) continue;
    state.wait_set.push_back(pollfd{record->descriptor, POLLIN, 0});
    ++state.listening;
  }
}

// Whether a connection could be accepted now: there is room, or an idle
// connection could give way (make_room).
bool may_accept(const polling_state& state, clock_type::time_point now) {
  if (state.given_up || now < state.accept_after) return false;
  VekMutexGuard lock(connection_mutex);
  if (vek_listGetSize(connection_list) < MAX_OPEN_CONNECTIONS) return true;
  for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
    const auto* connection = static_cast<const connection_data*>(vek_listGet(connection_list, i));
    if (connection->stage == CONNECTION_READING && connection->header_got == 0 && now - connection->since >= IDLE_GRACE)
      return true;
  }
  return false;
}

// The wait set of one pass: the wake pipe, the listening sockets (unless
// accepting has to wait) and the connections being read. Returns how long
// the pass may wait: less than POLL_WAIT_MS when a connection's time runs
// out sooner or a shortage is to be tried again.
int build_wait_set(polling_state& state, clock_type::time_point now) {
  state.wait_set.assign(1, pollfd{wake_pipe[0], POLLIN, 0});
  state.listening = 0;
  state.reading.clear();
  if (may_accept(state, now)) add_listening_sockets(state);
  auto wait = std::chrono::milliseconds(POLL_WAIT_MS);
  if (state.threads_short || state.connections_full || state.descriptors_short)
    wait = std::chrono::milliseconds(RETRY_MS);
  VekMutexGuard lock(connection_mutex);
  // Queued requests have a time limit only while no thread can take them (expire_connections).
  const bool threads_missing = state.threads_short && connection_threads == 0;
  for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
    auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
    if (connection->stage != CONNECTION_READING && !(connection->stage == CONNECTION_QUEUED && threads_missing))
      continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(connection->since + READ_LIMIT - now);
    wait = std::max(std::chrono::milliseconds(0), std::min(wait, left + std::chrono::milliseconds(1)));
    if (connection->stage != CONNECTION_READING) continue;
    state.wait_set.push_back(pollfd{connection->descriptor, POLLIN, 0});
    state.reading.push_back(connection);
  }
  return static_cast<int>(wait.count());
}

bool is_shortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

// Accepts what waits on `descriptor` if it still belongs to a server (a stop
// may have closed it during the wait). A shortage of descriptors or memory
// is no failure of the server: accepting pauses for RETRY_MS, and the
// connections wait in the backlog. False on a failure (logged).
bool accept_ready(polling_state& state, int descriptor, clock_type::time_point now) {
  for (int accepted = 0; accepted < ACCEPTS_PER_PASS; ++accepted) {
    if (!make_room(state, now)) return true;
    int connection;
    {
      VekMutexGuard lock(socket_list_mutex);
      bool listening = false;
      for (size_t i = 0; i < vek_listGetSize(socket_list) && !listening; ++i)
        listening = static_cast<socket_data*>(vek_listGet(socket_list, i))->descriptor == descriptor;
      if (!listening) return true;
      connection = accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
    if (connection >= 0) {
      if (state.descriptors_short)
        veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_INFO, "Inter-launcher connections are accepted again.");
      state.descriptors_short = false;
      open_connection(connection);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (!is_shortage(errno)) {
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
             "(internal error) accept failed in poll_for_messages() descriptor %d: %s.", descriptor, strerror(errno));
      return false;
    }
    if (!state.descriptors_short)
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
             "Could not accept an inter-launcher connection: %s. Connections wait until it can be done again.",
             strerror(errno));
    state.descriptors_short = true;
    state.accept_after = now + std::chrono::milliseconds(RETRY_MS);
    return true;
  }
  return true;
}

// One pass: wait, accept on every ready socket, read what has arrived, close
// what is past its time and give queued requests their threads. False when
// the pass failed; a signal that ends the wait early is no failure.
bool poll_once(polling_state& state) {
  const int wait_ms = build_wait_set(state, clock_type::now());
  const int ready = poll(state.wait_set.data(), static_cast<nfds_t>(state.wait_set.size()), wait_ms);
  if (ready < 0) {
    if (errno == EINTR) return true;
    if (errno != EBADF)
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR, "(internal error) select failed in poll_for_messages(): %s.",
             strerror(errno));
    return false;
  }
  if (state.wait_set[0].revents != 0) drain_wake_pipe();
  const auto now = clock_type::now();
  // Reading first: making room for a new connection may close one of these.
  for (size_t i = 0; i < state.reading.size(); ++i)
    if (state.wait_set[1 + state.listening + i].revents != 0) take_request_bytes(state.reading[i]);
  state.reading.clear();
  bool passed = true;
  for (size_t i = 1; i <= state.listening; ++i) {
    const short events = state.wait_set[i].revents;
    if (events & POLLNVAL) {
      passed = false;  // closed under us: like select's EBADF
    } else if (events != 0 && !accept_ready(state, state.wait_set[i].fd, now)) {
      passed = false;
    }
  }
  expire_connections(state, now);
  start_connection_threads(state);
  return passed;
}

// After too many failures no socket file may be left that accepts
// connections nobody answers: clients would wait for their reply forever.
// Closing the sockets and removing the files makes them fail at once.
void give_up_listening() {
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
         "There have been 10 consecutive errors trying to accept inter-launcher communication messages. "
         "Inter-launcher messages will no longer be accepted. This will prevent remote thread dump and support "
         "bundle requests.");
  VekMutexGuard lock(socket_list_mutex);
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i) {
    auto* record = static_cast<socket_data*>(vek_listGet(socket_list, i));
    if (file_exists(record->path)) unlink(record->path);  // first, so that no new client finds it
    if (record->descriptor >= 0) close(record->descriptor);
    record->descriptor = -1;
  }
}

// Runs passes until told to stop. After MAX_FAILED_PASSES consecutive failed
// passes it listens no more, but still answers the connections it holds.
void* msg_polling_thread(void*) {
  polling_state state;
  while (polling_should_run()) {
    bool passed = false;
    try {
      passed = poll_once(state);
    } catch (const std::bad_alloc&) {
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR, "(internal error) select failed in poll_for_messages(): %s.",
             strerror(ENOMEM));
    }
    if (state.given_up) continue;
    state.failed_passes = passed ? 0 : state.failed_passes + 1;
    if (state.failed_passes < MAX_FAILED_PASSES) continue;
    give_up_listening();
    state.given_up = true;
  }
  return nullptr;
}

// Starts the polling thread unless it runs. The process cannot serve
// messages without it: a failure ends the process with status 1.
void ensure_polling_thread() {
  int result = 0;
  if (!vek_lockMutex(polling_thread_mutex)) return;
  if (!polling_thread_running) {
    open_wake_pipe();
    polling_thread_running = true;
    result = pthread_create(&polling_thread, nullptr, msg_polling_thread, nullptr);
    if (result != 0) {
      polling_thread_running = false;
    } else {
      pthread_setname_np(polling_thread, POLLING_THREAD_NAME);
    }
  }
  vek_unlockMutex(polling_thread_mutex);  // before exit(), whose shutdown takes it again
  if (result == 0) return;
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_FATAL,
         "Could not create the native thread needed to handle inter-launcher communications messages. The "
         "application cannot continue: %s",
         strerror(result));
  exit(1);
}

void stop_polling_thread() {
  bool was_running;
  {
    VekMutexGuard lock(polling_thread_mutex);
    was_running = polling_thread_running;
    polling_thread_running = false;
  }
  if (!was_running) return;
  wake_polling_thread();
  int result = pthread_join(polling_thread, nullptr);
  if (result != 0)
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_WARN,
           "Could not wait for inter-launcher communications thread to exit: %s", strerror(result));
  VekMutexGuard lock(polling_thread_mutex);
  close_wake_pipe();
}

}  // namespace vek::message::server
