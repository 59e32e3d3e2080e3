#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/Packets.h"
#include "transport/udpsocket_u.h"

namespace vx {
namespace {

TEST(UDPServerSocket, AddressTextsMatchTheSystemsFormatting) {
  std::vector<uint32_t> addresses = {0u,          0xFFFFFFFFu, 0x7F000001u, 0x0A006409u,
                                     0x01020304u, 0x63646566u, 0xC0A80001u};
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) addresses.push_back(random());
  for (uint32_t a : addresses) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(a);
    char expected[INET_ADDRSTRLEN];
    ASSERT_NE(inet_ntop(AF_INET, &address.sin_addr, expected, sizeof expected), nullptr);
    EXPECT_EQ(IPv4Text(address.sin_addr.s_addr), expected);
    sockaddr_in back{};
    ASSERT_TRUE(TUDPServerSocket::ParseAddress(expected, 7, back));
    EXPECT_EQ(back.sin_addr.s_addr, address.sin_addr.s_addr);
    uint32_t parsed = 0;
    ASSERT_TRUE(ParseIPv4(expected, parsed));
    EXPECT_EQ(parsed, address.sin_addr.s_addr);
  }
}

// A batch longer than one system call's worth arrives complete and in
// order; a datagram the kernel refuses is reported and skipped.
TEST(UDPServerSocket, SendBatchKeepsOrderAndReportsRefusals) {
  const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sink, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(sink, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(sink, reinterpret_cast<sockaddr*>(&local), &len), 0);

  TUDPServerSocket server;
  server.Open(0, "127.0.0.1");
  std::vector<std::string> payloads;
  std::vector<TUDPServerSocket::TDatagram> batch;
  for (int i = 0; i < 75; ++i) payloads.push_back("datagram " + std::to_string(i));
  payloads[40].assign(70000, 'x');  // longer than a datagram can be: refused
  for (const std::string& p : payloads)
    batch.push_back({reinterpret_cast<const uint8_t*>(p.data()), p.size(), local});
  std::vector<std::string> errors;
  server.SendBatch(batch, [&](const EUDPSocket& e) { errors.push_back(e.what()); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("sendto: ", 0), 0u);

  std::vector<std::string> received;
  char buffer[2048];
  for (int i = 0; i < 200 && received.size() < 74; ++i) {
    pollfd pfd{sink, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    const ssize_t n = recv(sink, buffer, sizeof buffer, 0);
    if (n >= 0) received.emplace_back(buffer, size_t(n));
  }
  payloads.erase(payloads.begin() + 40);
  EXPECT_EQ(received, payloads);
  close(sink);
}

}  // namespace
}  // namespace vx
