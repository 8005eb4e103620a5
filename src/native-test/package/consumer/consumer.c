/* A small C program using the installed library: lifecycle start-up, a
 * list, a launcher message and (on Linux) an MD5 digest. Prints one line
 * that the package test compares. */
#include <stdio.h>
#include <stdlib.h>

#include "vek_lifecycle.h"
#include "vek_list.h"
#include "vek_message.h"
#ifndef _WIN32
#include "vek_md5.h"
#endif

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
  printf("%s %lu %s\n", text, (unsigned long)vek_listGetSize(list), digest != NULL ? digest : "-");
  free(digest);
  free(text);
  vek_destroyMessage(message);
  vek_listDestroy(list);
  return 0;
}
