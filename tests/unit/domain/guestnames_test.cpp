#include "domain/guestnames_u.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace vx {
namespace {

void AddNick(TPlayerList& players, const std::string& name) {
  players.push_back(std::make_unique<TClientObject>());
  players.back()->NickName = name;
}

TPlayerList PlayersNamed(std::initializer_list<std::string> names) {
  TPlayerList players;
  for (const std::string& name : names) AddNick(players, name);
  return players;
}

TEST(GuestNamesTest, EmptyNamesBecomeNumberedGuests) {
  TPlayerList players;
  const std::string first = GetGuestPlayerName("", players);
  EXPECT_EQ(first, "Guest1");
  players = PlayersNamed({first});
  EXPECT_EQ(GetGuestPlayerName(" \t ", players), "Guest2");
  players = PlayersNamed({"GUEST2"});
  EXPECT_EQ(GetGuestPlayerName("", players), "Guest1") << "the smallest free number";
}

TEST(GuestNamesTest, TakenNamesGetTheSmallestFreeNumber) {
  const TPlayerList players = PlayersNamed({"Nick", "nick1", "NICK3", "Other"});
  EXPECT_EQ(GetGuestPlayerName("nICK", players), "nICK2");
  EXPECT_EQ(GetGuestPlayerName("Free", players), "Free");
  EXPECT_EQ(GetGuestPlayerName(" Nick", players), " Nick") << "compared as given";
}

TEST(GuestNamesTest, OverlongNumberedNamesFallBackToGuest) {
  const std::string name28(28, 'a');
  const std::string name29(29, 'b');
  TPlayerList players = PlayersNamed({name28, name29, "Guest1"});
  for (int k = 1; k <= 9; ++k) AddNick(players, name28 + std::to_string(k));
  // 28 characters and "10" make 30, which is still allowed.
  EXPECT_EQ(GetGuestPlayerName(name28, players), name28 + "10");
  EXPECT_EQ(GetGuestPlayerName(name29, players), name29 + "1");
  AddNick(players, name29 + "1");
  EXPECT_EQ(GetGuestPlayerName(name29, players), name29 + "2");
  const std::string name30(30, 'c');
  AddNick(players, name30);
  EXPECT_EQ(GetGuestPlayerName(name30, players), "Guest2");
}

}  // namespace
}  // namespace vx
