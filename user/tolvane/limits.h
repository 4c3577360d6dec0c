// tolvane's capacities: every limit of the system follows from these. Tools
// that report or respect the server's limits (tlnc df, tlnmount's statfs)
// include this alone, not the server's tables.
#pragma once

#include <cstdint>

namespace tolvane {

inline constexpr uint64_t NODE_CAP = 384;
inline constexpr uint64_t NAME_CAP = 64;
inline constexpr uint64_t CHAIN_LEN = 64;
inline constexpr uint64_t SLOT_CAP = 65536;
inline constexpr uint64_t DATA_SLOT_CAP = 64;
inline constexpr uint64_t FILE_CAP = CHAIN_LEN * SLOT_CAP;
inline constexpr uint64_t FID_CAP = 64;
inline constexpr uint64_t SRV_BUF_CAP = 131072;
inline constexpr uint64_t SNAP_CAP = 5242880;
static_assert(FILE_CAP == 4194304);

// The image's length with no file contents: its header and per-node tables.
inline constexpr uint64_t SNAP_FIXED_LEN = 8 + NODE_CAP * 37 + NODE_CAP * NAME_CAP;

}  // namespace tolvane
