// Message transport over local sockets. So far: the list of listening
// sockets, its mutexes and their release at shutdown (the server, its
// polling thread and the client come later).
#include "vek_message.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "vek_list.h"
#include "vek_logging.h"
#include "vek_mutex.h"

namespace {

// One listening socket file.
struct socket_data {
  char* path;      // heap copy of the socket file path
  int descriptor;  // the listening socket
};

vek_list_t* socket_list = nullptr;            // listening sockets; NULL before init and after shutdown
vek_mutex_t* socket_list_mutex = nullptr;     // "inter-launcher socket list"
vek_mutex_t* polling_thread_mutex = nullptr;  // "inter-launcher polling thread"

void close_socket(socket_data* record) {
  close(record->descriptor);
  struct stat info;
  if (stat(record->path, &info) == 0) unlink(record->path);
  free(record->path);
  free(record);
}

}  // namespace

extern "C" void vek_message_native_init(void) {
  if (socket_list != nullptr) return;
  socket_list = vek_listCreate(1);
  socket_list_mutex = vek_createMutex("inter-launcher socket list");
  polling_thread_mutex = vek_createMutex("inter-launcher polling thread");
}

extern "C" void vek_message_native_shutdown(void) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "Cleaning up any messaging sockets.");
  if (socket_list == nullptr) return;
  vek_lockMutex(socket_list_mutex);
  for (size_t i = 0; i < vek_listGetSize(socket_list); ++i) {
    close_socket(static_cast<socket_data*>(vek_listGet(socket_list, i)));
  }
  vek_listDestroy(socket_list);
  socket_list = nullptr;
  vek_unlockMutex(socket_list_mutex);
  vek_destroyMutex(socket_list_mutex);
  socket_list_mutex = nullptr;
  vek_destroyMutex(polling_thread_mutex);
  polling_thread_mutex = nullptr;
}
