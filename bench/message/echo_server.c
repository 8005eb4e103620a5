/* The peer of the message benchmark: a minimal local-socket server in C that
 * speaks the same wire format (three 32-bit integers, then the payload) and
 * answers each request with its own bytes. One thread, one connection at a
 * time: accept, read the request, write it back, close.
 *
 *   echo_server PATH      serves until killed; prints "ready" once listening
 */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
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

static void answer(int fd, char* buffer, size_t capacity) {
  int32_t header[3];
  if (read_all(fd, (char*)header, sizeof header) != 0) return;
  if (header[2] < 0 || (size_t)header[2] + sizeof header > capacity) return;
  memcpy(buffer, header, sizeof header);
  if (read_all(fd, buffer + sizeof header, (size_t)header[2]) != 0) return;
  size_t total = sizeof header + (size_t)header[2], sent = 0;
  while (sent < total) {
    ssize_t put = send(fd, buffer + sent, total - sent, MSG_NOSIGNAL);
    if (put <= 0) return;
    sent += (size_t)put;
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: echo_server PATH\n");
    return 2;
  }
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  unlink(argv[1]);
  if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 128) != 0) {
    perror("echo_server");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  size_t capacity = 16 * 1024 * 1024 + 12;
  char* buffer = malloc(capacity);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    answer(fd, buffer, capacity);
    close(fd);
  }
}
