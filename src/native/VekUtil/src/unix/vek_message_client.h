// The message client as the launcher requests use it. Private to the library.
#ifndef VEK_MESSAGE_CLIENT_H
#define VEK_MESSAGE_CLIENT_H

#include <sys/types.h>

#include "vek_message.h"

namespace vek::message {

constexpr uid_t NO_TRUSTED_USER = static_cast<uid_t>(-1);

// vek_sendMessage, accepting as the server besides this user and root also
// a process run by `trusted` (the owner of the launcher's locked pid file,
// so that root's tool reaches a launcher of a service account), or nobody
// else with NO_TRUSTED_USER. The server is judged by the credentials of the
// connected socket, before anything is sent.
vek_message_t* send_trusting(const char* destination, vek_message_t* msg, uid_t trusted) noexcept;

}  // namespace vek::message

#endif  // VEK_MESSAGE_CLIENT_H
