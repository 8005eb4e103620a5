// The message server's parts (private to vek_message_unix and
// vek_message_poll_unix): its limits, its records, its state and the calls
// between the connections and the polling thread.
#ifndef VEK_MESSAGE_SERVER_H
#define VEK_MESSAGE_SERVER_H

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vek_list.h"
#include "vek_message.h"
#include "vek_mutex.h"

namespace vek::message::server {

constexpr int LISTEN_BACKLOG = 128;
constexpr int POLL_WAIT_MS = 2000;  // one polling pass
constexpr mode_t SOCKET_FILE_MODE = 0700;
constexpr int MAX_FAILED_PASSES = 10;
// Connection threads may run Java code through the VM bridge: give them the
// stack a Java thread gets by default, whatever the process default is.
constexpr size_t CONNECTION_THREAD_STACK = 1024 * 1024;
// A launcher serves rare control requests, one at a time (the processors
// take turns): a few threads are plenty, and idle connections take none.
constexpr size_t MAX_CONNECTION_THREADS = 16;
constexpr size_t MAX_OPEN_CONNECTIONS = 256;             // accepted and not yet answered; more wait in the backlog
constexpr auto READ_LIMIT = std::chrono::seconds(10);    // for a request to arrive whole, from the accept
constexpr auto IDLE_GRACE = std::chrono::seconds(1);     // an idle connection older than this gives way to a new one
constexpr int SEND_LIMIT_SECONDS = 10;                   // for a client to take its reply
constexpr size_t MAX_BUFFERED_BYTES = 64 * 1024 * 1024;  // payload bytes announced by the open connections
constexpr int RETRY_MS = 250;                            // next try at an accept or a thread after a shortage
constexpr int ACCEPTS_PER_PASS = 64;
// Shutdown lets replies already being written reach their clients.
constexpr long CONNECTION_DRAIN_MS = 5000;
constexpr long CONNECTION_DRAIN_STEP_MS = 10;
// At exit, a stop request still being handled gets this long for its own reply
// before exit processing answers it: the exit is its answer.
constexpr long STOP_GRACE_MS = 1000;
const char* const EXIT_STOP_REPLY = "Shutdown in progress: the process is exiting";
// Thread names as ps, top and thread dumps show them (at most 15 characters).
const char* const POLLING_THREAD_NAME = "vek-msg-poll";
const char* const CONNECTION_THREAD_NAME = "vek-msg-conn";

using clock_type = std::chrono::steady_clock;

// One listening socket file.
struct socket_data {
  char* path;      // heap copy of the socket file path
  int descriptor;  // the listening socket; -1 while it could not be recreated
};

// Where an accepted connection is on its way.
enum connection_stage {
  CONNECTION_READING,    // the polling thread reads the request as it arrives; no thread is held
  CONNECTION_QUEUED,     // the request is whole and waits for a connection thread
  CONNECTION_ANSWERING,  // a connection thread dispatches it
  CONNECTION_REPLYING,   // that thread writes the reply
  CONNECTION_ANSWERED,   // exit processing answered it while the dispatch still ran
};

// One accepted connection, from the accept to the close.
struct connection_data {
  int descriptor;                // the connected socket; closed with the record, under connection_mutex
  connection_stage stage;        // under connection_mutex
  clock_type::time_point since;  // accepted (reading) or queued (queued): the limits count from here
  int32_t header[3];             // type, response_expected, length, as they arrive
  size_t header_got;             // header bytes received (polling thread)
  size_t payload_got;            // payload bytes received (polling thread)
  vek_message_t* request;        // made once the header is whole; owned by the record
};

// What the polling thread keeps from pass to pass; its own.
struct polling_state {
  int failed_passes = 0;                  // consecutive failed passes
  bool given_up = false;                  // MAX_FAILED_PASSES reached: no more listening
  std::vector<pollfd> wait_set;           // the wake pipe, listening sockets, connections being read
  size_t listening = 0;                   // listening sockets in wait_set, after the wake pipe
  std::vector<connection_data*> reading;  // the connections of the rest of wait_set, in order
  clock_type::time_point accept_after;    // accepting waits until then after a shortage
  bool descriptors_short = false;         // a descriptor shortage is being reported
  bool threads_short = false;             // a thread shortage is being reported
  bool connections_full = false;          // MAX_OPEN_CONNECTIONS is reached
};

// The server's state, defined in vek_message_unix.cpp.
extern vek_list_t* socket_list;               // listening sockets; NULL before init and after shutdown
extern vek_mutex_t* socket_list_mutex;        // "inter-launcher socket list"
extern vek_mutex_t* polling_thread_mutex;     // "inter-launcher polling thread": guards polling_thread_running
extern pthread_t polling_thread;              // valid while polling_thread_running
extern volatile bool polling_thread_running;  // the polling thread runs while this is true
extern int wake_pipe[2];                      // a byte in it ends the polling thread's current wait
extern vek_list_t* connection_list;           // accepted connections not yet closed (connection_data*)
extern vek_mutex_t* connection_mutex;         // "inter-launcher connections": connection_list, stages, counts
extern size_t connection_threads;             // connection threads running

// Connections (vek_message_unix.cpp), as the polling thread drives them.
connection_data* open_connection(int descriptor);
void take_request_bytes(connection_data* connection);
void start_connection_threads(polling_state& state);
void expire_connections(polling_state& state, clock_type::time_point now);
bool make_room(polling_state& state, clock_type::time_point now);

// Listening and the polling thread (vek_message_poll_unix.cpp).
int start_listening(const char* path);
bool clear_socket_path(const char* path);
bool file_exists(const char* path);
long find_socket(const char* path);
void close_socket(socket_data* record);
void close_wake_pipe();
void wake_polling_thread();
void ensure_polling_thread();
void stop_polling_thread();

}  // namespace vek::message::server

#endif  // VEK_MESSAGE_SERVER_H
