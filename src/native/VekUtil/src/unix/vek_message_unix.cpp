// The message server over local (AF_UNIX) stream sockets. A server listens
// on one or more socket files; one polling thread accepts connections and
// reads each request as its bytes arrive, and a few short-lived detached
// threads let the processor registry answer the whole requests and write the
// replies. The wire format and the client are vek_message_wire_unix.
//
// Under load or faults the server bends and comes back: idle connections
// hold no thread and are closed after READ_LIMIT, threads are capped, and a
// shortage of descriptors or threads makes connections wait rather than
// counting against the server.
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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_log_source.h"
#include "vek_message_client.h"
#include "vek_message_server.h"
#include "vek_message_wire.h"
#include "vek_mutex.h"
#include "vek_mutex_guard.h"
#include "vek_time.h"

VEK_LOG_SOURCE(message_unix) = __FILE__;

using vek::message::field_at;
using vek::message::fill_address;
using vek::message::HEADER_BYTES;
using vek::message::message_ptr;
using vek::message::read_message;
using vek::message::send_message;
using vek::message::text_reply;

namespace vek::message::server {

vek_list_t* socket_list = nullptr;             // listening sockets; NULL before init and after shutdown
vek_mutex_t* socket_list_mutex = nullptr;      // "inter-launcher socket list"
vek_mutex_t* polling_thread_mutex = nullptr;   // "inter-launcher polling thread": guards polling_thread_running
pthread_t polling_thread;                      // valid while polling_thread_running
volatile bool polling_thread_running = false;  // the polling thread runs while this is true
int wake_pipe[2] = {-1, -1};              // a byte in it ends the polling thread's current wait; lives with the thread
vek_list_t* connection_list = nullptr;    // accepted connections not yet closed (connection_data*)
vek_mutex_t* connection_mutex = nullptr;  // "inter-launcher connections": connection_list, stages, the three below
size_t connection_threads = 0;            // connection threads running
size_t buffered_bytes = 0;                // payload bytes announced by the connections in the list
bool taking_requests = true;              // false from shutdown on: queued requests are left alone
thread_local connection_data* current_connection = nullptr;  // the one this connection thread answers

// ---- Connections -------------------------------------------------------------
//
// The polling thread accepts a connection and reads its request as the bytes
// arrive, without blocking; only a whole request is queued for a connection
// thread, so that idle or slow peers hold a descriptor and no thread. At most
// MAX_CONNECTION_THREADS threads answer queued requests, each taking one after
// another until none is left. A record leaves the list only through
// close_connection, by the polling thread (while reading) or by the
// connection thread that answered it.

// Closes and frees a connection. Under connection_mutex, so that shutdown
// never touches a descriptor number that has already been reused.
void close_connection(connection_data* connection) {
  {
    VekMutexGuard lock(connection_mutex);
    vek_listRemove(connection_list, connection);
    if (connection->request != nullptr) buffered_bytes -= static_cast<size_t>(connection->request->length);
    close(connection->descriptor);
  }
  vek_destroyMessage(connection->request);
  delete connection;
}

// A new record for an accepted socket, in the list; NULL (the socket
// closed) when out of memory.
connection_data* open_connection(int descriptor) {
  auto* connection =
      new (std::nothrow) connection_data{descriptor, CONNECTION_READING, clock_type::now(), {0, 0, 0}, 0, 0, nullptr};
  bool added = false;
  if (connection != nullptr) {
    VekMutexGuard lock(connection_mutex);
    added = vek_listAdd(connection_list, connection);
  }
  if (added) return connection;
  veklog(VEK_HERE, VEKLOG_ERROR, "Could not accept an inter-launcher connection: out of memory");
  close(descriptor);
  delete connection;
  return nullptr;
}

// Answers a request that could not be read (without waiting: the socket does
// not block) and closes the connection.
void refuse_connection(connection_data* connection) {
  message_ptr reply = text_reply(VEK_MESSAGE_READ_ERROR, "Could not read entire message from communications channel");
  if (reply != nullptr && send_message(connection->descriptor, reply.get()) < 0)
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) could not send response to inter-launcher message: %s",
           strerror(errno));
  close_connection(connection);
}

