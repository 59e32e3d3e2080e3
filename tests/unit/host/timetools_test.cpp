#include <gtest/gtest.h>
#include "host/TimeTools.h"
TEST(Placeholder, Builds) { EXPECT_EQ(vx::TDateTime::Encode({}).Value, 0.0); }
