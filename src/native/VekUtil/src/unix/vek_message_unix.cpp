// Message transport over local (AF_UNIX) stream sockets. A server listens on
// one or more socket files; one polling thread accepts connections and hands
// each to a short-lived detached thread that reads one message, lets the
// processor registry answer it and writes the reply. The client connects,
// sends one message and reads at most one reply.
//
// Wire format: type, response_expected, length (32-bit signed, host order),
// then `length` payload bytes. A peer never decides how much we allocate: a
// length below 0 or above VEK_MESSAGE_MAX_LENGTH is a read error. Every send
// passes MSG_NOSIGNAL, so a peer that went away cannot raise SIGPIPE.
#include "vek_message.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vek_list.h"
#include "vek_logging.h"
#include "vek_message_client.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_time.h"

namespace {

constexpr size_t SOCKET_PATH_CAPACITY = sizeof(sockaddr_un::sun_path);  // 108 bytes
constexpr int LISTEN_BACKLOG = 128;
constexpr int POLL_WAIT_MS = 2000;            // one polling pass
constexpr int IDLE_WAIT_MS = 1000;            // pass of a thread with nothing to listen on
constexpr mode_t SOCKET_FILE_MODE = 0700;
constexpr int MAX_FAILED_PASSES = 10;
constexpr size_t HEADER_BYTES = 3 * sizeof(int32_t);
// Connection threads may run Java code through the VM bridge: give them the
// stack a Java thread gets by default, whatever the process default is.
constexpr size_t CONNECTION_THREAD_STACK = 1024 * 1024;
// Shutdown lets replies already being written reach their clients.
constexpr long CONNECTION_DRAIN_MS = 5000;
constexpr long CONNECTION_DRAIN_STEP_MS = 10;
// Thread names as ps, top and thread dumps show them (at most 15 characters).
const char* const POLLING_THREAD_NAME = "vek-msg-poll";
const char* const CONNECTION_THREAD_NAME = "vek-msg-conn";

// One listening socket file.
struct socket_data {
  char* path;      // heap copy of the socket file path
  int descriptor;  // the listening socket; -1 while it could not be recreated
};

// One accepted connection, owned by the thread that answers it.
struct connection_data {
  int descriptor;  // the connected socket; closed by its thread under connection_mutex
};

vek_list_t* socket_list = nullptr;            // listening sockets; NULL before init and after shutdown
vek_mutex_t* socket_list_mutex = nullptr;     // "inter-launcher socket list"
vek_mutex_t* polling_thread_mutex = nullptr;  // "inter-launcher polling thread": guards polling_thread_running
pthread_t polling_thread;                     // valid while polling_thread_running
volatile bool polling_thread_running = false; // the polling thread runs while this is true
int wake_pipe[2] = {-1, -1};                  // a byte in it ends the polling thread's current wait; lives with the thread
vek_list_t* connection_list = nullptr;        // connections being answered (connection_data*)
vek_mutex_t* connection_mutex = nullptr;      // "inter-launcher connections": guards connection_list
thread_local bool on_connection_thread = false;

using message_ptr = std::unique_ptr<vek_message_t, decltype(&vek_destroyMessage)>;

// ---- Reading and writing one message ----------------------------------------

// Reads up to `size` bytes, looping on short reads and EINTR. Returns the
// bytes read: fewer than `size` at end of stream (errno 0) or on an error.
size_t read_fully(int descriptor, void* buffer, size_t size) {
  size_t done = 0;
  errno = 0;
  while (done < size) {
    ssize_t got = recv(descriptor, static_cast<char*>(buffer) + done, size - done, 0);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      errno = 0;
      break;
    } else if (errno != EINTR) {
      break;
    }
  }
  return done;
}

const char* read_error_text(int error) { return error == 0 ? "unexpected end of stream" : strerror(error); }