// The header is whole: checks the length and makes the request with room for
// its payload. False (logged) when the request cannot be taken.
bool begin_payload(connection_data* connection) {
  const int32_t length = connection->header[2];
  if (length < 0 || length > VEK_MESSAGE_MAX_LENGTH) {
    veklog(VEK_HERE, VEKLOG_ERROR,
           "(internal error) Internal message announces %ld payload bytes; a message carries 0 to %ld bytes.",
           static_cast<long>(length), static_cast<long>(VEK_MESSAGE_MAX_LENGTH));
    return false;
  }
  message_ptr request(vek_createEmptyMessage(), vek_destroyMessage);
  if (request == nullptr) return false;
  if (length > 0) {
    {
      VekMutexGuard lock(connection_mutex);
      if (buffered_bytes + static_cast<size_t>(length) > MAX_BUFFERED_BYTES) {
        veklog(VEK_HERE, VEKLOG_WARN,
               "An inter-launcher message of %ld bytes is refused: the messages being received hold too much memory.",
               static_cast<long>(length));
        return false;
      }
      buffered_bytes += static_cast<size_t>(length);
    }
    request->length = length;  // counted in buffered_bytes from here
    request->data = static_cast<char*>(calloc(static_cast<size_t>(length), 1));
    if (request->data == nullptr) {
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not allocate %ld bytes for an internal message.",
             static_cast<long>(length));
      VekMutexGuard lock(connection_mutex);
      buffered_bytes -= static_cast<size_t>(length);
      return false;
    }
  }
  request->type = connection->header[0];
  request->response_expected = connection->header[1];
  connection->request = request.release();
  return true;
}

enum read_outcome {
  READ_MORE,    // nothing more for now
  READ_WHOLE,   // the request is complete
  READ_CLOSED,  // the peer closed before sending anything
  READ_FAILED,  // logged; the peer is owed a read-error reply
};

// Reads what has arrived of the request, without blocking.
read_outcome read_available(connection_data* connection) {
  for (;;) {
    const bool in_header = connection->header_got < HEADER_BYTES;
    const size_t length =
        in_header || connection->request == nullptr ? 0 : static_cast<size_t>(connection->request->length);
    if (!in_header && connection->payload_got == length) return READ_WHOLE;
    char* target = in_header ? reinterpret_cast<char*>(connection->header) + connection->header_got
                             : connection->request->data + connection->payload_got;
    const size_t wanted = in_header ? HEADER_BYTES - connection->header_got : length - connection->payload_got;
    const ssize_t got = recv(connection->descriptor, target, wanted, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return READ_MORE;
    const size_t so_far = connection->header_got + connection->payload_got;
    if (got == 0 && so_far == 0) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "Remote internal message listener has shut down");
      return READ_CLOSED;
    }
    if (got <= 0) {
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not read internal message(%s) from socket: %s",
             field_at(so_far), got == 0 ? "unexpected end of stream" : strerror(errno));
      return READ_FAILED;
    }
    if (in_header) {
      connection->header_got += static_cast<size_t>(got);
      if (connection->header_got == HEADER_BYTES && !begin_payload(connection)) return READ_FAILED;
    } else {
      connection->payload_got += static_cast<size_t>(got);
    }
  }
}

void queue_request(connection_data* connection) {
  VekMutexGuard lock(connection_mutex);
  connection->stage = CONNECTION_QUEUED;
  connection->since = clock_type::now();
}

// One readiness report of a connection being read.
void take_request_bytes(connection_data* connection) {
  switch (read_available(connection)) {
    case READ_MORE: break;
    case READ_WHOLE: queue_request(connection); break;
    case READ_CLOSED: close_connection(connection); break;
    case READ_FAILED: refuse_connection(connection); break;
  }
}

