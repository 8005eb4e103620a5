// The wire side of launcher messages over local (AF_UNIX) stream sockets:
// reading and writing one message, the socket address, and the client that
// connects, sends one message and reads at most one reply. The server is
// vek_message_unix; both log under its name.
//
// Wire format: type, response_expected, length (32-bit signed, host order),
// then `length` payload bytes. A peer never decides how much we allocate: a
// length below 0 or above VEK_MESSAGE_MAX_LENGTH is a read error. Every send
// passes MSG_NOSIGNAL, so a peer that went away cannot raise SIGPIPE.
#include "vek_message_wire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vek_log_source.h"
#include "vek_logging.h"
#include "vek_message_client.h"

VEK_LOG_SOURCE(message_unix);

namespace {

constexpr size_t SOCKET_PATH_CAPACITY = sizeof(sockaddr_un::sun_path);  // 108 bytes

}  // namespace

namespace vek::message {

// Reads up to `size` bytes, looping on short reads and EINTR. Returns the
// bytes read: fewer than `size` at end of stream (errno 0) or on an error.
static size_t read_fully(int descriptor, void* buffer, size_t size) {
  size_t done = 0;
  errno = 0;
  while (done < size) {
    ssize_t got = recv(descriptor, static_cast<char*>(buffer) + done, size - done, 0);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      errno = 0;
      break;
    } else if (errno != EINTR) {
      break;
    }
  }
  return done;
}

static const char* read_error_text(int error) { return error == 0 ? "unexpected end of stream" : strerror(error); }

// The header field a transfer stopped in, after `done` bytes.
const char* field_at(size_t done) {
  return done < 4 ? "type" : done < 8 ? "response_expected" : done < 12 ? "length" : "data";
}

// Reads one message into `message`. Returns the bytes read; 0 (errno
// ENODATA) when the peer closed before sending anything; -1 (logged) on an
// error, a message cut short or a length no message may have.
long read_message(int descriptor, vek_message_t* message) {
  int32_t header[3] = {0, 0, 0};  // type, response_expected, length
  const size_t got = read_fully(descriptor, header, HEADER_BYTES);
  if (got == 0 && errno == 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_DEBUG, "Remote internal message listener has shut down");
    errno = ENODATA;
    return 0;
  }
  if (got < HEADER_BYTES) {
    const int error = errno;
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not read internal message(%s) from socket: %s", field_at(got),
           read_error_text(error));
    errno = error != 0 ? error : EPROTO;
    return -1;
  }
  const int32_t length = header[2];
  if (length < 0 || length > VEK_MESSAGE_MAX_LENGTH) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Internal message announces %ld payload bytes; a message carries 0 to %ld bytes.",
           static_cast<long>(length), static_cast<long>(VEK_MESSAGE_MAX_LENGTH));
    errno = length < 0 ? EPROTO : EMSGSIZE;
    return -1;
  }
  char* data = nullptr;
  if (length > 0) {
    data = static_cast<char*>(calloc(static_cast<size_t>(length), 1));
    if (data == nullptr) {
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
             "(internal error) Could not allocate %ld bytes for an internal message.", static_cast<long>(length));
      errno = ENOMEM;
      return -1;
    }
    if (read_fully(descriptor, data, static_cast<size_t>(length)) < static_cast<size_t>(length)) {
      const int error = errno;
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
             "(internal error) Could not read internal message(data) from socket: %s", read_error_text(error));
      free(data);
      errno = error != 0 ? error : EPROTO;
      return -1;
    }
  }
  free(message->data);
  message->type = header[0];
  message->response_expected = header[1];
  message->length = length;
  message->data = data;
  return static_cast<long>(HEADER_BYTES) + length;
}

// Sends the header and the payload in one gathered write, repeated until
// every byte is out. Returns the bytes sent, or -1 (logged) naming the field
// that could not be sent.
long send_message(int descriptor, const vek_message_t* message) {
  const int32_t length = message->length;
  if (length < 0 || length > VEK_MESSAGE_MAX_LENGTH || (length > 0 && message->data == nullptr)) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not send internal message(length) to remote listener: a payload of %ld bytes is "
           "not sent",
           static_cast<long>(length));
    errno = EMSGSIZE;
    return -1;
  }
  int32_t header[3] = {message->type, message->response_expected, length};
  iovec parts[2] = {{header, HEADER_BYTES}, {message->data, static_cast<size_t>(length)}};
  const size_t total = HEADER_BYTES + static_cast<size_t>(length);
  size_t sent = 0;
  while (sent < total) {
    // What is still to go of the two parts.
    iovec rest[2];
    size_t count = 0;
    size_t offset = sent;
    for (const iovec& part : parts) {
      if (offset >= part.iov_len) {
        offset -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<char*>(part.iov_base) + offset, part.iov_len - offset};
      offset = 0;
    }
    msghdr out = {};
    out.msg_iov = rest;
    out.msg_iovlen = count;
    ssize_t written = sendmsg(descriptor, &out, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : EPIPE;
      veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
             "(internal error) Could not send internal message(%s) to remote listener: %s", field_at(sent),
             strerror(error));
      errno = error;
      return -1;
    }
    sent += static_cast<size_t>(written);
  }
  return static_cast<long>(sent);
}

