/* Load for the message benchmark: CLIENTS processes each send REQUESTS
 * requests one after the other, each on a connection of its own (connect,
 * send, read the reply, close), as launcher tools do. Every reply's payload
 * must equal the request's. Prints the requests per second of the whole run.
 *
 *   client PATH CLIENTS REQUESTS PAYLOAD_BYTES
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int read_all(int fd, char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = read(fd, buffer + done, size - done);
    if (got <= 0) return -1;
    done += (size_t)got;
  }
  return 0;
}

static int one_request(const struct sockaddr_un* address, const char* request, size_t size, char* reply) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int ok = -1;
  if (connect(fd, (const struct sockaddr*)address, sizeof *address) == 0 &&
      send(fd, request, size, MSG_NOSIGNAL) == (ssize_t)size && read_all(fd, reply, size) == 0 &&
      memcmp(reply + 12, request + 12, size - 12) == 0)
    ok = 0;
  close(fd);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: client PATH CLIENTS REQUESTS PAYLOAD_BYTES\n");
    return 2;
  }
  int clients = atoi(argv[2]), requests = atoi(argv[3]), payload = atoi(argv[4]);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  size_t size = 12 + (size_t)payload;
  char* request = malloc(size);
  char* reply = malloc(size);
  int32_t header[3] = {7, 1, payload};
  memcpy(request, header, sizeof header);
  for (int i = 0; i < payload; ++i) request[12 + i] = (char)('a' + i % 26);

  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int c = 0; c < clients; ++c) {
    if (fork() == 0) {
      for (int r = 0; r < requests; ++r)
        if (one_request(&address, request, size, reply) != 0) _exit(1);
      _exit(0);
    }
  }
  int failed = 0, status;
  while (wait(&status) > 0) failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  if (failed) {
    fprintf(stderr, "client: a request failed or its reply did not match\n");
    return 1;
  }
  printf("%.0f\n", clients * (double)requests / seconds);
  return 0;
}
