/* The library's side of the message benchmark: a launcher's message server
 * (vek_startMessageServer) whose one processor answers each request with its
 * payload. Built against the installed VekUtil package with pkg-config.
 *
 *   message_server PATH   serves until standard input closes; prints "ready"
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vek_lifecycle.h"
#include "vek_message.h"

static vek_message_t* echo(vek_message_t* incoming, bool already_handled) {
  (void)already_handled;
  vek_message_t* reply = vek_createEmptyMessage();
  if (reply == NULL) return NULL;
  reply->type = VEK_MESSAGE_OK;
  if (incoming->length > 0) {
    reply->data = malloc((size_t)incoming->length);
    if (reply->data == NULL) {
      vek_destroyMessage(reply);
      return NULL;
    }
    memcpy(reply->data, incoming->data, (size_t)incoming->length);
    reply->length = incoming->length;
  }
  return reply;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: message_server PATH\n");
    return 2;
  }
  vek_lifecycleInit();
  vek_addMessageProcessor(echo);
  if (vek_startMessageServer(argv[1]) < 0) return 1;
  printf("ready\n");
  fflush(stdout);
  char buffer[64];
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