// The next queued request for a connection thread, now its own; NULL when
// none is left, and the thread then counts as gone.
connection_data* take_queued() {
  VekMutexGuard lock(connection_mutex);
  for (size_t i = 0; taking_requests && i < vek_listGetSize(connection_list); ++i) {
    auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
    if (connection->stage != CONNECTION_QUEUED) continue;
    connection->stage = CONNECTION_ANSWERING;
    return connection;
  }
  --connection_threads;
  return nullptr;
}

// Lets the registry answer a queued request and sends the reply the sender
// is owed, unless exit processing has answered it meanwhile.
void answer_connection(connection_data* connection) {
  current_connection = connection;
  message_ptr reply(vek_handle_message(connection->request), vek_destroyMessage);
  if (reply == nullptr && connection->request->response_expected != 0)
    reply = text_reply(VEK_MESSAGE_NOT_HANDLED, "No handler processed the incoming message");
  bool still_ours;
  {
    VekMutexGuard lock(connection_mutex);
    still_ours = connection->stage == CONNECTION_ANSWERING;
    if (still_ours) connection->stage = CONNECTION_REPLYING;
  }
  if (still_ours && reply != nullptr) {
    // Blocking from here, but only so long: a client that does not read must not hold the thread.
    const int flags = fcntl(connection->descriptor, F_GETFL);
    if (flags >= 0) fcntl(connection->descriptor, F_SETFL, flags & ~O_NONBLOCK);
    timeval limit = {SEND_LIMIT_SECONDS, 0};
    setsockopt(connection->descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (send_message(connection->descriptor, reply.get()) < 0)
      veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) could not send response to inter-launcher message: %s",
             strerror(errno));
  }
  current_connection = nullptr;
  close_connection(connection);
}

void* process_message_thread(void*) {
  pthread_setname_np(pthread_self(), CONNECTION_THREAD_NAME);
  while (connection_data* connection = take_queued()) answer_connection(connection);
  return nullptr;
}

// Starts one detached connection thread; the error number, or 0. Counted
// before it runs, so that it cannot end uncounted.
int start_connection_thread() {
  {
    VekMutexGuard lock(connection_mutex);
    ++connection_threads;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, CONNECTION_THREAD_STACK);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, process_message_thread, nullptr);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    VekMutexGuard lock(connection_mutex);
    --connection_threads;
  }
  return result;
}

// How many more connection threads the queue wants.
size_t threads_wanted() {
  VekMutexGuard lock(connection_mutex);
  size_t busy = 0;
  for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
    const auto* connection = static_cast<const connection_data*>(vek_listGet(connection_list, i));
    if (connection->stage == CONNECTION_QUEUED || connection->stage == CONNECTION_ANSWERING) ++busy;
  }
  const size_t target = std::min(busy, MAX_CONNECTION_THREADS);
  return target > connection_threads ? target - connection_threads : 0;
}

// Gives the queued requests their threads. A thread that cannot be created
// is no failure of the server: the requests wait, and the next pass tries
// again (after RETRY_MS).
void start_connection_threads(polling_state& state) {
  for (size_t wanted = threads_wanted(); wanted > 0; --wanted) {
    const int result = start_connection_thread();
    if (result == 0) {
      if (state.threads_short)
        veklog(VEK_HERE, VEKLOG_INFO, "Threads for inter-launcher messages can be created again.");
      state.threads_short = false;
      continue;
    }
    if (!state.threads_short)
      veklog(VEK_HERE, VEKLOG_WARN,
             "Could not create a thread to answer inter-launcher messages: %s. Waiting messages are answered once "
             "threads can be created again.",
             strerror(result));
    state.threads_short = true;
    return;
  }
}

