#include <gtest/gtest.h>
TEST(Binary, Exists) { EXPECT_TRUE(true); }