// Reads one message into `message`. Returns the bytes read; 0 (errno
// ENODATA) when the peer closed before sending anything; -1 (logged) on an
// error, a message cut short or a length no message may have.
long read_message(int descriptor, vek_message_t* message) {
  int32_t header[3] = {0, 0, 0};  // type, response_expected, length
  const size_t got = read_fully(descriptor, header, HEADER_BYTES);
  if (got == 0 && errno == 0) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "Remote internal message listener has shut down");
    errno = ENODATA;
    return 0;
  }
  if (got < HEADER_BYTES) {
    const int error = errno;
    const char* field = got < 4 ? "type" : got < 8 ? "response_expected" : "length";
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not read internal message(%s) from socket: %s", field,
           read_error_text(error));
    errno = error != 0 ? error : EPROTO;
    return -1;
  }
  const int32_t length = header[2];
  if (length < 0 || length > VEK_MESSAGE_MAX_LENGTH) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "(internal error) Internal message announces %ld payload bytes; a message carries 0 to %ld bytes.",
           static_cast<long>(length), static_cast<long>(VEK_MESSAGE_MAX_LENGTH));
    errno = length < 0 ? EPROTO : EMSGSIZE;
    return -1;
  }
  char* data = nullptr;
  if (length > 0) {
    data = static_cast<char*>(calloc(static_cast<size_t>(length), 1));
    if (data == nullptr) {
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not allocate %ld bytes for an internal message.",
             static_cast<long>(length));
      errno = ENOMEM;
      return -1;
    }
    if (read_fully(descriptor, data, static_cast<size_t>(length)) < static_cast<size_t>(length)) {
      const int error = errno;
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not read internal message(data) from socket: %s",
             read_error_text(error));
      free(data);
      errno = error != 0 ? error : EPROTO;
      return -1;
    }
  }
  free(message->data);
  message->type = header[0];
  message->response_expected = header[1];
  message->length = length;
  message->data = data;
  return static_cast<long>(HEADER_BYTES) + length;
}

// Sends the header and the payload in one gathered write, repeated until
// every byte is out. Returns the bytes sent, or -1 (logged) naming the field
// that could not be sent.
long send_message(int descriptor, const vek_message_t* message) {
  const int32_t length = message->length;
  if (length < 0 || length > VEK_MESSAGE_MAX_LENGTH || (length > 0 && message->data == nullptr)) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "(internal error) Could not send internal message(length) to remote listener: a payload of %ld bytes is "
           "not sent",
           static_cast<long>(length));
    errno = EMSGSIZE;
    return -1;
  }
  int32_t header[3] = {message->type, message->response_expected, length};
  iovec parts[2] = {{header, HEADER_BYTES}, {message->data, static_cast<size_t>(length)}};
  const size_t total = HEADER_BYTES + static_cast<size_t>(length);
  size_t sent = 0;
  while (sent < total) {
    // What is still to go of the two parts.
    iovec rest[2];
    size_t count = 0;
    size_t offset = sent;
    for (const iovec& part : parts) {
      if (offset >= part.iov_len) {
        offset -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<char*>(part.iov_base) + offset, part.iov_len - offset};
      offset = 0;
    }
    msghdr out = {};
    out.msg_iov = rest;
    out.msg_iovlen = count;
    ssize_t written = sendmsg(descriptor, &out, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : EPIPE;
      const char* field = sent < 4 ? "type" : sent < 8 ? "response_expected" : sent < 12 ? "length" : "data";
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not send internal message(%s) to remote listener: %s", field,
             strerror(error));
      errno = error;
      return -1;
    }
    sent += static_cast<size_t>(written);
  }
  return static_cast<long>(sent);
}

message_ptr text_reply(int32_t type, const char* text) {
  message_ptr reply(vek_createEmptyMessage(), vek_destroyMessage);
  if (reply != nullptr) {
    reply->type = type;
    vek_setMessageTextPayload(reply.get(), text);
  }
  return reply;
}

// ---- Connections -------------------------------------------------------------