// Connections past their time: a request not whole within READ_LIMIT of the
// accept, or queued that long while no thread could be created for it.
void expire_connections(polling_state& state, clock_type::time_point now) {
  std::vector<connection_data*> late_reads, discarded;
  {
    VekMutexGuard lock(connection_mutex);
    const bool threads_missing = state.threads_short && connection_threads == 0;
    for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
      auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
      if (now - connection->since < READ_LIMIT) continue;
      if (connection->stage == CONNECTION_READING) late_reads.push_back(connection);
      if (connection->stage == CONNECTION_QUEUED && threads_missing) discarded.push_back(connection);
    }
  }
  for (connection_data* connection : late_reads) {
    const size_t so_far = connection->header_got + connection->payload_got;
    if (so_far == 0) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "An inter-launcher connection sent nothing for %ld seconds; it is closed.",
             static_cast<long>(READ_LIMIT.count()));
      close_connection(connection);
      continue;
    }
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) Could not read internal message(%s) from socket: %s",
           field_at(so_far), strerror(ETIMEDOUT));
    refuse_connection(connection);
  }
  for (connection_data* connection : discarded) {
    veklog(VEK_HERE, VEKLOG_FATAL,
           "Could not create the native thread needed to handle an inter-launcher communications message: %s. The "
           "message will be discarded.",
           strerror(EAGAIN));
    close_connection(connection);
  }
}

// Whether another connection may be accepted. At MAX_OPEN_CONNECTIONS the
// oldest connection that has sent nothing for IDLE_GRACE gives way; without
// one, new connections wait in the backlog.
bool make_room(polling_state& state, clock_type::time_point now) {
  connection_data* idle = nullptr;
  {
    VekMutexGuard lock(connection_mutex);
    if (vek_listGetSize(connection_list) < MAX_OPEN_CONNECTIONS) {
      state.connections_full = false;
      return true;
    }
    for (size_t i = 0; i < vek_listGetSize(connection_list) && idle == nullptr; ++i) {
      auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
      if (connection->stage == CONNECTION_READING && connection->header_got == 0 &&
          now - connection->since >= IDLE_GRACE)
        idle = connection;  // the list is in order of acceptance
    }
  }
  if (!state.connections_full)
    veklog(VEK_HERE, VEKLOG_WARN,
           "%lu inter-launcher connections are open; idle ones are closed to make room, new ones wait meanwhile.",
           static_cast<unsigned long>(MAX_OPEN_CONNECTIONS));
  state.connections_full = true;
  if (idle == nullptr) return false;
  close_connection(idle);
  return true;
}

// ---- Exit processing ------------------------------------------------------------

// Answers a stop request whose dispatch has not answered yet: the process is
// exiting, which is what the sender asked for. Under connection_mutex; the
// reply is small and the socket does not block, so this cannot hang.
void answer_stop_at_exit(connection_data* connection) {
  connection->stage = CONNECTION_ANSWERED;
  if (connection->request == nullptr || connection->request->response_expected == 0) return;
  message_ptr reply = text_reply(VEK_MESSAGE_OK, EXIT_STOP_REPLY);
  const int flags = fcntl(connection->descriptor, F_GETFL);
  if (flags >= 0) fcntl(connection->descriptor, F_SETFL, flags | O_NONBLOCK);
  if (reply != nullptr && send_message(connection->descriptor, reply.get()) < 0)
    veklog(VEK_HERE, VEKLOG_ERROR, "(internal error) could not send response to inter-launcher message: %s",
           strerror(errno));
}

bool is_stop_request(const connection_data* connection) {
  return connection->request != nullptr && connection->request->type == VEK_MESSAGE_SHUTDOWN;
}

// After the polling thread has ended: connections still being read will not
// be, and queued requests will not be taken. Stop requests among the queued
// are answered; the rest are closed without a reply.
void close_unanswered() {
  std::vector<connection_data*> closing;
  {
    VekMutexGuard lock(connection_mutex);
    taking_requests = false;
    for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
      auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
      if (connection->stage != CONNECTION_READING && connection->stage != CONNECTION_QUEUED) continue;
      if (connection->stage == CONNECTION_QUEUED && is_stop_request(connection)) answer_stop_at_exit(connection);
      closing.push_back(connection);
    }
  }
  for (connection_data* connection : closing) close_connection(connection);
}

