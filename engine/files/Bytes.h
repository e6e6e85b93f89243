// Reading and writing integers and short strings in table-file byte order.
//
// Every multi-byte integer in a table file is little-endian; keys are
// big-endian so that they compare as plain bytes. Never cast a buffer to a
// struct: decode field by field through these helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ledra {

inline uint16_t GetLE16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t GetLE64(const uint8_t* p) {
  return uint64_t(GetLE32(p)) | (uint64_t(GetLE32(p + 4)) << 32);
}
inline int16_t GetLEInt16(const uint8_t* p) {
  return int16_t(GetLE16(p));
}
inline int32_t GetLEInt32(const uint8_t* p) {
  return int32_t(GetLE32(p));
}
inline int64_t GetLEInt64(const uint8_t* p) {
  return int64_t(GetLE64(p));
}
inline double GetLEDouble(const uint8_t* p) {
  uint64_t bits = GetLE64(p);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
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
inline void PutLEDouble(uint8_t* p, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutLE64(p, bits);
}

inline uint16_t GetBE16(const uint8_t* p) {
  return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t GetBE64(const uint8_t* p) {
  return (uint64_t(GetBE32(p)) << 32) | uint64_t(GetBE32(p + 4));
}
inline void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void PutBE64(uint8_t* p, uint64_t v) {
  PutBE32(p, uint32_t(v >> 32));
  PutBE32(p + 4, uint32_t(v));
}

// A short string: one length byte, then `capacity` character bytes of which
// the first `length` are the text. A length byte above the capacity is read
// as the capacity, so a damaged byte never reads past the field.
inline std::string GetShortString(const uint8_t* p, size_t capacity) {
  size_t length = p[0] < capacity ? p[0] : capacity;
  return std::string(reinterpret_cast<const char*>(p + 1), length);
}

// Writes the text cut to the capacity; the unused character bytes are zeroed.
inline void PutShortString(uint8_t* p, size_t capacity, std::string_view text) {
  size_t length = text.size() < capacity ? text.size() : capacity;
  if (length > 255) length = 255;
  p[0] = uint8_t(length);
  std::memcpy(p + 1, text.data(), length);
  std::memset(p + 1 + length, 0, capacity - length);
}

}  // namespace ledra
