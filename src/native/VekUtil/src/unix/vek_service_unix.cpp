// The notification datagram on Linux: a local datagram socket made for each
// notification (a manager may go and come back between two), sent once to
// the socket named by the manager.
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vek_service_platform.h"
#include "vek_unix_io.h"

namespace vek::service {

// Fills `address` for `name`; returns the address length, or 0 when the name
// is neither absolute nor abstract or does not fit. An abstract name's
// leading '@' stands for the zero byte, and its length is exact: the
// abstract name space counts every byte, a zero included.
static socklen_t socket_address(const std::string& name, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  const bool abstract = name[0] == '@';
  if ((!abstract && name[0] != '/') || name.size() < 2 || name.size() > sizeof address->sun_path) return 0;
  memcpy(address->sun_path, name.data(), name.size());
  if (abstract) address->sun_path[0] = '\0';
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
}

int send_datagram(const std::string& name, const std::string& text) {
  sockaddr_un address;
  const socklen_t length = socket_address(name, &address);
  if (length == 0) return -EINVAL;
  FdGuard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return -errno;
  iovec part = {const_cast<char*>(text.data()), text.size()};
  msghdr message = {};
  message.msg_name = &address;
  message.msg_namelen = length;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t sent;
  while ((sent = sendmsg(fd.get(), &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent < 0 ? -errno : 1;
}

long current_process_id() { return static_cast<long>(getpid()); }

void remove_environment_variable(const char* name) { unsetenv(name); }

}  // namespace vek::service
