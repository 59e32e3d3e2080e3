// The five packet classes of the voice protocol, their header layouts, the
// checksum rules, and TPacket: one datagram in memory with its peer address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Exceptions.h"

namespace vx {

class EPacket : public Exception {
 public:
  using Exception::Exception;
};

// Class magics (first two bytes, little-endian).
constexpr uint16_t MAGIC_COMMAND = 0xBEF0;
constexpr uint16_t MAGIC_ACK = 0xBEF1;
constexpr uint16_t MAGIC_VOICEC2S = 0xBEF2;
constexpr uint16_t MAGIC_VOICES2C = 0xBEF3;
constexpr uint16_t MAGIC_MAINTENANCE = 0xBEF4;

// Minimum lengths (= header sizes).
constexpr size_t CommandHeaderSize = 24;
constexpr size_t AckPacketSize = 16;
constexpr size_t VoiceC2SHeaderSize = 16;
constexpr size_t VoiceS2CHeaderSize = 22;
constexpr size_t MaintenanceHeaderSize = 20;

constexpr size_t CommandChecksumOffset = 20;
constexpr size_t MaintenanceChecksumOffset = 16;

enum TMaintenanceType : uint16_t {
  MAINT_PING = 1,
  MAINT_PONG = 2,
  MAINT_LOGINREQUEST = 3,
  MAINT_LOGINREPLY = 4,
};

enum class TPacketClass { None, Command, Ack, VoiceC2S, VoiceS2C, Maintenance };

// Reads and writes little-endian fields at fixed offsets of a header.
class THeaderView {
 public:
  explicit THeaderView(uint8_t* bytes) : P(bytes) {}
  uint16_t Magic() const { return GetLE16(P); }
  uint32_t ConnectionID() const { return GetLE32(P + 4); }
  void SetConnectionID(uint32_t v) { PutLE32(P + 4, v); }
  uint32_t PlayerID() const { return GetLE32(P + 8); }
  void SetPlayerID(uint32_t v) { PutLE32(P + 8, v); }

 protected:
  uint8_t* P;
};

class TCommandHeader : public THeaderView {
 public:
  using THeaderView::THeaderView;
  int16_t Code() const { return int16_t(GetLE16(P + 2)); }
  void SetCode(int16_t v) { PutLE16(P + 2, uint16_t(v)); }
  uint32_t Sequence() const { return GetLE32(P + 12); }
  void SetSequence(uint32_t v) { PutLE32(P + 12, v); }
  uint16_t ResendCount() const { return GetLE16(P + 16); }
  void SetResendCount(uint16_t v) { PutLE16(P + 16, v); }
  uint16_t Reserved() const { return GetLE16(P + 18); }
  uint32_t Checksum() const { return GetLE32(P + 20); }
};

class TAckHeader : public THeaderView {
 public:
  using THeaderView::THeaderView;
  uint16_t ResendCount() const { return GetLE16(P + 2); }
  void SetResendCount(uint16_t v) { PutLE16(P + 2, v); }
  uint32_t Sequence() const { return GetLE32(P + 12); }
  void SetSequence(uint32_t v) { PutLE32(P + 12, v); }
};

class TVoiceC2SHeader : public THeaderView {
 public:
  using THeaderView::THeaderView;
  uint8_t Target() const { return P[2]; }
  void SetTarget(uint8_t v) { P[2] = v; }
  uint8_t PassThrough1() const { return P[3]; }
  void SetPassThrough1(uint8_t v) { P[3] = v; }
  uint16_t VoiceCounter() const { return GetLE16(P + 12); }
  void SetVoiceCounter(uint16_t v) { PutLE16(P + 12, v); }
  uint16_t PassThrough2() const { return GetLE16(P + 14); }
  void SetPassThrough2(uint16_t v) { PutLE16(P + 14, v); }
};

class TVoiceS2CHeader : public TVoiceC2SHeader {
 public:
  using TVoiceC2SHeader::TVoiceC2SHeader;
  uint32_t SenderPlayerID() const { return GetLE32(P + 16); }
  void SetSenderPlayerID(uint32_t v) { PutLE32(P + 16, v); }
  uint16_t SenderCounter() const { return GetLE16(P + 20); }
  void SetSenderCounter(uint16_t v) { PutLE16(P + 20, v); }
};

class TMaintenanceHeader : public THeaderView {
 public:
  using THeaderView::THeaderView;
  uint16_t Type() const { return GetLE16(P + 2); }
  void SetType(uint16_t v) { PutLE16(P + 2, v); }
  uint32_t Sequence() const { return GetLE32(P + 12); }
  void SetSequence(uint32_t v) { PutLE32(P + 12, v); }
  uint32_t Checksum() const { return GetLE32(P + 16); }
};

// An IPv4 address (network byte order) as dotted text, and back; ParseIPv4
// yields false for a text that is no dotted IPv4 address.
std::string IPv4Text(uint32_t address);
bool ParseIPv4(const std::string& text, uint32_t& address);

// The bytes of a packet: up to InlineSize of them inside the packet object
// (a relayed voice frame, a command, an ack or a ping need no allocation of
// their own), more on the heap.
class TPacketBytes {
 public:
  static constexpr size_t InlineSize = 128;

