// The record of one player on a virtual server. The same record is the
// in-memory form of a registered user account, which uses only the account
// fields (LogInName, LogInPassWord, NickName, Priviliges, RegisteredBy,
// Logins, Created, LastChanged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/WireLayout.h"
#include "host/TimeTools.h"

namespace vx {

class TClientObject {
 public:
  // Width of the text fields (text 29).
  static constexpr size_t TextFieldSize = ShortTextSize;

  uint32_t ConnectionID = 0;       // random session key, unique on the server
  uint32_t PlayerID = 0;           // player id, from 1 upwards
  int32_t ChannelID = 0;           // channel the player is in
  uint16_t ChannelPrivileges = 0;  // privileges in the current channel
  uint16_t Priviliges = 0;         // server-wide privileges / stored account privileges
  uint32_t PlayerFlags = 0;        // flags the client reports
  std::string NickName;            // text 29, unique on the server
  std::string ClientName;          // client identification, stored as sent
  std::string ClientPlatform;      // client identification, stored as sent
  uint16_t ClientVersionMajor = 0;
  uint16_t ClientVersionMinor = 0;
  uint16_t ClientVersionRelease = 0;
  uint16_t ClientVersionBuild = 0;
  std::string LogInName;      // account name; empty for an anonymous player
  std::string LogInPassWord;  // password given at login, or the stored one
  std::string RegisteredBy;   // account: who registered it
  TDateTime Created;          // account: creation time
  TDateTime LastChanged;      // account: last change
  int32_t Logins = 0;         // account: login counter as stored
  bool LoginStep3Flag = false;
  bool LeftNotified = false;   // the player's own departure notice has been sent
  TDateTime LastActivity;      // time of the last packet received from the player
  TDateTime LoginTime;         // time of the login request
  bool LoginComplete = false;  // voice is relayed only once this is set
  std::string LoginAddress;    // source address of the login request

  // Writes the player entry that the player lists on the wire carry
  // (TPlayerEntryLayout, NickName cut when longer) into the PlayerEntrySize
  // bytes at dst.
  void WritePlayerEntry(uint8_t* dst) const;
};

}  // namespace vx
