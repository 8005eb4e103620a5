/* Typed messages between running launchers, the registry of processors that
 * answer them (one of which hands them to a hosted Java VM), and on Linux the
 * local-socket server and client that carry them.
 *
 * Wire format of one message, both directions, 32-bit signed integers in the
 * host's byte order (both ends run on one machine): type, response_expected,
 * length, then `length` payload bytes. A connection carries one request and
 * at most one reply. */
#ifndef VEK_MESSAGE_H
#define VEK_MESSAGE_H

#include <jni.h>

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Message type codes: the contract between launchers. A debug-level request
 * carries a type chosen by its sender. */
#define VEK_MESSAGE_NONE 0           /* type of a new, empty message */
#define VEK_MESSAGE_NOT_HANDLED 1    /* reply: no processor answered */
#define VEK_MESSAGE_OK 2             /* reply: done; the text is the responder's report */
#define VEK_MESSAGE_READ_ERROR 3     /* reply: the request could not be read */
#define VEK_MESSAGE_SHUTDOWN 4       /* request: stop the launcher */
#define VEK_MESSAGE_THREAD_DUMP 5    /* request: write a thread dump */
#define VEK_MESSAGE_SUPPORT_BUNDLE 6 /* request: create a support bundle */
#define VEK_MESSAGE_HEAP_DUMP 14     /* request: write a heap dump */

/* Largest payload either end accepts (16 MiB). A peer announcing a negative
 * or larger length is answered with VEK_MESSAGE_READ_ERROR, and a reply
 * announcing one is dropped, before anything is allocated. */
#define VEK_MESSAGE_MAX_LENGTH (16 * 1024 * 1024)

/* One message. Heap record owned by whoever created or received it; free it
 * with vek_destroyMessage. A text payload includes its terminating zero byte,
 * which `length` counts. */
typedef struct vek_message_t {
  int32_t type;              /* type code (VEK_MESSAGE_...) */
  int32_t response_expected; /* non-zero when the sender waits for a reply; 1 in a new message */
  int32_t length;            /* number of bytes in data */
  char* data;                /* payload, heap, owned by the message; NULL when length is 0 */
} vek_message_t;

/* A processor answers an incoming message with a new heap message (which the
 * registry owns from then on) or NULL when it does not handle it.
 * `already_handled` tells it that a newer processor has already answered:
 * any reply it gives then is destroyed unused. Processors run on the
 * server's connection threads, one at a time. */
typedef vek_message_t* (*vek_message_processor_t)(vek_message_t* incoming, bool already_handled);

/* New message: type VEK_MESSAGE_NONE, response_expected 1, no payload. The
 * caller destroys it; NULL when out of memory (logged). */
vek_message_t* vek_createEmptyMessage(void);
/* Frees the payload and the record; NULL is ignored. */
void vek_destroyMessage(vek_message_t* message);
/* Replaces the payload by a copy of `text` with its terminating zero. A NULL
 * message is ignored; a NULL text empties the payload. When the copy cannot
 * be made (out of memory, or longer than VEK_MESSAGE_MAX_LENGTH) the payload
 * is emptied and the failure logged. */
void vek_setMessageTextPayload(vek_message_t* message, const char* text);
/* A heap copy of the payload bytes followed by a zero byte; the caller frees
 * it. NULL for a NULL message, an empty payload, or when out of memory. */
char* vek_getMessagePayloadAsText(vek_message_t* message);

#ifndef _WIN32
/* The socket file through which the launcher `app_name` whose state
 * directory is `state_location` is reached: under the library's temporary
 * directory, named after the application and the MD5 digest of the two
 * texts. Heap text the caller frees; NULL for a NULL argument or when out of
 * memory. */
char* vek_getMessagePath(const char* app_name, const char* state_location);
#endif

