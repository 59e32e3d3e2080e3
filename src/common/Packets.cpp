#include "common/Packets.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "common/fcrc.h"

namespace vx {

// ---------------------------------------------------------------------------
// TPacketBytes

void TPacketBytes::reserve(size_t n) {
  if (n <= capacity()) return;
  auto bigger = std::make_unique_for_overwrite<uint8_t[]>(n);
  if (Count) std::memcpy(bigger.get(), data(), Count);
  Heap = std::move(bigger);
  HeapCapacity = n;
}

void TPacketBytes::resize(size_t n) {
  if (n > capacity()) reserve(n);
  if (n > Count) std::memset(data() + Count, 0, n - Count);
  Count = n;
}

void TPacketBytes::assign(const uint8_t* bytes, size_t n) {
  Count = 0;
  reserve(n);
  if (n) std::memmove(data(), bytes, n);
  Count = n;
}

void TPacketBytes::take(TPacketBytes& other) noexcept {
  if (other.Heap) {
    Heap = std::move(other.Heap);
    HeapCapacity = other.HeapCapacity;
  } else {
    // Inline bytes are copied; a heap block of this one is kept for reuse.
    if (Heap && HeapCapacity < other.Count) Heap.reset();
    if (other.Count) std::memcpy(data(), other.data(), other.Count);
  }
  Count = other.Count;
  other.Count = 0;
  other.HeapCapacity = 0;
}

// ---------------------------------------------------------------------------
// TPacket

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool ReusePackets = false;  // every packet its own block, for the checker
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool ReusePackets = false;
#else
constexpr bool ReusePackets = true;
#endif
#else
constexpr bool ReusePackets = true;
#endif

// Freed packet objects of one thread, chained through their first bytes,
// at most Limit of them. Trivially destructible, so that packets freed late
// in the thread's exit still find it; the cleaner returns the blocks to the
// heap when the thread ends and closes the list.
struct TFreePackets {
  static constexpr size_t Limit = 1024;
  void* Head = nullptr;
  size_t Count = 0;
  bool Closed = false;
};
thread_local TFreePackets FreePackets;

struct TFreePacketsCleaner {
  void Arm() {}
  ~TFreePacketsCleaner() {
    FreePackets.Closed = true;
    while (void* b = FreePackets.Head) {
      FreePackets.Head = *static_cast<void**>(b);
      ::operator delete(b);
    }
    FreePackets.Count = 0;
  }
};
thread_local TFreePacketsCleaner FreePacketsCleaner;

}  // namespace

void* TPacket::operator new(size_t size) {
  if (ReusePackets && size == sizeof(TPacket) && FreePackets.Head != nullptr) {
    void* b = FreePackets.Head;
    FreePackets.Head = *static_cast<void**>(b);
    --FreePackets.Count;
    return b;
  }
  return ::operator new(size);
}

void TPacket::operator delete(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (ReusePackets && size == sizeof(TPacket) && !FreePackets.Closed &&
      FreePackets.Count < TFreePackets::Limit) {
    FreePacketsCleaner.Arm();
    *static_cast<void**>(block) = FreePackets.Head;
    FreePackets.Head = block;
    ++FreePackets.Count;
    return;
  }
  ::operator delete(block);
}

TPacket::TPacket(const uint8_t* data, size_t size) {
  Append(data, size);
}

TPacket TPacket::WithMagic(uint16_t magic, size_t size) {
  TPacket p(size < 2 ? 2 : size);
  PutLE16(p.Data(), magic);
  return p;
}

void TPacket::Resize(size_t size) {
  if (size > Bytes.capacity()) {
    // A packet built at its final size takes just that; one that grows by
    // several writes grows in steps, so that not every write reallocates.
    Bytes.reserve(Bytes.empty() ? size : (size + GrowStep - 1) / GrowStep * GrowStep);
  }
  Bytes.resize(size);
}

void TPacket::Append(const void* data, size_t size) {
  const size_t old = Bytes.size();
  Resize(old + size);
  if (size) std::memcpy(Bytes.data() + old, data, size);
}

void TPacket::Assign(const TPacket& source) {
  if (this == &source) return;
  Bytes.clear();
  Append(source.Data(), source.Size());
  PeerAddress = source.PeerAddress;
  PeerPort = source.PeerPort;
}