// Reads one request on `descriptor`, lets the registry answer it and sends
// the reply the sender is owed.
void answer_connection(int descriptor) {
  message_ptr incoming(vek_createEmptyMessage(), vek_destroyMessage);
  if (incoming == nullptr) return;
  const long got = read_message(descriptor, incoming.get());
  if (got == 0) return;  // the peer closed without sending anything
  message_ptr reply(nullptr, vek_destroyMessage);
  if (got < 0) {
    reply = text_reply(VEK_MESSAGE_READ_ERROR, "Could not read entire message from communications channel");
  } else {
    reply.reset(vek_handle_message(incoming.get()));
    if (reply == nullptr && incoming->response_expected != 0)
      reply = text_reply(VEK_MESSAGE_NOT_HANDLED, "No handler processed the incoming message");
  }
  if (reply != nullptr && send_message(descriptor, reply.get()) < 0)
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) could not send response to inter-launcher message: %s",
           strerror(errno));
}

// Closing under the mutex keeps shutdown from touching a descriptor number
// that has already been reused.
void forget_connection(connection_data* connection) {
  {
    VekMutexGuard lock(connection_mutex);
    vek_listRemove(connection_list, connection);
    close(connection->descriptor);
  }
  free(connection);
}

void* process_message_thread(void* argument) {
  on_connection_thread = true;
  pthread_setname_np(pthread_self(), CONNECTION_THREAD_NAME);
  auto* connection = static_cast<connection_data*>(argument);
  answer_connection(connection->descriptor);
  forget_connection(connection);
  return nullptr;
}

// Starts the detached thread that answers `descriptor`; false (logged, the
// connection closed) when it cannot be started.
bool start_connection_thread(int descriptor) {
  auto* connection = static_cast<connection_data*>(malloc(sizeof(connection_data)));
  int result = ENOMEM;
  if (connection != nullptr) {
    connection->descriptor = descriptor;
    VekMutexGuard lock(connection_mutex);
    vek_listAdd(connection_list, connection);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, CONNECTION_THREAD_STACK);
    pthread_t thread;
    result = pthread_create(&thread, &attributes, process_message_thread, connection);
    pthread_attr_destroy(&attributes);
    if (result != 0) vek_listRemove(connection_list, connection);
  }
  if (result == 0) return true;
  veklog(VEK_HERE, VEKLOG_FATAL,
         "Could not create the native thread needed to handle an inter-launcher communications message: %s. The "
         "message will be discarded.",
         strerror(result));
  close(descriptor);
  free(connection);
  return false;
}

// Ends the reads of connections still waiting for their request and waits,
// for a bounded time, until every connection thread but the caller's own is
// done. True when none is left.
bool drain_connections() {
  const size_t own = on_connection_thread ? 1 : 0;
  {
    VekMutexGuard lock(connection_mutex);
    for (size_t i = 0; i < vek_listGetSize(connection_list); ++i)
      shutdown(static_cast<connection_data*>(vek_listGet(connection_list, i))->descriptor, SHUT_RD);
  }
  for (long waited = 0;; waited += CONNECTION_DRAIN_STEP_MS) {
    size_t left;
    {
      VekMutexGuard lock(connection_mutex);
      left = vek_listGetSize(connection_list);
    }
    if (left <= own) return left == 0;
    if (waited >= CONNECTION_DRAIN_MS) {
      veklog(VEK_HERE, VEKLOG_WARN, "%lu inter-launcher messages were still being answered at shutdown.",
             static_cast<unsigned long>(left - own));
      return false;
    }
    vek_sleepMS(CONNECTION_DRAIN_STEP_MS);
  }
}

// ---- Listening ------------------------------------------------------------

bool fill_address(const char* path, sockaddr_un& address) {
  const size_t length = strlen(path);
  if (length > SOCKET_PATH_CAPACITY) {
    errno = ENAMETOOLONG;
    return false;
  }
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path, length);
  return true;
}

