/* A small C program using the installed library: lifecycle start-up, a
 * list, a launcher message, (on Linux) an MD5 digest, and a log event read
 * through this program's own time_t, which must be the library's. Prints one
 * line that the package test compares. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_logging.h"
#include "vek_message.h"
#ifndef _WIN32
#include "vek_md5.h"
#endif

static time_t seen_time = 0;
static char seen_text[32] = "";

static void remember(vek_log_event_t* event) {
  seen_time = event->timestamp;
  snprintf(seen_text, sizeof seen_text, "%s", event->timestamp_text);
}

/* The event's second and its local-time text agree only when this program
 * lays the record out as the library does (a 32-bit time_t would shift the
 * fields after it). */
static const char* time_agreement(void) {
  time_t before = time(NULL);
  vek_addLogger(remember);
  veklog(VEK_HERE, VEKLOG_ERROR, "consumer");
  vek_removeLogger(remember);
  char expected[32];
  struct tm* local = seen_time >= before && seen_time <= time(NULL) ? localtime(&seen_time) : NULL;
  if (local == NULL || strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", local) == 0) return "time-wrong";
  if (strncmp(seen_text, expected, strlen(expected)) != 0) return "time-text-wrong";
  return sizeof(time_t) == 8 ? "time64" : "time32";
}

int main(void) {
  vek_lifecycleInit();
  vek_list_t* list = vek_listCreate(1);
  vek_listAdd(list, "one");
  vek_listAdd(list, "two");
  vek_message_t* message = vek_createEmptyMessage();
  vek_setMessageTextPayload(message, "installed");
  char* text = vek_getMessagePayloadAsText(message);
#ifndef _WIN32
  char* digest = vek_MD5String("abc");
#else
  char* digest = NULL;
#endif
  printf("%s %lu %s %s\n", text, (unsigned long)vek_listGetSize(list), digest != NULL ? digest : "-", time_agreement());
  free(digest);
  free(text);
  vek_destroyMessage(message);
  vek_listDestroy(list);
  return 0;
}
