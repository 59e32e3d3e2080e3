#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "transport/FIFOList.h"

namespace vx {
namespace {

struct TCounted {
  explicit TCounted(int v, int* alive) : Value(v), Alive(alive) { ++*Alive; }
  ~TCounted() { --*Alive; }
  int Value;
  int* Alive;
};

std::string CreateError(int32_t start, int32_t grow, int32_t max) {
  try {
    TFIFOList<int> list(start, grow, max);
  } catch (const EFIFOList& e) {
    return e.what();
  }
  return "";
}

TEST(FIFOList, CreateChecksInTheirOrder) {
  EXPECT_EQ(CreateError(16, 16, 15), "StartItems if more than MaxItems");
  EXPECT_EQ(CreateError(16, 16, 100001),
            "100001 Items is to much. A FifoList can contain 100.000 items");
  EXPECT_EQ(CreateError(16, 10001, 1024),
            "10001 Items is to much. A FifoList can grow with 10.000 items at a time max");
  EXPECT_EQ(CreateError(-1, 16, 1024), "Negative parameter is not allowed");
  EXPECT_EQ(CreateError(0, -1, 10), "Negative parameter is not allowed");
  // MaxItems below StartItems is checked before the negative rule.
  EXPECT_EQ(CreateError(16, 16, -1), "StartItems if more than MaxItems");
  EXPECT_EQ(CreateError(16, 16, 100000), "");
}

TEST(FIFOList, GrowsAtSeventeenthAddKeepsOrderAndStopsAtMax) {
  int alive = 0;
  {
    TFIFOList<TCounted> list(16, 16, 1024);
    EXPECT_EQ(list.Capacity(), 16);
    // Move the ring's start so that growth has to unwrap it.
    for (int i = 0; i < 5; ++i) list.Add(std::make_unique<TCounted>(-1, &alive));
    for (int i = 0; i < 5; ++i) list.Get();
    for (int i = 0; i < 16; ++i) list.Add(std::make_unique<TCounted>(i, &alive));
    EXPECT_EQ(list.Capacity(), 16);
    list.Add(std::make_unique<TCounted>(16, &alive));  // the 17th
    EXPECT_EQ(list.Capacity(), 32);
    EXPECT_EQ(list.Count(), 17);
    for (int i = 0; i < 17; ++i) {
      auto item = list.Get();
      ASSERT_TRUE(item);
      EXPECT_EQ(item->Value, i);
    }
    EXPECT_EQ(list.Get(), nullptr);
    EXPECT_EQ(list.Count(), 0);

    list.Add(nullptr);  // ignored
    EXPECT_EQ(list.Count(), 0);

    for (int i = 0; i < 1024; ++i) list.Add(std::make_unique<TCounted>(i, &alive));
    EXPECT_EQ(list.Capacity(), 1024);
    EXPECT_EQ(alive, 1024);
    try {
      list.Add(std::make_unique<TCounted>(1024, &alive));  // the 1025th
      ADD_FAILURE() << "no error";
    } catch (const EFIFOList& e) {
      EXPECT_STREQ(e.what(), "Can't allocate needed memory");
    }
    EXPECT_EQ(alive, 1024);  // the refused item was freed
    EXPECT_EQ(list.Count(), 1024);
    EXPECT_EQ(list.Get()->Value, 0);
  }
  EXPECT_EQ(alive, 0);  // the list frees what it still holds
}

TEST(FIFOList, GrowthIsCappedAtMaxItems) {
  TFIFOList<int> list(2, 16, 5);
  for (int i = 0; i < 5; ++i) list.Add(std::make_unique<int>(i));
  EXPECT_EQ(list.Capacity(), 5);
  EXPECT_THROW(list.Add(std::make_unique<int>(5)), EFIFOList);
  TFIFOList<int> empty(0, 0, 0);
  EXPECT_THROW(empty.Add(std::make_unique<int>(1)), EFIFOList);
}

}  // namespace
}  // namespace vx
