// CRC-32 (IEEE 802.3: reflected, polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement), table-driven.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

// Longest input the routine accepts; longer input yields 0xFFFFFFFF.
constexpr size_t MaxCrcInput = 65521;

uint32_t Crc32(const uint8_t* data, size_t size);

// Continues a running CRC (pass the previous result; start with 0).
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t size);

}  // namespace vx
