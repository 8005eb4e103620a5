// Launcher messages on the wire (vek_message_wire_unix): the pieces the
// server (vek_message_unix) shares with the client. Private to the library.
#ifndef VEK_MESSAGE_WIRE_H
#define VEK_MESSAGE_WIRE_H

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vek_message.h"

namespace vek::message {

constexpr size_t HEADER_BYTES = 3 * sizeof(int32_t);  // type, response_expected, length

using message_ptr = std::unique_ptr<vek_message_t, decltype(&vek_destroyMessage)>;

// The name of the header field a read stopped in after `done` bytes, for logging.
const char* field_at(size_t done);

// Reads one message into `message` (its payload allocated). Returns the bytes
// read; 0 (errno ENODATA) when the peer closed before sending anything; -1
// (logged) on an error, a message cut short or a length no message may have.
long read_message(int descriptor, vek_message_t* message);

// Sends the header and the payload in one gathered write, repeated until
// every byte is out. Returns the bytes sent, or -1 (logged).
long send_message(int descriptor, const vek_message_t* message);

// A reply of `type` carrying `text`; empty when out of memory.
message_ptr text_reply(int32_t type, const char* text);

// The address of the socket file `path`; false (ENAMETOOLONG) when it does not fit.
bool fill_address(const char* path, sockaddr_un& address);

}  // namespace vek::message

#endif  // VEK_MESSAGE_WIRE_H
