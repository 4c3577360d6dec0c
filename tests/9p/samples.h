// One valid instance of every codec message (and one stat record), each built
// by its encoder from the field values below. The values use every byte
// position differently, so a field written in the wrong order or width shows
// up in the byte vectors and the round trips. Used by the codec tests and by
// codec_corpus, which writes them out as the fuzz target's seed corpus.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "9p/9p.h"
#include "bytes.h"

namespace codec_samples {

using Bytes = std::vector<uint8_t>;

inline constexpr uint16_t kTag = 0xA1B2;
inline constexpr uint16_t kOldtag = 0xC3D4;
inline constexpr uint32_t kFid = 0x04030201;
inline constexpr uint32_t kAfid = 0x14131211;
inline constexpr uint32_t kNewfid = 0x24232221;
inline constexpr uint32_t kMsize = 131072;
inline constexpr uint8_t kQtype = P9_QTDIR;
inline constexpr uint32_t kQvers = 0x35343332;
inline constexpr uint64_t kQpath = 0x4746454443424140;
inline constexpr uint32_t kIounit = 0x58575655;
inline constexpr uint8_t kMode = P9_ORDWR | P9_OTRUNC;
inline constexpr uint32_t kPerm = 0x800001A4;  // directory bit and 0644
inline constexpr uint64_t kOffset = 0x1122334455667788;
inline constexpr uint32_t kCount = 0x00002000;
inline constexpr std::string_view kVersion = "9P2000";
inline constexpr std::string_view kUname = "u1";
inline constexpr std::string_view kAname = "a22";
inline constexpr std::string_view kEname = "tolvane: unknown fid";
inline constexpr std::string_view kName = "etc";
inline constexpr std::string_view kData = "hello";
inline const std::vector<std::string> kWalkNames = {"var", "lib", ""};
inline constexpr uint16_t kWalkQids =
    2;  // qids i = 0, 1: type 0x80 - i, version kQvers + i, path kQpath + i

// Stat record values.
inline constexpr uint16_t kStype = 0x0102;
inline constexpr uint32_t kDev = 0x06050403;
inline constexpr uint32_t kSmode = 0x800001ED;  // directory bit and 0755
inline constexpr uint32_t kAtime = 0x65666768;
inline constexpr uint32_t kMtime = 0x75767778;
inline constexpr uint64_t kLength = 0x0000000100000002;
inline constexpr std::string_view kSname = "f";
inline constexpr std::string_view kSuid = "velmor";
inline constexpr std::string_view kSgid = "vg";
inline constexpr std::string_view kSmuid = "";

// Type 0 marks the stat record (no message has type 0).
struct Sample {
    std::string name;  // "Tversion", ..., "stat"
    uint8_t type;
    int32_t emitted;  // the encoder's result
    Bytes bytes;      // the encoded bytes (emitted of them)
};

// Every message type the codec encodes, in type order, then the stat record.
const std::vector<Sample>& all();
const Sample& get(std::string_view name);

// "13 00 00 00 65" -> bytes; spaces are ignored.
using tolvane_test::hex;

// String view of a decoded (pointer, length) pair.
inline std::string_view str(const uint8_t* p, uint64_t n) {
    return {reinterpret_cast<const char*>(p), static_cast<size_t>(n)};
}
inline const uint8_t* u8(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

}  // namespace codec_samples
