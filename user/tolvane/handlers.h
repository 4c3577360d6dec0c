// tolvane: helpers shared by the file-operation handlers (attach, walk, open,
// create, read, write, clunk, stat, remove). Internal to the server.
#pragma once

#include <cstdint>

#include "tolvane/tolvane.h"

namespace tolvane {

// Bytes of one owner string ("velmor") in a stat record.
inline constexpr uint64_t IDENT_LEN = 6;
// A node's stat record is this many bytes plus its name: the fixed part, the
// name's count and three counted owner strings.
inline constexpr uint64_t STAT_REC_BASE = P9_STAT_FIXED + 2 + 3 * (2 + IDENT_LEN);
static_assert(STAT_REC_BASE == 67);

// Access part of an open mode byte: P9_OREAD, P9_OWRITE, P9_ORDWR or P9_OEXEC.
inline constexpr uint8_t ACCESS_MASK = 3;

// Qid path of node n: the row number plus one in the low 32 bits (rows are
// numbered from 0, paths from 1), the row's generation in the high 32 bits.
// A row never freed keeps path n + 1; a node created in a freed row gets a
// path no earlier node of the row had, as 9P requires of a re-created file.
[[nodiscard]] inline uint64_t node_qpath(int64_t n) {
    return static_cast<uint64_t>(node_gen[static_cast<uint64_t>(n)]) << 32 |
           (static_cast<uint64_t>(n) + 1);
}
static_assert(NODE_CAP < (uint64_t{1} << 32), "the row part of a qid path fits 32 bits");

// What a handler needs of the fid it acts through, besides a node that
// still exists.
enum class FidUse : uint8_t {
    any,    // Tstat: open or not
    walk,   // Twalk: not open
    open,   // Topen, Tcreate: not open yet
    read,   // Tread: open, and not for writing only
    write,  // Twrite: open for writing (P9_OWRITE or P9_ORDWR)
};

// The checks every handler that acts through a fid starts with, in this
// order: the fid is known, its node was not removed through another fid
// (fid_node -1), and its open state and mode suit the use. Returns nullptr
// and sets *slot when all hold; otherwise the Rerror text of the first that
// fails.
[[nodiscard]] const char* fid_check(uint32_t fid, FidUse use, int64_t* slot);

// Mode bits of node n's stat record: MODE_DIR for a directory, else MODE_FILE.
[[nodiscard]] inline uint32_t node_stat_mode(int64_t n) {
    return node_kind[static_cast<uint64_t>(n)] == KIND_DIR ? MODE_DIR : MODE_FILE;
}

// Appends node n's stat record at the cursor (the one record both Rstat and
// directory reads carry). Returns its length, STAT_REC_BASE + name length, or
// the cursor's negative code.
[[nodiscard]] int32_t emit_node_stat(p9_cursor* c, int64_t n);

}  // namespace tolvane
