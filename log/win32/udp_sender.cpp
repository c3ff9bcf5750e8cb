// The stream's socket on Windows (Winsock 2).
#include "log/udp_sender.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace osc {

namespace {

std::string ErrorText(int code) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s;
}

}  // namespace

UdpSender::UdpSender() : socket_(static_cast<std::intptr_t>(INVALID_SOCKET)) {}
UdpSender::~UdpSender() { Close(); }

bool UdpSender::Open(const std::string& host, const std::string& port, std::string& why) {
  Close();
  WSADATA wsa;
  if (const int error = ::WSAStartup(MAKEWORD(2, 2), &wsa); error != 0) {
    why = ErrorText(error);
    return false;
  }
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
    why = ErrorText(error);
    ::WSACleanup();
    return false;
  }
  // The first address a socket can be aimed at; connect on a datagram socket
  // only sets where sends go.
  SOCKET chosen = INVALID_SOCKET;
  why = "no address";
  for (const addrinfo* a = found; a != nullptr && chosen == INVALID_SOCKET; a = a->ai_next) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    u_long nonblocking = 1;
    if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
        ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      why = ErrorText(::WSAGetLastError());
      if (s != INVALID_SOCKET) ::closesocket(s);
      continue;
    }
    chosen = s;
  }
  ::freeaddrinfo(found);
  if (chosen == INVALID_SOCKET) {
    ::WSACleanup();
    return false;
  }
  socket_ = static_cast<std::intptr_t>(chosen);
  return true;
}

void UdpSender::Close() {
  if (static_cast<SOCKET>(socket_) == INVALID_SOCKET) return;
  ::closesocket(static_cast<SOCKET>(socket_));
  ::WSACleanup();
  socket_ = static_cast<std::intptr_t>(INVALID_SOCKET);
}

UdpSender::Sent UdpSender::Send(const char* data, std::size_t size, std::string& why) {
  const SOCKET s = static_cast<SOCKET>(socket_);
  if (s == INVALID_SOCKET) return Sent::kNo;
  if (::send(s, data, static_cast<int>(size), 0) != SOCKET_ERROR) return Sent::kYes;
  const int error = ::WSAGetLastError();
  why = ErrorText(error);
  // A port that answered "unreachable" shows as a reset on the next call.
  return error == WSAECONNREFUSED || error == WSAECONNRESET ? Sent::kRefused : Sent::kNo;
}

}  // namespace osc