message_ptr text_reply(int32_t type, const char* text) {
  message_ptr reply(vek_createEmptyMessage(), vek_destroyMessage);
  if (reply != nullptr) {
    reply->type = type;
    vek_setMessageTextPayload(reply.get(), text);
  }
  return reply;
}

bool fill_address(const char* path, sockaddr_un& address) {
  const size_t length = strlen(path);
  if (length > SOCKET_PATH_CAPACITY) {
    errno = ENAMETOOLONG;
    return false;
  }
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path, length);
  return true;
}

}  // namespace vek::message

namespace {

using vek::message::fill_address;
using vek::message::message_ptr;
using vek::message::read_message;
using vek::message::send_message;

void report_not_owner(long remote) {
  veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
         "Could not transmit the inter-launcher communications message as you are not the owner of the process the "
         "message is destined for. Local %ld, Remote %ld.",
         static_cast<long>(getuid()), remote);
}

// A socket connected to `destination`, or -1 (logged). The socket file's
// mode keeps other users out; whom it lets in is judged on the connection.
int connect_to(const char* destination) {
  int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not create socket to transmit message: %s", strerror(errno));
    return -1;
  }
  sockaddr_un address;
  if (fill_address(destination, address) &&
      connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return descriptor;
  const int error = errno;
  struct stat info;
  if (error == ENOENT) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "Cannot send message through the inter-launcher communications socket at %s, as it does not exist.",
           destination);
  } else if ((error == EPERM || error == EACCES) && lstat(destination, &info) == 0) {
    report_not_owner(static_cast<long>(info.st_uid));  // the owner only names who was refused
  } else {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not connect socket for message transmission to %s: %s", destination,
           strerror(error));
  }
  close(descriptor);
  return -1;
}

// The server at the other end is this user's, root's or the `trusted`
// user's, by the credentials the kernel gives for the connected socket: a
// check of the file's owner before connecting could be raced, and a socket
// another user planted at the path must learn nothing and answer nothing.
bool trusted_server(int descriptor, const char* destination, uid_t trusted) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "Could not obtain required information from the inter-launcher communications socket at %s: %s", destination,
           strerror(errno));
    return false;
  }
  if (peer.uid == getuid() || peer.uid == geteuid() || peer.uid == 0 ||
      (trusted != vek::message::NO_TRUSTED_USER && peer.uid == trusted))
    return true;
  report_not_owner(static_cast<long>(peer.uid));
  return false;
}

vek_message_t* exchange(int descriptor, const char* destination, vek_message_t* msg) {
  if (send_message(descriptor, msg) < 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not send message to remote destination %s: %s", destination, strerror(errno));
    return nullptr;
  }
  if (msg->response_expected == 0) return nullptr;
  message_ptr reply(vek_createEmptyMessage(), vek_destroyMessage);
  if (reply == nullptr) return nullptr;
  if (read_message(descriptor, reply.get()) <= 0) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) Could not read response message from remote destination %s: %s", destination,
           strerror(errno));
    return nullptr;
  }
  return reply.release();
}

}  // namespace

namespace vek::message {

vek_message_t* send_trusting(const char* destination, vek_message_t* msg, uid_t trusted) noexcept {
  if (msg == nullptr) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR, "(internal error) null message passed to vek_sendMessage()");
    return nullptr;
  }
  if (destination == nullptr) {
    veklog(VEK_SOURCE_HERE(message_unix), VEKLOG_ERROR,
           "(internal error) null destination passed to vek_sendMessage()");
    return nullptr;
  }
  int descriptor = connect_to(destination);
  if (descriptor < 0) return nullptr;
  vek_message_t* reply =
      trusted_server(descriptor, destination, trusted) ? exchange(descriptor, destination, msg) : nullptr;
  close(descriptor);
  return reply;
}

}  // namespace vek::message

extern "C" vek_message_t* vek_sendMessage(const char* destination, vek_message_t* msg) {
  return vek::message::send_trusting(destination, msg, vek::message::NO_TRUSTED_USER);
}
