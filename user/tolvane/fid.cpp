// The fid table: the client's fids, each mapped to a node with its open state.
// Parallel arrays indexed by slot; every search is lowest slot first.
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, FID_CAP> fid_used;
std::array<uint32_t, FID_CAP> fid_id;
std::array<int64_t, FID_CAP> fid_node;
std::array<uint8_t, FID_CAP> fid_open;
std::array<uint8_t, FID_CAP> fid_mode;
std::array<uint8_t, FID_CAP> fid_dirty;

// The slot of an established fid, or -1. Every number is an ordinary key,
// P9_NOFID included.
int64_t fid_lookup(uint32_t fid) {
    for (uint64_t s = 0; s < FID_CAP; s++) {
        if (fid_used[s] != 0 && fid_id[s] == fid) return static_cast<int64_t>(s);
    }
    return -1;
}

// Establishes fid on node in the lowest free slot, closed, mode 0, not dirty.
// Returns the slot, or -1 (nothing changed) when all are in use. Whether the
// number is already established is the caller's check.
int64_t fid_alloc(uint32_t fid, int64_t node) {
    for (uint64_t s = 0; s < FID_CAP; s++) {
        if (fid_used[s] != 0) continue;
        fid_used[s] = 1;
        fid_id[s] = fid;
        fid_node[s] = node;
        fid_open[s] = 0;
        fid_mode[s] = 0;
        fid_dirty[s] = 0;
        return static_cast<int64_t>(s);
    }
    return -1;
}

// Releases a slot that fid_lookup returned.
void fid_free(int64_t slot) {
    fid_used[slot] = 0;
    fid_open[slot] = 0;
    fid_dirty[slot] = 0;
}

}  // namespace tolvane