  TPacketBytes() = default;
  TPacketBytes(const TPacketBytes& other) { assign(other.data(), other.size()); }
  TPacketBytes& operator=(const TPacketBytes& other) {
    if (this != &other) assign(other.data(), other.size());
    return *this;
  }
  TPacketBytes(TPacketBytes&& other) noexcept { take(other); }
  TPacketBytes& operator=(TPacketBytes&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }
  ~TPacketBytes() = default;

  uint8_t* data() { return Heap ? Heap.get() : Inline; }
  const uint8_t* data() const { return Heap ? Heap.get() : Inline; }
  size_t size() const { return Count; }
  size_t capacity() const { return Heap ? HeapCapacity : InlineSize; }
  bool empty() const { return Count == 0; }
  // Room for n bytes in all, the content kept.
  void reserve(size_t n);
  // New bytes are zero.
  void resize(size_t n);
  void clear() { Count = 0; }
  void assign(const uint8_t* bytes, size_t n);

 private:
  void take(TPacketBytes& other) noexcept;

  std::unique_ptr<uint8_t[]> Heap;
  size_t HeapCapacity = 0;
  size_t Count = 0;
  uint8_t Inline[InlineSize];
};

// One UDP datagram in memory. A packet has one owner at a time
// (std::unique_ptr<TPacket>); passing it on moves it.
class TPacket {
 public:
  // Packets are made and freed for every datagram; freed packet objects are
  // kept per thread for reuse instead of going back to the heap.
  static void* operator new(size_t size);
  static void operator delete(void* block, size_t size) noexcept;

  // Growth step of the byte buffer.
  static constexpr size_t GrowStep = 1024;

  TPacket() = default;
  // A zero-filled packet of the given size.
  explicit TPacket(size_t size) { Resize(size); }
  // A packet holding a copy of the given bytes.
  TPacket(const uint8_t* data, size_t size);

  // A zero-filled packet of one class with its magic written.
  static TPacket WithMagic(uint16_t magic, size_t size);

  const uint8_t* Data() const { return Bytes.data(); }
  uint8_t* Data() { return Bytes.data(); }
  size_t Size() const { return Bytes.size(); }
  std::span<const uint8_t> View() const { return {Bytes.data(), Bytes.size()}; }
  // Changes the size; new bytes are zero. A packet that grows after its
  // first allocation grows in steps of 1024 bytes.
  void Resize(size_t size);
  void Append(const void* data, size_t size);

  // The peer's IPv4 address in network byte order, as the socket gives it,
  // and its port: kept in binary, since every datagram carries them.
  uint32_t PeerAddress = 0;
  uint16_t PeerPort = 0;
  // When the packet was queued for sending, in ms of the process clock
  // (wrapping); voice that waited too long is dropped.
  uint32_t QueuedMs = 0;
  // How long a received datagram lay in the socket's receive queue before
  // it was read, in ms (the kernel's arrival stamp against the read).
  uint32_t WaitedMs = 0;
  // A login request whose answer was held back until its moment (login
  // throttling): it is not held back again.
  bool AnswerReserved = false;
  void SetPeer(uint32_t address, uint16_t port) {
    PeerAddress = address;
    PeerPort = port;
  }
  // From dotted text; a text that is no IPv4 address gives 0.0.0.0.
  void SetPeer(const std::string& ip, uint16_t port);
  // The peer's address as dotted text.
  std::string PeerIP() const { return IPv4Text(PeerAddress); }
  // Copies bytes and peer.
  void Assign(const TPacket& source);

  uint16_t Magic() const { return Size() >= 2 ? GetLE16(Data()) : 0; }
  bool IsCommand() const { return Is(MAGIC_COMMAND, CommandHeaderSize); }
  bool IsAck() const { return Is(MAGIC_ACK, AckPacketSize); }
  bool IsVoiceC2S() const { return Is(MAGIC_VOICEC2S, VoiceC2SHeaderSize); }
  bool IsVoiceS2C() const { return Is(MAGIC_VOICES2C, VoiceS2CHeaderSize); }
  bool IsMaintenance() const { return Is(MAGIC_MAINTENANCE, MaintenanceHeaderSize); }
  // The first class that matches, in the order command, ack, voice c2s,
  // voice s2c, maintenance.
  TPacketClass Class() const;

  // Header views; each requires the packet to be of its class and raises a
  // logic error with the class's assertion text otherwise.
  TCommandHeader CommandHeader();
  TAckHeader AckHeader();
  TVoiceC2SHeader VoiceC2SHeader();
  TVoiceS2CHeader VoiceS2CHeader();
  TMaintenanceHeader MaintenanceHeader();

  // Offsets 4 and 8 of any class; EPacket "Invalid Packet" for no class.
  uint32_t ConnectionID() const;
  uint32_t PlayerID() const;

  // Writes the checksum of a command or maintenance packet; other classes
  // stay untouched; EPacket "Invalid Packet" for no class.
  void SealChecksum();
  // Class test plus, for command and maintenance packets, the checksum.
  // The bytes are never changed.
  bool IsValid() const;

 private:
  bool Is(uint16_t magic, size_t minimum) const { return Size() >= minimum && Magic() == magic; }
  TPacketBytes Bytes;
};

// CRC of a packet with the 4-byte field at checksumOffset taken as zero.
uint32_t PacketChecksum(const uint8_t* data, size_t size, size_t checksumOffset);

}  // namespace vx