void TPacket::SetPeer(const std::string& ip, uint16_t port) {
  uint32_t address = 0;
  ParseIPv4(ip, address);
  SetPeer(address, port);
}

std::string IPv4Text(uint32_t address) {
  // Written by hand: logins and the connection info ask for it.
  const uint32_t a = ntohl(address);
  char text[INET_ADDRSTRLEN];
  size_t n = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned part = (a >> shift) & 0xFFu;
    if (part >= 100) text[n++] = char('0' + part / 100);
    if (part >= 10) text[n++] = char('0' + part / 10 % 10);
    text[n++] = char('0' + part % 10);
    if (shift > 0) text[n++] = '.';
  }
  return std::string(text, n);
}

bool ParseIPv4(const std::string& text, uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

TPacketClass TPacket::Class() const {
  if (IsCommand()) return TPacketClass::Command;
  if (IsAck()) return TPacketClass::Ack;
  if (IsVoiceC2S()) return TPacketClass::VoiceC2S;
  if (IsVoiceS2C()) return TPacketClass::VoiceS2C;
  if (IsMaintenance()) return TPacketClass::Maintenance;
  return TPacketClass::None;
}

TCommandHeader TPacket::CommandHeader() {
  if (!IsCommand()) throw std::logic_error("Udp packet is not a COMMAND packet");
  return TCommandHeader(Data());
}

TAckHeader TPacket::AckHeader() {
  if (!IsAck()) throw std::logic_error("Udp packet is not a ACK packet");
  return TAckHeader(Data());
}

TVoiceC2SHeader TPacket::VoiceC2SHeader() {
  if (!IsVoiceC2S()) throw std::logic_error("Udp packet is not a VOICEC2S packet");
  return TVoiceC2SHeader(Data());
}

TVoiceS2CHeader TPacket::VoiceS2CHeader() {
  if (!IsVoiceS2C()) throw std::logic_error("Udp packet is not a VOICES2C packet");
  return TVoiceS2CHeader(Data());
}

TMaintenanceHeader TPacket::MaintenanceHeader() {
  if (!IsMaintenance()) throw std::logic_error("Udp packet is not a MAINTENANCE packet");
  return TMaintenanceHeader(Data());
}

uint32_t TPacket::ConnectionID() const {
  if (Class() == TPacketClass::None) throw EPacket("Invalid Packet");
  return GetLE32(Data() + 4);
}

uint32_t TPacket::PlayerID() const {
  if (Class() == TPacketClass::None) throw EPacket("Invalid Packet");
  return GetLE32(Data() + 8);
}

uint32_t PacketChecksum(const uint8_t* data, size_t size, size_t checksumOffset) {
  if (size > MaxCrcInput) return 0xFFFFFFFFu;
  static constexpr uint8_t zeros[4] = {0, 0, 0, 0};
  uint32_t crc = Crc32Update(0, data, checksumOffset);
  crc = Crc32Update(crc, zeros, 4);
  return Crc32Update(crc, data + checksumOffset + 4, size - checksumOffset - 4);
}

void TPacket::SealChecksum() {
  switch (Class()) {
    case TPacketClass::Command:
      PutLE32(Data() + CommandChecksumOffset,
              PacketChecksum(Data(), Size(), CommandChecksumOffset));
      break;
    case TPacketClass::Maintenance:
      PutLE32(Data() + MaintenanceChecksumOffset,
              PacketChecksum(Data(), Size(), MaintenanceChecksumOffset));
      break;
    case TPacketClass::None:
      throw EPacket("Invalid Packet");
    default:
      break;
  }
}

bool TPacket::IsValid() const {
  switch (Class()) {
    case TPacketClass::Command:
      // A packet longer than the CRC routine takes yields 0xFFFFFFFF, which
      // no stored checksum is allowed to match.
      return Size() <= MaxCrcInput && PacketChecksum(Data(), Size(), CommandChecksumOffset) ==
                                          GetLE32(Data() + CommandChecksumOffset);
    case TPacketClass::Maintenance:
      return Size() <= MaxCrcInput && PacketChecksum(Data(), Size(), MaintenanceChecksumOffset) ==
                                          GetLE32(Data() + MaintenanceChecksumOffset);
    case TPacketClass::None:
      return false;
    default:
      return true;
  }
}

}  // namespace vx
