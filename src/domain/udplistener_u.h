// The protocol dispatch of a virtual server: takes one event at a time from
// the connection buffer (on the event loop the server lives on), finds the
// player it belongs to and runs the handler that the event and the command
// code select, with the player list and then the channel tree locked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/Packets.h"
#include "common/WireLayout.h"
#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"
#include "transport/PacketBuffers.h"
#include "transport/ServerTransport.h"

namespace vx {

class TServerObject;

// The players of one virtual server. The listener holds the lock for each
// whole event; other threads that read or change players take it too.
class TLockedPlayerList {
 public:
  std::mutex Lock;
  TPlayerList Items;

  // Anyone who adds or removes a player or changes a player's channel calls
  // this (the listener does so after every event but voice).
  void Changed() { ++Generation; }
  // The players of a channel in list order, and a player by id, from an
  // index rebuilt after a change; the voice path uses them per frame.
  const std::vector<TClientObject*>& InChannel(int32_t channelID);
  TClientObject* ById(uint32_t playerID);

 private:
  void Refresh();
  uint64_t Generation = 0;
  uint64_t IndexGeneration = ~uint64_t(0);
  std::unordered_map<int32_t, std::vector<TClientObject*>> ByChannel;
  // Ids below DenseIDs (they count up from 1) in a table, others in a map.
  static constexpr uint32_t DenseIDs = 1u << 16;
  std::vector<TClientObject*> DenseByID;
  std::unordered_map<uint32_t, TClientObject*> ByPlayerID;
};

// CMD_sc_ErrorPacket to the recipient, refusing the request of that code and
// sequence; the long form with the channel id answers a wrong channel
// password.
std::unique_ptr<TPacket> NewErrorPacket(const TClientObject& recipient, int16_t errorNumber,
                                        int16_t requestCode, uint32_t requestSequence,
                                        std::optional<int32_t> channelID = std::nullopt);

class TVXUDPListener final : public TEventSink {
 public:
  explicit TVXUDPListener(TServerObject& server);
  TVXUDPListener(const TVXUDPListener&) = delete;
  TVXUDPListener& operator=(const TVXUDPListener&) = delete;

  // The first player with this id, or null; id 0 always yields null.
  TClientObject* GetClientObject(uint32_t playerID) const;
  // The first player whose nickname equals the text with a-z folded to
  // capitals, or null; an empty text yields null.
  TClientObject* GetClientObject(std::string_view nickName) const;

  // Handles one event the buffer reported.
  void Handle(uint32_t playerID, TReceiveEvent event, std::unique_ptr<TPacket> packet) override;

  // Sends CMD_sc_ErrorPacket (NewErrorPacket) to the current player.
  void SendErrorPacket(int16_t errorNumber, int16_t requestCode, uint32_t requestSequence,
                       std::optional<int32_t> channelID = std::nullopt);
  // Writes the handler edge log line "SP: <port> <handler> Exception: <message>".
  void LogHandlerException(std::string_view handler, const std::exception& e) const;

  // The current event, valid during one iteration.
  uint32_t CurrentPlayerID = 0;
  TReceiveEvent CurrentEvent = TReceiveEvent::reShutdown;
  std::unique_ptr<TPacket> CurrentPacket;
  std::vector<std::unique_ptr<TClientObject>>* Clients = nullptr;
  TClientObject* CurrentClient = nullptr;
  bool DropClient = false;
  TServerObject& Server;

 private:
  void HandleEvent();
  void DispatchPacket();
  void RemoveCurrentClient(uint32_t reason);
};

}  // namespace vx
