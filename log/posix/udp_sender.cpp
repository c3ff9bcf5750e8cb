// The stream's socket on POSIX systems.
#include "log/udp_sender.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace osc {

UdpSender::UdpSender() : socket_(-1) {}
UdpSender::~UdpSender() { Close(); }

bool UdpSender::Open(const std::string& host, const std::string& port, std::string& why) {
  Close();
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (error != 0) {
    why = error == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(error);
    return false;
  }
  // The first address a socket can be aimed at: connect on a datagram socket
  // only sets where sends go, and fails at once when there is no route.
  why = "no address";
  for (const addrinfo* a = found; a != nullptr && socket_ < 0; a = a->ai_next) {
    const int s = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0 || connect(s, a->ai_addr, a->ai_addrlen) != 0) {
      why = std::strerror(errno);
      if (s >= 0) close(s);
      continue;
    }
    socket_ = s;
  }
  freeaddrinfo(found);
  return socket_ >= 0;
}

void UdpSender::Close() {
  if (socket_ >= 0) close(static_cast<int>(socket_));
  socket_ = -1;
}

UdpSender::Sent UdpSender::Send(const char* data, std::size_t size, std::string& why) {
  if (socket_ < 0) return Sent::kNo;
  if (send(static_cast<int>(socket_), data, size, MSG_NOSIGNAL) >= 0) return Sent::kYes;
  why = std::strerror(errno);
  return errno == ECONNREFUSED ? Sent::kRefused : Sent::kNo;
}

}  // namespace osc