/* Registry of processors, newest first. Adding a processor that is already
 * registered leaves it where it is. Both wait for a dispatch in progress,
 * except when called from a processor (its own dispatch goes on without a
 * processor removed meanwhile) or once exit processing has begun (a
 * processor may be the one that called exit).
 * vek_removeMessageProcessor returns false when it was not registered. */
void vek_addMessageProcessor(vek_message_processor_t processor);
bool vek_removeMessageProcessor(vek_message_processor_t processor);

/* Asks every processor, newest first: the first reply is the answer, later
 * processors are still asked (already_handled true) and their replies
 * destroyed. Returns the answer (the caller destroys it), or NULL when no
 * processor answered or `incoming` is NULL. Dispatches run one at a time. */
vek_message_t* vek_handle_message(vek_message_t* incoming);

/* Creates the processor registry and the transport's socket list on the
 * first call and registers this module's lifecycle handler, which installs
 * the Java bridge processor when a VM is announced; starts no server.
 * Called by vek_lifecycleInit. */
void vek_initialize_messaging(void);

/* Native copy of a Java com.nimbo.common.launcher.message.Message (its
 * fields mType, mResponseExpected and mData); the caller destroys it. NULL
 * (logged) when a field is missing or for NULL arguments. */
vek_message_t* vek_convert_java_message_to_native(JNIEnv* env, jobject javaOutgoing);

/* The processor that hands a message to the hosted VM's
 * com.nimbo.common.launcher.message.MessageHandler.incomingMessage. Returns
 * its reply converted (caller destroys), or NULL when there is no VM, the
 * Java side failed (logged) or `already_handled` is set. */
vek_message_t* vek_VmMessageProcessor(vek_message_t* incoming, bool already_handled);

/* Transport state: the first call creates the listening-socket list and its
 * mutexes (a call after vek_message_native_shutdown starts afresh). Does
 * nothing on Windows, which has no transport. */
void vek_message_native_init(void);
/* Stops the polling thread, closes every listening socket and removes its
 * socket file, closes the connections whose request has not been taken yet,
 * lets those being answered finish (a bounded wait), and destroys the list
 * and mutexes. A stop request (VEK_MESSAGE_SHUTDOWN) still being handled, or
 * not yet taken, is answered VEK_MESSAGE_OK: the exit is what it asked for,
 * and its handler may be the one that called exit. Raised at the shutdown
 * stage; never waits for a processor. Does nothing on Windows. */
void vek_message_native_shutdown(void);

#ifndef _WIN32
/* Starts listening on the socket file `path` (at most 107 characters), owned
 * by this user with mode 0700, and the polling thread that accepts
 * connections if it is not running yet. Returns the listening descriptor, 1
 * when this process already serves `path`, or -1 (logged) on failure. A
 * stale socket file of this user at `path` is replaced; another user's socket
 * or any other kind of file there is left alone and the start fails (the
 * ERROR line names the path, and the owner of a socket). Exits the process
 * with status 1 when the polling thread cannot be created.
 * A request must arrive whole within 10 seconds of its connection (else it is
 * answered VEK_MESSAGE_READ_ERROR, or closed when nothing came); idle
 * connections hold no thread, and at most 16 threads answer requests at once
 * while the others wait. A shortage of descriptors or threads makes
 * connections wait, never ends the serving. A forked child does not inherit
 * the server. */
int vek_startMessageServer(const char* path);
/* Stops listening on `path` and removes its socket file; false when this
 * process does not serve it. Connections already accepted are answered. */
bool vek_stopMessageServer(const char* path);
/* Sends `msg` to the server at the socket file `destination` and, when the
 * message expects one, waits (without limit) for the reply. Returns the
 * reply, which the caller destroys; NULL when no reply was expected or
 * anything failed (logged). Only a server run by this user or by root is
 * accepted, as the connected socket's peer credentials tell, before anything
 * is sent. Never raises SIGPIPE. */
vek_message_t* vek_sendMessage(const char* destination, vek_message_t* msg);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEK_MESSAGE_H */
