#include "common/Packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "common/fcrc.h"

namespace vx {
namespace {

TEST(Crc32, StandardCheckValueAndLimits) {
  const char* text = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  std::vector<uint8_t> big(MaxCrcInput + 1, 0x55);
  EXPECT_EQ(Crc32(big.data(), big.size()), 0xFFFFFFFFu);
  // The eight-byte loop agrees with a plain bitwise CRC at every length.
  for (size_t n = 0; n < 40; ++n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 37 + 11);
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : data) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    EXPECT_EQ(Crc32(data.data(), n), ~c) << n;
  }
}

TPacket Raw(std::initializer_list<uint8_t> head, size_t size) {
  TPacket p(size);
  size_t i = 0;
  for (uint8_t b : head) p.Data()[i++] = b;
  return p;
}

TEST(Packet, ClassesNeedTheirMinimumLength) {
  EXPECT_EQ(Raw({0xF0, 0xBE}, 23).Class(), TPacketClass::None);
  EXPECT_EQ(Raw({0xF0, 0xBE}, 24).Class(), TPacketClass::Command);
  EXPECT_EQ(Raw({0xF1, 0xBE}, 15).Class(), TPacketClass::None);
  EXPECT_EQ(Raw({0xF1, 0xBE}, 16).Class(), TPacketClass::Ack);
  EXPECT_EQ(Raw({0xF2, 0xBE}, 16).Class(), TPacketClass::VoiceC2S);
  EXPECT_EQ(Raw({0xF3, 0xBE}, 16).Class(), TPacketClass::None) << "voice s2c needs 22 bytes";
  EXPECT_EQ(Raw({0xF3, 0xBE}, 22).Class(), TPacketClass::VoiceS2C);
  EXPECT_EQ(Raw({0xF4, 0xBE}, 19).Class(), TPacketClass::None);
  EXPECT_EQ(Raw({0xF4, 0xBE}, 20).Class(), TPacketClass::Maintenance);
  EXPECT_EQ(Raw({0xF5, 0xBE}, 100).Class(), TPacketClass::None);
  EXPECT_EQ(TPacket().Class(), TPacketClass::None);
  EXPECT_EQ(Raw({0xF0}, 1).Class(), TPacketClass::None);

  TPacket none = Raw({0x00, 0x00}, 30);
  EXPECT_FALSE(none.IsValid());
  EXPECT_THROW(none.ConnectionID(), EPacket);
  EXPECT_THROW(none.PlayerID(), EPacket);
  EXPECT_THROW(none.SealChecksum(), EPacket);
  EXPECT_THROW(none.CommandHeader(), std::logic_error);

  TPacket ack = Raw({0xF1, 0xBE, 1, 2, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0}, 40);
  EXPECT_TRUE(ack.IsValid()) << "no checksum on acks, extra bytes allowed";
  EXPECT_EQ(ack.ConnectionID(), 0x11223344u);
  EXPECT_EQ(ack.PlayerID(), 7u);
  try {
    ack.VoiceS2CHeader();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Udp packet is not a VOICES2C packet");
  }
}

TEST(Packet, SealAndCheckCommandAndMaintenance) {
  TPacket cmd = TPacket::WithMagic(MAGIC_COMMAND, 24 + 10);
  auto h = cmd.CommandHeader();
  h.SetCode(0x0133);
  h.SetConnectionID(0xABCDEF);
  h.SetPlayerID(3);
  h.SetSequence(1);
  for (size_t i = 24; i < cmd.Size(); ++i) cmd.Data()[i] = uint8_t(i);
  EXPECT_FALSE(cmd.IsValid());
  cmd.SealChecksum();
  EXPECT_TRUE(cmd.IsValid());
  // The stored value is the CRC of the packet with the field zeroed.
  std::vector<uint8_t> copy(cmd.Data(), cmd.Data() + cmd.Size());
  std::memset(copy.data() + 20, 0, 4);
  EXPECT_EQ(cmd.CommandHeader().Checksum(), Crc32(copy.data(), copy.size()));

  // Any changed byte, payload included, invalidates; checking never
  // changes the bytes.
  for (size_t i = 0; i < cmd.Size(); ++i) {
    if (i < 2 || (i >= 20 && i < 24)) continue;  // a changed magic is another class
    TPacket bad;
    bad.Assign(cmd);
    bad.Data()[i] ^= 0x01;
    const std::vector<uint8_t> before(bad.Data(), bad.Data() + bad.Size());
    EXPECT_FALSE(bad.IsValid()) << i;
    EXPECT_EQ(std::vector<uint8_t>(bad.Data(), bad.Data() + bad.Size()), before);
  }

  TPacket empty = TPacket::WithMagic(MAGIC_COMMAND, 24);
  empty.SealChecksum();
  EXPECT_TRUE(empty.IsValid()) << "a command with an empty payload";

  TPacket ping = TPacket::WithMagic(MAGIC_MAINTENANCE, 20);
  ping.MaintenanceHeader().SetType(MAINT_PING);
  ping.MaintenanceHeader().SetSequence(5);
  ping.SealChecksum();
  EXPECT_TRUE(ping.IsValid());
  ping.Data()[12] = 6;
  EXPECT_FALSE(ping.IsValid());

  // Voice packets are left as they are by sealing.
  TPacket voice = Raw({0xF2, 0xBE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 16);
  const std::vector<uint8_t> before(voice.Data(), voice.Data() + 16);
  voice.SealChecksum();
  EXPECT_EQ(std::vector<uint8_t>(voice.Data(), voice.Data() + 16), before);
  EXPECT_TRUE(voice.IsValid());
}

TEST(Packet, HeaderFieldsAndAssign) {
  TPacket v = TPacket::WithMagic(MAGIC_VOICES2C, 30);
  auto h = v.VoiceS2CHeader();
  h.SetTarget(2);
  h.SetPassThrough1(0x7F);
  h.SetConnectionID(1);
  h.SetPlayerID(2);
  h.SetVoiceCounter(0xFFFF);
  h.SetPassThrough2(0x1234);
  h.SetSenderPlayerID(0x01020304);
  h.SetSenderCounter(9);
  const std::vector<uint8_t> expected = {0xF3, 0xBE, 2,    0x7F, 1,    0, 0, 0, 2, 0, 0,
                                         0,    0xFF, 0xFF, 0x34, 0x12, 4, 3, 2, 1, 9, 0};
  EXPECT_EQ(std::vector<uint8_t>(v.Data(), v.Data() + 22), expected);

  v.SetPeer("10.1.2.3", 8767);
  TPacket copy;
  copy.Assign(v);
  EXPECT_EQ(copy.Size(), 30u);
  EXPECT_EQ(copy.PeerIP, "10.1.2.3");
  EXPECT_EQ(copy.PeerPort, 8767);
  EXPECT_EQ(std::memcmp(copy.Data(), v.Data(), 30), 0);
}

}  // namespace
}  // namespace vx
