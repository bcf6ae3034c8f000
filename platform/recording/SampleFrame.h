#pragma once
// One multichannel sample as the recording-access layer delivers it. Frames lie
// back to back in a buffer, kFrameSize bytes apart, packed and little-endian:
//   offset 0  u16  header word copied from the raw data header by the writing loop
//   offset 2  u8   flags: bit 0 trigger event at this sample, bit 7 no data (gap/pad)
//   offset 3  i64  sample stamp
//   offset 11 544 x i32 one value per storage channel, in storage order
// Accessors use memcpy so frames at any offset are read without alignment faults.

#include <cstdint>
#include <cstring>

namespace frame {

constexpr int kFrameSize = 2187;
constexpr int kMaxChannels = 544;
constexpr int kHeaderOffset = 0;
constexpr int kFlagsOffset = 2;
constexpr int kStampOffset = 3;
constexpr int kValuesOffset = 11;

constexpr uint8_t kFlagTrigger = 0x01;
constexpr uint8_t kFlagNoData = 0x80;

// Raw values outside the amplifier's input range; never scaled.
constexpr int32_t kAboveRangeA = 0x7FFFC0;
constexpr int32_t kAboveRangeB = 0x7FFFFF;
constexpr int32_t kBelowRange = 0x7FFF80;

inline uint16_t Header(const uint8_t* f) { uint16_t v; std::memcpy(&v, f + kHeaderOffset, 2); return v; }
inline void SetHeader(uint8_t* f, uint16_t v) { std::memcpy(f + kHeaderOffset, &v, 2); }
inline uint8_t Flags(const uint8_t* f) { return f[kFlagsOffset]; }
inline void SetFlags(uint8_t* f, uint8_t v) { f[kFlagsOffset] = v; }
inline int64_t Stamp(const uint8_t* f) { int64_t v; std::memcpy(&v, f + kStampOffset, 8); return v; }
inline void SetStamp(uint8_t* f, int64_t v) { std::memcpy(f + kStampOffset, &v, 8); }
inline int32_t Value(const uint8_t* f, int ch) { int32_t v; std::memcpy(&v, f + kValuesOffset + 4 * ch, 4); return v; }
inline void SetValue(uint8_t* f, int ch, int32_t v) { std::memcpy(f + kValuesOffset + 4 * ch, &v, 4); }

} // namespace frame