// Connections still being answered by other threads; stop requests among
// them are answered here once `answer_stops` is set.
size_t connections_in_hand(bool answer_stops) {
  VekMutexGuard lock(connection_mutex);
  size_t left = 0;
  for (size_t i = 0; i < vek_listGetSize(connection_list); ++i) {
    auto* connection = static_cast<connection_data*>(vek_listGet(connection_list, i));
    const bool own = connection == current_connection;
    if (connection->stage == CONNECTION_ANSWERING && is_stop_request(connection) && (answer_stops || own))
      answer_stop_at_exit(connection);
    if (!own && (connection->stage == CONNECTION_ANSWERING || connection->stage == CONNECTION_REPLYING)) ++left;
  }
  return left;
}

// Lets the connections being answered finish, for a bounded time. A stop
// request among them may be the cause of the exit (its processor called
// exit(), or its Java handler System.exit): it is answered here after a short
// grace.
void drain_connections() {
  close_unanswered();
  for (long waited = 0;; waited += CONNECTION_DRAIN_STEP_MS) {
    const size_t left = connections_in_hand(waited >= STOP_GRACE_MS);
    if (left == 0) return;
    if (waited >= CONNECTION_DRAIN_MS) {
      veklog(VEK_HERE, VEKLOG_WARN, "%lu inter-launcher messages were still being answered at shutdown.",
             static_cast<unsigned long>(left));
      return;
    }
    vek_sleepMS(CONNECTION_DRAIN_STEP_MS);
  }
}

// Whether no record and no connection thread is left, so that the list and
// its mutex may go: a connection thread still dispatching (even one that will
// never return, stuck in an exiting VM) closes its record when it returns.
bool connections_all_closed() {
  VekMutexGuard lock(connection_mutex);
  return vek_listGetSize(connection_list) == 0 && connection_threads == 0;
}

// ---- Forks --------------------------------------------------------------------

// A forked child has none of the parent's threads: no polling thread and no
// connection thread. It starts with no server, so that it may start its own
// and its exit removes none of the parent's socket files. Its copies of the
// listening sockets are closed: a child that outlives the parent must not
// keep clients connecting to a socket nobody answers. The parent's
// connection records are dropped unread (a connection thread may have been
// changing the list at the fork); their descriptors close at an exec.
void reset_after_fork() {
  if (socket_list == nullptr) return;
  polling_thread_running = false;
  close_wake_pipe();
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i) {
    auto* record = static_cast<socket_data*>(vek_listGet(socket_list, i));
    if (record->descriptor >= 0) close(record->descriptor);
    free(record->path);
    free(record);
  }
  vek_listRemoveAll(socket_list);
  connection_list = vek_listCreate(1);
  connection_threads = 0;
  buffered_bytes = 0;
  taking_requests = true;
}

void transport_lifecycle(VEK_LIFECYCLE_STAGE stage, JavaVM*) {
  if (stage == VEK_CHILD_AFTER_FORK) reset_after_fork();
}

}  // namespace vek::message::server

using namespace vek::message::server;

extern "C" void vek_message_native_init(void) {
  if (socket_list != nullptr) return;
  socket_list = vek_listCreate(1);
  socket_list_mutex = vek_createMutex("inter-launcher socket list");
  polling_thread_mutex = vek_createMutex("inter-launcher polling thread");
  if (connection_list == nullptr) {
    connection_list = vek_listCreate(1);
    connection_mutex = vek_createMutex("inter-launcher connections");
  }
  {
    VekMutexGuard lock(connection_mutex);
    taking_requests = true;
  }
  vek_addLifecycleNotification(transport_lifecycle);
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
  drain_connections();
  // Connection threads still answering keep their list and mutex.
  if (connections_all_closed()) {
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
      veklog(VEK_HERE, VEKLOG_ERROR, "Could not record the inter-launcher communications socket %s: out of memory",
             path);
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