// Creates, binds and listens on a socket at `path`; the descriptor, or -1 (logged).
int start_listening(const char* path) {
  int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not create socket to listen for messages: %s", strerror(errno));
    return -1;
  }
  // Linux creates the socket file with the socket's own mode: set before the
  // bind, no other user can connect between the bind and the chmod.
  fchmod(descriptor, SOCKET_FILE_MODE);
  sockaddr_un address;
  const bool filled = fill_address(path, address);
  const socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
  if (!filled || bind(descriptor, reinterpret_cast<sockaddr*>(&address), address_length) != 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not bind socket to path %s to listen for messages: %s", path,
           strerror(errno));
    close(descriptor);
    return -1;
  }
  if (chmod(path, SOCKET_FILE_MODE) != 0)
    veklog(VEK_HERE, VEKLOG_WARN, "Could not set permissions on inter-launcher communication socket path %s: %s", path,
           strerror(errno));
  if (listen(descriptor, LISTEN_BACKLOG) != 0)
    veklog(VEK_HERE, VEKLOG_WARN, "Could not start listening on inter-launcher communication socket path %s: %s", path,
           strerror(errno));
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
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Inter-launcher communication socket path %s already exists and is not a socket; it is left in place.", path);
    return false;
  }
  if (info.st_uid != geteuid()) {
    passwd entry;
    passwd* owner = nullptr;
    char names[4096];
    getpwuid_r(info.st_uid, &entry, names, sizeof names, &owner);
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Inter-launcher communication socket path %s already exists and belongs to another user (%s, UID %ld); it "
           "is left in place.",
           path, owner != nullptr ? owner->pw_name : "unknown", static_cast<long>(info.st_uid));
    return false;
  }
  veklog(VEK_HERE, VEKLOG_WARN, "Inter-launcher communication socket path %s already exists, removing it.", path);
  if (unlink(path) == 0 || errno == ENOENT) return true;
  veklog(VEK_HERE, VEKLOG_ERROR, "Could not remove the inter-launcher communication socket path %s: %s", path,
         strerror(errno));
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
  veklog(VEK_HERE, VEKLOG_WARN, "Could not create the wake-up pipe of the inter-launcher communications thread: %s",
         strerror(errno));
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

// Waits without listening (nothing to listen on, or given up); a wake-up
// ends the wait early.
void idle_wait() {
  pollfd wake = {wake_pipe[0], POLLIN, 0};
  if (poll(&wake, 1, IDLE_WAIT_MS) > 0) drain_wake_pipe();
}

// Under the list mutex: recreates lost socket files and builds the wait set,
// the wake pipe first. False when there is no socket to listen on.
bool build_wait_set(std::vector<pollfd>& wait_set) {
  wait_set.assign(1, pollfd{wake_pipe[0], POLLIN, 0});
  VekMutexGuard lock(socket_list_mutex);
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i) {
    auto* record = static_cast<socket_data*>(vek_listGet(socket_list, i));
    if (!file_exists(record->path)) {
      veklog(VEK_HERE, VEKLOG_ERROR,
             "The inter-launcher communication socket file at %s no longer exists, but the inter-launcher "
             "communications server that is using it is still running. Please make sure that there are no external "
             "processes which could have removed the file. It will now be recreated.",
             record->path);
      if (record->descriptor >= 0) close(record->descriptor);
      record->descriptor = start_listening(record->path);
    }
    if (record->descriptor >= 0) wait_set.push_back(pollfd{record->descriptor, POLLIN, 0});
  }
  return wait_set.size() > 1;
}

// Accepts one connection on `descriptor` if it still belongs to a server
// (a stop may have closed it during the wait). False on a failure (logged).
bool accept_one(int descriptor) {
  int connection;
  {
    VekMutexGuard lock(socket_list_mutex);
    bool listening = false;
    for (size_t i = 0; i < vek_listGetSize(socket_list) && !listening; ++i)
      listening = static_cast<socket_data*>(vek_listGet(socket_list, i))->descriptor == descriptor;
    if (!listening) return true;
    connection = accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC);
  }
  if (connection < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return true;
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) accept failed in poll_for_messages() descriptor %d: %s.", descriptor,
           strerror(errno));
    return false;
  }
  return start_connection_thread(connection);
}

// One pass: wait, then accept on every ready socket. False when the pass failed.
bool poll_once(std::vector<pollfd>& wait_set) {
  int ready = poll(wait_set.data(), static_cast<nfds_t>(wait_set.size()), POLL_WAIT_MS);
  if (ready < 0) {
    if (errno != EINTR && errno != EBADF)
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) select failed in poll_for_messages(): %s.", strerror(errno));
    return false;
  }
  if (wait_set[0].revents != 0) drain_wake_pipe();
  bool passed = true;
  for (size_t i = 1; i < wait_set.size(); ++i) {
    if (wait_set[i].revents & POLLNVAL) {
      passed = false;  // closed under us: like select's EBADF
    } else if (wait_set[i].revents != 0 && !accept_one(wait_set[i].fd)) {
      passed = false;
    }
  }
  return passed;
}

