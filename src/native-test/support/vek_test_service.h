// The service manager's end of the notification socket, for the tests that
// play the manager (Linux).
#ifndef VEK_TEST_SERVICE_H
#define VEK_TEST_SERVICE_H

#include <stddef.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

namespace vektest {

// The manager's end: a datagram socket bound to a path or an abstract name.
class ManagerSocket {
 public:
  // `name` as NOTIFY_SOCKET gives it: a path, or '@' and an abstract name.
  explicit ManagerSocket(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    wait_for(std::chrono::seconds(5));
  }
  ~ManagerSocket() {
    close(fd_);
    if (name_[0] == '/') unlink(name_.c_str());
  }
  ManagerSocket(const ManagerSocket&) = delete;
  ManagerSocket& operator=(const ManagerSocket&) = delete;

  bool bound() const { return bound_; }
  // How long receive() waits (five seconds at first).
  void wait_for(std::chrono::milliseconds limit) {
    timeval wait = {static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  // The next datagram, or nullopt when none came in time.
  std::optional<std::string> receive() {
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace vektest

#endif  // VEK_TEST_SERVICE_H
