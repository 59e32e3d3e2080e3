#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "common/TextN.h"

namespace vx {

TEST(TextN, WritesLengthCharactersAndZeroFillerAndCutsLongValues) {
  std::array<uint8_t, 32> buf;
  buf.fill(0xAA);
  PutTextN(buf.data(), 29, "Guest");
  EXPECT_EQ(buf[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buf[1]), 5), "Guest");
  for (size_t i = 6; i < 30; ++i) EXPECT_EQ(buf[i], 0) << i;
  EXPECT_EQ(buf[30], 0xAA);  // nothing written behind the field
  EXPECT_EQ(GetTextN(buf.data(), 29), "Guest");

  const std::string longName(40, 'x');
  buf.fill(0xAA);
  PutTextN(buf.data(), 29, longName);
  EXPECT_EQ(buf[0], 29);
  EXPECT_EQ(buf[30], 0xAA);
  EXPECT_EQ(GetTextN(buf.data(), 29), std::string(29, 'x'));
  EXPECT_EQ(CutText(longName, 29), std::string(29, 'x'));
  EXPECT_EQ(CutText("abc", 29), "abc");
}

TEST(TextN, ClampsHostileLengthByte) {
  // A length byte of 200 in a text 29 field must not read past the 30 bytes.
  std::array<uint8_t, 30> field{};
  field[0] = 200;
  for (size_t i = 1; i < field.size(); ++i) field[i] = uint8_t('a' + i % 26);
  const std::string text = GetTextN(field.data(), 29);
  EXPECT_EQ(text.size(), 29u);
  EXPECT_EQ(text.front(), 'b');
  EXPECT_EQ(text.back(), char('a' + 29 % 26));
}

}  // namespace vx