// After too many failures no socket file may be left that accepts
// connections nobody answers: clients would wait for their reply forever.
// Closing the sockets and removing the files makes them fail at once.
void give_up_listening() {
  veklog(VEK_HERE, VEKLOG_ERROR,
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

void* msg_polling_thread(void*) {
  int failed_passes = 0;
  std::vector<pollfd> wait_set;
  while (polling_should_run()) {
    if (failed_passes >= MAX_FAILED_PASSES || !build_wait_set(wait_set)) {
      idle_wait();
      continue;
    }
    failed_passes = poll_once(wait_set) ? 0 : failed_passes + 1;
    if (failed_passes == MAX_FAILED_PASSES) give_up_listening();
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
  veklog(VEK_HERE, VEKLOG_FATAL,
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
    veklog(VEK_HERE, VEKLOG_WARN, "Could not wait for inter-launcher communications thread to exit: %s", strerror(result));
  VekMutexGuard lock(polling_thread_mutex);
  close_wake_pipe();
}

// ---- Client ----------------------------------------------------------------

void report_not_owner(long remote) {
  veklog(VEK_HERE, VEKLOG_ERROR,
         "Could not transmit the inter-launcher communications message as you are not the owner of the process the "
         "message is destined for. Local %ld, Remote %ld.",
         static_cast<long>(getuid()), remote);
}

// A socket connected to `destination`, or -1 (logged). The socket file's
// mode keeps other users out; whom it lets in is judged on the connection.
int connect_to(const char* destination) {
  int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not create socket to transmit message: %s", strerror(errno));
    return -1;
  }
  sockaddr_un address;
  if (fill_address(destination, address) &&
      connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return descriptor;
  const int error = errno;
  struct stat info;
  if (error == ENOENT) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Cannot send message through the inter-launcher communications socket at %s, as it does not exist.",
           destination);
  } else if ((error == EPERM || error == EACCES) && lstat(destination, &info) == 0) {
    report_not_owner(static_cast<long>(info.st_uid));  // the owner only names who was refused
  } else {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not connect socket for message transmission to %s: %s",
           destination, strerror(error));
  }
  close(descriptor);
  return -1;
}

// The server at the other end is this user's, root's or the `trusted`
// user's, by the credentials the kernel gives for the connected socket: a
// check of the file's owner before connecting could be raced, and a socket
// another user planted at the path must learn nothing and answer nothing.
bool trusted_server(int descriptor, const char* destination, uid_t trusted) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "Could not obtain required information from the inter-launcher communications socket at %s: %s", destination,
           strerror(errno));
    return false;
  }
  if (peer.uid == getuid() || peer.uid == geteuid() || peer.uid == 0 ||
      (trusted != vek::message::NO_TRUSTED_USER && peer.uid == trusted))
    return true;
  report_not_owner(static_cast<long>(peer.uid));
  return false;
}

vek_message_t* exchange(int descriptor, const char* destination, vek_message_t* msg) {
  if (send_message(descriptor, msg) < 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not send message to remote destination %s: %s", destination,
           strerror(errno));
    return nullptr;
  }
  if (msg->response_expected == 0) return nullptr;
  message_ptr reply(vek_createEmptyMessage(), vek_destroyMessage);
  if (reply == nullptr) return nullptr;
  if (read_message(descriptor, reply.get()) <= 0) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not read response message from remote destination %s: %s",
           destination, strerror(errno));
    return nullptr;
  }
  return reply.release();
}

}  // namespace

extern "C" void vek_message_native_init(void) {
  if (socket_list != nullptr) return;
  socket_list = vek_listCreate(1);
  socket_list_mutex = vek_createMutex("inter-launcher socket list");
  polling_thread_mutex = vek_createMutex("inter-launcher polling thread");
  if (connection_list == nullptr) {
    connection_list = vek_listCreate(1);
    connection_mutex = vek_createMutex("inter-launcher connections");
  }
}

