#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "domain/ServerState.h"

namespace vx {
namespace {

TClientObject* AddPlayer(TLockedPlayerList& list, uint32_t id, int32_t channel)
    VX_REQUIRES(list.Lock) {
  auto c = std::make_unique<TClientObject>();
  c->PlayerID = id;
  c->ChannelID = channel;
  list.Items.push_back(std::move(c));
  list.Changed();
  return list.Items.back().get();
}

// The index answers as a pass over the list would: the first player with an
// id, the players of a channel in list order, and it follows changes.
TEST(LockedPlayerList, IndexFollowsTheList) {
  TLockedPlayerList list;
  TLockGuard<TMutex> held(list.Lock);
  TClientObject* a = AddPlayer(list, 1, 10);
  TClientObject* b = AddPlayer(list, 70000, 10);
  TClientObject* c = AddPlayer(list, 65535, 20);
  AddPlayer(list, 1, 20);  // a second player with id 1: the first one wins
  TClientObject* big = AddPlayer(list, 4000000000u, 10);
  AddPlayer(list, 70000, 30);
  EXPECT_EQ(list.ById(1), a);
  EXPECT_EQ(list.ById(70000), b);
  EXPECT_EQ(list.ById(65535), c);
  EXPECT_EQ(list.ById(4000000000u), big);
  EXPECT_EQ(list.ById(0), nullptr);
  EXPECT_EQ(list.ById(2), nullptr);
  EXPECT_EQ(list.ById(65536), nullptr);
  EXPECT_EQ(list.InChannel(10), (std::vector<TClientObject*>{a, b, big}));
  EXPECT_TRUE(list.InChannel(99).empty());

  list.Items.erase(list.Items.begin());  // a leaves
  c->ChannelID = 10;
  list.Changed();
  EXPECT_EQ(list.ById(1)->ChannelID, 20);
  EXPECT_EQ(list.InChannel(10), (std::vector<TClientObject*>{b, c, big}));
}

}  // namespace
}  // namespace vx
