// Little-endian reading and writing over byte spans. Every fixed wire or file
// layout goes through these helpers; no struct is ever cast onto raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

inline uint16_t GetLE16(const uint8_t* p) { return uint16_t(p[0] | (uint16_t(p[1]) << 8)); }
inline uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t GetLE64(const uint8_t* p) { return uint64_t(GetLE32(p)) | (uint64_t(GetLE32(p + 4)) << 32); }
inline int32_t GetLE32s(const uint8_t* p) { return int32_t(GetLE32(p)); }
inline double GetLEDouble(const uint8_t* p) {
  uint64_t bits = GetLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void PutLE64(uint8_t* p, uint64_t v) {
  PutLE32(p, uint32_t(v));
  PutLE32(p + 4, uint32_t(v >> 32));
}
inline void PutLEDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  PutLE64(p, bits);
}

// Appends little-endian values to a growing byte vector.
class TByteWriter {
 public:
  explicit TByteWriter(std::vector<uint8_t>& out) : Out(out) {}
  void U8(uint8_t v) { Out.push_back(v); }
  void U16(uint16_t v) {
    uint8_t b[2];
    PutLE16(b, v);
    Bytes(b, 2);
  }
  void U32(uint32_t v) {
    uint8_t b[4];
    PutLE32(b, v);
    Bytes(b, 4);
  }
  void I32(int32_t v) { U32(uint32_t(v)); }
  void Double(double d) {
    uint8_t b[8];
    PutLEDouble(b, d);
    Bytes(b, 8);
  }
  void Bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    Out.insert(Out.end(), p, p + size);
  }
  void Bytes(std::string_view s) { Bytes(s.data(), s.size()); }

 private:
  std::vector<uint8_t>& Out;
};

// Reads little-endian values from a byte span; every read is bounds-checked
// and reports failure instead of reading past the end.
class TByteReader {
 public:
  explicit TByteReader(std::span<const uint8_t> data) : Data(data) {}
  size_t Position() const { return Pos; }
  size_t Remaining() const { return Data.size() - Pos; }
  bool U8(uint8_t& v) {
    if (Remaining() < 1) return false;
    v = Data[Pos++];
    return true;
  }
  bool U16(uint16_t& v) {
    if (Remaining() < 2) return false;
    v = GetLE16(Data.data() + Pos);
    Pos += 2;
    return true;
  }
  bool U32(uint32_t& v) {
    if (Remaining() < 4) return false;
    v = GetLE32(Data.data() + Pos);
    Pos += 4;
    return true;
  }
  bool I32(int32_t& v) {
    uint32_t u;
    if (!U32(u)) return false;
    v = int32_t(u);
    return true;
  }
  bool Double(double& v) {
    if (Remaining() < 8) return false;
    v = GetLEDouble(Data.data() + Pos);
    Pos += 8;
    return true;
  }
  bool Bytes(void* out, size_t size) {
    if (Remaining() < size) return false;
    if (size) std::memcpy(out, Data.data() + Pos, size);
    Pos += size;
    return true;
  }
  bool String(std::string& out, size_t size) {
    if (Remaining() < size) return false;
    out.assign(reinterpret_cast<const char*>(Data.data() + Pos), size);
    Pos += size;
    return true;
  }
  bool Skip(size_t size) {
    if (Remaining() < size) return false;
    Pos += size;
    return true;
  }

 private:
  std::span<const uint8_t> Data;
  size_t Pos = 0;
};

}  // namespace vx
