#include "common/Packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

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

// Bytes live inside the packet up to 128 and on the heap beyond; every way
// of filling, copying and moving keeps them, new bytes are zero, and a
// packet built at its final size takes just that while one that grows by
// appends grows in steps of 1024.
TEST(Packet, BytesInsideAndOnTheHeap) {
  std::vector<uint8_t> pattern(3000);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
  for (size_t size : {size_t(0), size_t(1), size_t(127), size_t(128), size_t(129), size_t(2500)}) {
    SCOPED_TRACE(size);
    TPacket p(pattern.data(), size);
    ASSERT_EQ(p.Size(), size);
    EXPECT_EQ(0, std::memcmp(p.Data(), pattern.data(), size));
    p.SetPeer("10.0.0.1", 7);
    TPacket copy = p;
    TPacket moved = std::move(p);
    EXPECT_EQ(p.Size(), 0u);
    for (const TPacket* q : {&copy, &moved}) {
      ASSERT_EQ(q->Size(), size);
      EXPECT_EQ(0, std::memcmp(q->Data(), pattern.data(), size));
      EXPECT_EQ(q->PeerIP(), "10.0.0.1");
    }
    TPacket assigned(pattern.data() + 1, 300);  // heap first, then given small or large bytes
    assigned = moved;
    ASSERT_EQ(assigned.Size(), size);
    EXPECT_EQ(0, std::memcmp(assigned.Data(), pattern.data(), size));
    TPacket target(pattern.data(), 200);
    target = std::move(copy);
    ASSERT_EQ(target.Size(), size);
    EXPECT_EQ(0, std::memcmp(target.Data(), pattern.data(), size));
    target.Resize(size + 140);
    for (size_t i = size; i < size + 140; ++i) ASSERT_EQ(target.Data()[i], 0) << i;
    EXPECT_EQ(0, std::memcmp(target.Data(), pattern.data(), size));
  }
  TPacket grown;
  for (size_t i = 0; i < 1500; i += 100) grown.Append(pattern.data() + i, 100);
  ASSERT_EQ(grown.Size(), 1500u);
  EXPECT_EQ(0, std::memcmp(grown.Data(), pattern.data(), 1500));
  TPacketBytes bytes;
  bytes.resize(100);
  EXPECT_EQ(bytes.capacity(), TPacketBytes::InlineSize);
  bytes.reserve(5000);
  EXPECT_EQ(bytes.capacity(), 5000u);
  EXPECT_EQ(bytes.size(), 100u);
  TPacket appended(pattern.data(), 100);
  appended.Append(pattern.data(), 600);
  EXPECT_EQ(appended.Size(), 700u);
  EXPECT_EQ(0, std::memcmp(appended.Data() + 100, pattern.data(), 600));
}

// Freed packets are reused by the thread that freed them; a packet made on
// one thread and freed on another is fine both ways.
TEST(Packet, ObjectsAreReusedSafelyAcrossThreads) {
  std::vector<std::unique_ptr<TPacket>> made;
  for (int i = 0; i < 3000; ++i) {
    made.push_back(std::make_unique<TPacket>(size_t(20 + i % 200)));
    made.back()->Data()[0] = uint8_t(i);
  }
  std::thread other([&] {
    for (int i = 0; i < 3000; i += 2) made[size_t(i)].reset();
    std::vector<std::unique_ptr<TPacket>> mine;
    for (int i = 0; i < 2000; ++i) mine.push_back(std::make_unique<TPacket>(size_t(30)));
    for (size_t i = 0; i < mine.size(); i += 2) made[i] = std::move(mine[i]);
  });
  other.join();
  for (int i = 0; i < 3000; ++i) {
    if (i % 2 == 1) {
      EXPECT_EQ(made[size_t(i)]->Data()[0], uint8_t(i));
    } else if (i < 2000) {
      EXPECT_EQ(made[size_t(i)]->Size(), 30u);
    }
  }
  made.clear();
  auto again = std::make_unique<TPacket>(size_t(10));
  EXPECT_EQ(again->Size(), 10u);
  EXPECT_EQ(again->Data()[9], 0);
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
  EXPECT_EQ(copy.PeerIP(), "10.1.2.3");
  EXPECT_EQ(copy.PeerPort, 8767);
  EXPECT_EQ(std::memcmp(copy.Data(), v.Data(), 30), 0);
}

}  // namespace
}  // namespace vx
