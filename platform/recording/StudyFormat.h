#pragma once
// Shared pieces of the study file formats: magic numbers, versions, storage
// schemas, error codes, CRC-32 and little-endian field access. Every format is
// documented byte by byte in docs/formats/study.md.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Crc32.h"
#include "platform/SkrivoExport.h"

namespace sk::rec {

// File magics (first four bytes of each binary study file).
constexpr char kErdMagic[4] = {'S', 'K', 'R', 'D'}; // raw data ".ERD"
constexpr char kEtcMagic[4] = {'S', 'K', 'T', 'C'}; // table of contents ".ETC"
constexpr char kStcMagic[4] = {'S', 'K', 'S', 'T'}; // segment table ".STC"
constexpr char kEntMagic[4] = {'S', 'K', 'N', 'T'}; // notes ".ENT"
constexpr char kEpoMagic[4] = {'S', 'K', 'E', 'P'}; // sleep staging ".EPO"
constexpr char kBlockMagic[4] = {'S', 'K', 'B', 'K'}; // compressed sample block (schema 2)
constexpr char kChannelBlockMagic[4] = {'S', 'K', 'C', 'B'}; // channel-major block (schema 3)

constexpr uint16_t kFormatVersion = 1;

// Storage schemas of the raw sample data (raw data header field "schema").
constexpr uint16_t kSchemaPlain = 1;      // 1 flag byte + N x int32 per sample
constexpr uint16_t kSchemaDeltaVarint = 2; // blocks of zigzag-varint deltas
constexpr uint16_t kSchemaChannelBlocks = 3; // channel-major blocks of bit-packed deltas

// Fixed sizes.
constexpr size_t kErdHeaderSize = 64;
constexpr size_t kEtcHeaderSize = 32;
constexpr size_t kTocEntrySize = 32;
constexpr size_t kStcHeaderSize = 48;
constexpr size_t kStcRecordSize = 544;
constexpr size_t kStcNameUnits = 256;
constexpr size_t kEntHeaderSize = 16;
constexpr size_t kEpoHeaderSize = 176;
constexpr size_t kEpoLabelUnits = 64;
constexpr size_t kBlockHeaderSize = 16;

// Limits a reader enforces on untrusted files.
constexpr int kMaxTocSamples = 32767;     // samples per TOC entry
constexpr int kMaxBlockSamples = 4096;    // samples per compressed block
constexpr int kMaxChannels = 544;         // channels per sample frame
constexpr int kMiniblockValues = 128;     // deltas per bit-packed miniblock (schema 3)

// Bytes of a schema-3 miniblock of `codes` codes (1..128) packed `width`
// bits wide: four lanes of 32-bit words, each lane as long as its longest
// needs (16 x width for a whole miniblock).
inline size_t MiniblockBytes(int width, int codes)
{
    return 16 * (((static_cast<size_t>(codes) + 3) / 4 * static_cast<size_t>(width) + 31) / 32);
}
constexpr uint32_t kMaxNoteTextUnits = 4096;
constexpr uint32_t kMaxNoteDataBytes = 16u << 20;
constexpr int64_t kMaxStudyFileBytes = 64ll << 20;

// HRESULT-style error codes carried by CEegFileException.
constexpr int32_t kErrFileNotFound = static_cast<int32_t>(0x80070002);
constexpr int32_t kErrAccessDenied = static_cast<int32_t>(0x80070005);
constexpr int32_t kErrInvalidData = static_cast<int32_t>(0x8007000D);
constexpr int32_t kErrHandleEof = static_cast<int32_t>(0x80070026);
constexpr int32_t kErrInvalidArg = static_cast<int32_t>(0x80070057);
constexpr int32_t kErrNotOpen = static_cast<int32_t>(0x80070006);
constexpr int32_t kErrWriteFault = static_cast<int32_t>(0x8007001D);

// Maps an errno value to an HRESULT-style code (0x80070000 | Windows-like code).
SKRIVO_API int32_t HResultFromErrno(int err);

// CRC-32 (IEEE 802.3, reflected, init and final xor 0xFFFFFFFF).
using sk::Crc32;

// Checksums are verified unless switched off. Only fuzz targets switch them
// off, so that mutated inputs reach the structure checks behind them.
SKRIVO_API bool ChecksumsEnforced();
SKRIVO_API void SetChecksumsEnforced(bool enforced);

// How a kind of binary study file starts: four magic bytes, u16 version and
// u16 header size at offsets 4 and 6, and the header's CRC-32 at crcOffset
// over the bytes before it. The texts name each way such a header is wrong.
struct FileHeaderKind {
    const char* magic;
    size_t headerSize;
    size_t crcOffset;
    const wchar_t* truncated;   // fewer bytes than a header
    const wchar_t* badMagic;
    const wchar_t* badVersion;  // version other than kFormatVersion
    bool versionShown;          // badVersion is followed by the version found
    const wchar_t* badSize;     // header size other than headerSize
    const wchar_t* badChecksum;
};

// Checks the fixed start of a header of which `available` bytes are at h
// (h may be null when none are). True when it passes; otherwise code and why
// tell the first fault, in the order truncation, magic, version, size,
// checksum (the checksum only while ChecksumsEnforced()).
SKRIVO_API bool CheckFileHeader(const uint8_t* h, size_t available, const FileHeaderKind& kind,
                                int32_t& code, std::wstring& why);

// Little-endian field access (the formats are little-endian on every host).
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) { return GetU32(p) | (static_cast<uint64_t>(GetU32(p + 4)) << 32); }
inline int16_t GetI16(const uint8_t* p) { return static_cast<int16_t>(GetU16(p)); }
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }
inline int64_t GetI64(const uint8_t* p) { return static_cast<int64_t>(GetU64(p)); }
inline double GetF64(const uint8_t* p) { uint64_t u = GetU64(p); double d; std::memcpy(&d, &u, 8); return d; }

inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutU32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
inline void PutU64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i)); }
inline void PutI16(uint8_t* p, int16_t v) { PutU16(p, static_cast<uint16_t>(v)); }
inline void PutI32(uint8_t* p, int32_t v) { PutU32(p, static_cast<uint32_t>(v)); }
inline void PutI64(uint8_t* p, int64_t v) { PutU64(p, static_cast<uint64_t>(v)); }
inline void PutF64(uint8_t* p, double d) { uint64_t u; std::memcpy(&u, &d, 8); PutU64(p, u); }

// Path conversion for the POSIX calls (UTF-8 bytes of the wide path).
SKRIVO_API std::string NarrowPath(const std::wstring& path);
// Writes bytes to "<path>.tmp<n>" then renames it over path. False (with a
// readable error) when the folder is not writable or the disk is full.
SKRIVO_API bool AtomicWriteFile(const std::wstring& path, const void* data, size_t len, std::wstring* error);

} // namespace sk::rec
