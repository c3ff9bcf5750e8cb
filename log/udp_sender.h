// A datagram socket that sends to one address and never waits: one file per
// platform (posix/, win32/) provides it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace osc {

class UdpSender {
 public:
  enum class Sent { kYes, kRefused, kNo };

  UdpSender();
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Resolves host (a name, or an IPv4 or IPv6 address without brackets) and
  // aims a non-blocking socket at host:port. false, with why, when it cannot.
  bool Open(const std::string& host, const std::string& port, std::string& why);
  void Close();
  // kRefused: nothing listens there (the system heard so); kNo: the system
  // could not take the datagram now (full buffers, no route); why says which.
  Sent Send(const char* data, std::size_t size, std::string& why);

 private:
  std::intptr_t socket_;
};

}  // namespace osc
