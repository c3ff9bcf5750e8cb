// The OSC stream: the message bytes, the --osc value, and one packet through a
// real socket on this machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "log/osc_message.h"
#include "log/osc_stream.h"

namespace {

TEST(OscMessage, PadsStringsAndWritesBigEndian) {
  std::string out;
  osc::Message(out, "/ab", "ihs").Int32(-2).Int64(0x0102030405060708).String("xyzw");
  const std::string want("/ab\0,ihs\0\0\0\0\xff\xff\xff\xfe\x01\x02\x03\x04\x05\x06\x07\x08xyzw\0\0\0\0", 32);
  EXPECT_EQ(out, want);
}

struct TargetCase {
  const char* value;
  const char* host;  // nullptr: malformed
  const char* port;
};

class OscTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(OscTarget, Parses) {
  const TargetCase& c = GetParam();
  osc::Target t;
  ASSERT_EQ(osc::ParseTarget(c.value, t), c.host != nullptr) << c.value;
  if (c.host) {
    EXPECT_EQ(t.host, c.host);
    EXPECT_EQ(t.port, c.port);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, OscTarget,
    ::testing::Values(TargetCase{"127.0.0.1:9000", "127.0.0.1", "9000"}, TargetCase{"[::1]:9000", "::1", "9000"},
                      TargetCase{"localhost:65535", "localhost", "65535"}, TargetCase{"lab-pc.local:1", "lab-pc.local", "1"},
                      TargetCase{"9000", nullptr, nullptr}, TargetCase{":9000", nullptr, nullptr},
                      TargetCase{"host:", nullptr, nullptr}, TargetCase{"host:0", nullptr, nullptr},
                      TargetCase{"host:65536", nullptr, nullptr}, TargetCase{"host:90a", nullptr, nullptr},
                      TargetCase{"::1:9000", nullptr, nullptr}, TargetCase{"[127.0.0.1]:9000", nullptr, nullptr},
                      TargetCase{"[]:9000", nullptr, nullptr}, TargetCase{"a b:9000", nullptr, nullptr}));

// A wheel packet and a second one from the same mouse: the fields as log.csv
// writes them (the wheel's data signed, ulButtons as its 32 bits), seq 0 then 1.
TEST(OscStream, SendsEachPacketAsItComes) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &size), 0);
  ASSERT_TRUE(osc::stream_open("127.0.0.1:" + std::to_string(ntohs(a.sin_port))));

  rawinput::RAWMOUSE m{};
  m.ulButtons = 0xFF880400;  // wheel back
  m.lLastX = -3;
  osc::stream_packet(1234567890123, reinterpret_cast<rawinput::HANDLE>(0x42), 2, m);
  osc::stream_packet(1234567890124, reinterpret_cast<rawinput::HANDLE>(0x42), 2, m);
  osc::stream_close();

  std::string want;
  osc::Message(want, "/velmora/packet", "hiiiiiiiiiih")
      .Int64(1234567890123).Int32(0x42).Int32(2).Int32(0).Int32(static_cast<std::int32_t>(0xFF880400))
      .Int32(0x0400).Int32(-120).Int32(0).Int32(-3).Int32(0).Int32(0).Int64(0);
  char got[256];
  ASSERT_EQ(recv(s, got, sizeof got, 0), static_cast<ssize_t>(want.size()));
  EXPECT_EQ(std::string(got, want.size()), want);
  const ssize_t second = recv(s, got, sizeof got, 0);
  ASSERT_EQ(second, static_cast<ssize_t>(want.size()));
  EXPECT_EQ(got[second - 1], 1) << "seq of the second packet";
  close(s);
}

}  // namespace
