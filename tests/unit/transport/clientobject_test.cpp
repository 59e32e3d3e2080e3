#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "common/ByteOrder.h"
#include "domain/clientobject_u.h"

namespace vx {

TEST(ClientObject, FreshRecordIsEmpty) {
  const TClientObject c;
  EXPECT_FALSE(c.LoginComplete);
  EXPECT_FALSE(c.LeftNotified);
  EXPECT_EQ(c.PlayerID, 0u);
  EXPECT_EQ(c.ChannelID, 0);
  EXPECT_TRUE(c.NickName.empty());
  EXPECT_EQ(c.Created.Value, 0.0);
  EXPECT_EQ(c.Logins, 0);
}

TEST(ClientObject, PlayerEntryImage) {
  TClientObject c;
  c.PlayerID = 0x01020304;
  c.ChannelID = -2;
  c.ChannelPrivileges = 0x0506;
  c.Priviliges = 0x0708;
  c.PlayerFlags = 0x090A0B0C;
  c.NickName = "Guest";
  c.ConnectionID = 0xDEADBEEF;  // not part of the image

  std::array<uint8_t, PlayerEntrySize + 1> buf;
  buf.fill(0xEE);
  c.WritePlayerEntry(buf.data());
  EXPECT_EQ(GetLE32(&buf[0]), 0x01020304u);
  EXPECT_EQ(GetLE32s(&buf[4]), -2);
  EXPECT_EQ(GetLE16(&buf[8]), 0x0506);
  EXPECT_EQ(GetLE16(&buf[10]), 0x0708);
  EXPECT_EQ(GetLE32(&buf[12]), 0x090A0B0Cu);
  EXPECT_EQ(buf[16], 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buf[17]), 5), "Guest");
  for (size_t i = 22; i < 46; ++i) EXPECT_EQ(buf[i], 0) << i;  // 24 filler bytes
  EXPECT_EQ(buf[46], 0xEE);                                    // exactly 46 bytes written

  c.NickName = std::string(35, 'N');
  c.WritePlayerEntry(buf.data());
  EXPECT_EQ(buf[16], 29);
  EXPECT_EQ(buf[45], 'N');
  EXPECT_EQ(buf[46], 0xEE);
}

}  // namespace vx