extern "C" void vek_message_native_shutdown(void) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Cleaning up any messaging sockets.");
  if (socket_list == nullptr) return;
  stop_polling_thread();
  {
    VekMutexGuard lock(socket_list_mutex);
    for (size_t i = 0; i < vek_listGetSize(socket_list); ++i)
      close_socket(static_cast<socket_data*>(vek_listGet(socket_list, i)));
    vek_listDestroy(socket_list);
    socket_list = nullptr;
  }
  // Connection threads still answering keep their list and mutex.
  if (drain_connections()) {
    vek_listDestroy(connection_list);
    connection_list = nullptr;
    vek_destroyMutex(connection_mutex);
    connection_mutex = nullptr;
  }
  vek_destroyMutex(socket_list_mutex);
  socket_list_mutex = nullptr;
  vek_destroyMutex(polling_thread_mutex);
  polling_thread_mutex = nullptr;
}

extern "C" int vek_startMessageServer(const char* path) {
  if (path == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) null path passed to vek_startMessageServer()");
    return -1;
  }
  if (socket_list == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "vek_startMessageServer() called before vek_lifecycleInit() initialised messaging. This is an internal "
           "programming error");
    return -1;
  }
  int descriptor;
  {
    VekMutexGuard lock(socket_list_mutex);
    if (find_socket(path) >= 0) {
      veklog(VEK_HERE, VEKLOG_WARN, "Inter-launcher communications already running from %s.", path);
      return 1;
    }
    descriptor = clear_socket_path(path) ? start_listening(path) : -1;
    if (descriptor < 0) return -1;
    auto* record = static_cast<socket_data*>(malloc(sizeof(socket_data)));
    char* path_copy = strdup(path);
    if (record == nullptr || path_copy == nullptr || !vek_listAdd(socket_list, record)) {
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not record the inter-launcher communications socket %s: out of memory", path);
      free(record);
      free(path_copy);
      close(descriptor);
      unlink(path);
      return -1;
    }
    record->path = path_copy;
    record->descriptor = descriptor;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "Listening for inter-launcher communications at %s (descriptor %d)", path, descriptor);
  ensure_polling_thread();
  wake_polling_thread();
  return descriptor;
}

extern "C" bool vek_stopMessageServer(const char* path) {
  if (path == nullptr || socket_list == nullptr) return false;
  {
    VekMutexGuard lock(socket_list_mutex);
    const long index = find_socket(path);
    if (index < 0) return false;
    auto* record = static_cast<socket_data*>(vek_listGet(socket_list, static_cast<size_t>(index)));
    vek_listRemoveAt(socket_list, static_cast<size_t>(index));
    veklog(VEK_HERE, VEKLOG_VERBOSE, "Attempting to stop the server IPC listener at '%s'.", path);
    if (record->descriptor >= 0) close(record->descriptor);
    if (file_exists(record->path)) {
      unlink(record->path);
    } else {
      veklog(VEK_HERE, VEKLOG_WARN, "The IPC listener socket file expected at %s could not be found.", record->path);
    }
    free(record->path);
    free(record);
  }
  wake_polling_thread();
  return true;
}

namespace vek::message {

vek_message_t* send_trusting(const char* destination, vek_message_t* msg, uid_t trusted) noexcept {
  if (msg == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) null message passed to vek_sendMessage()");
    return nullptr;
  }
  if (destination == nullptr) {
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) null destination passed to vek_sendMessage()");
    return nullptr;
  }
  int descriptor = connect_to(destination);
  if (descriptor < 0) return nullptr;
  vek_message_t* reply =
      trusted_server(descriptor, destination, trusted) ? exchange(descriptor, destination, msg) : nullptr;
  close(descriptor);
  return reply;
}

}  // namespace vek::message

extern "C" vek_message_t* vek_sendMessage(const char* destination, vek_message_t* msg) {
  return vek::message::send_trusting(destination, msg, vek::message::NO_TRUSTED_USER);
}
