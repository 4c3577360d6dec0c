// File contents: a fixed pool of 64-KiB data slots and, per node, a chunk chain
// that maps chunk c of the file (bytes c * SLOT_CAP on) to the slot holding it.
// Slot 0 is reserved, so an offset of 0 into the pool means "no chunk".
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, DATA_SLOT_CAP * SLOT_CAP> node_data;
std::array<uint8_t, DATA_SLOT_CAP> dataslot_used;

static_assert(CHAIN_LEN <= DATA_SLOT_CAP, "a chain entry is a slot number");
static_assert(DATA_SLOT_CAP <= INT32_MAX, "slot numbers fit the signed chain entries");

// Offset in node_data of the slot holding chunk `chunk` of node, or 0 when it
// has none. With allocate, a hole gets the lowest free slot above 0, zeroed so
// that no byte of a file that held it before can be read through this one; 0
// (nothing changed) when no slot is free or the chunk is past the chain.
uint64_t node_get_chunk(int64_t node, uint64_t chunk, int32_t allocate) {
    if (chunk >= CHAIN_LEN) return 0;
    int32_t slot = node_slot_chain[node][chunk];
    if (slot >= 0) return static_cast<uint64_t>(slot) * SLOT_CAP;
    if (allocate == 0) return 0;
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) {
        if (dataslot_used[s] != 0) continue;
        dataslot_used[s] = 1;
        node_slot_chain[node][chunk] = static_cast<int32_t>(s);
        if (chunk + 1 > node_chain_len[node]) node_chain_len[node] = chunk + 1;
        uint64_t off = s * SLOT_CAP;
        for (uint64_t i = 0; i < SLOT_CAP; i++) node_data[off + i] = 0;
        return off;
    }
    return 0;
}

// Gives every slot of the node's chain back to the pool and empties the chain.
// The node's size is left to the caller (truncating open, remove).
void node_release_chain(int64_t node) {
    if (node_chain_len[node] == 0) return;
    for (uint64_t c = 0; c < CHAIN_LEN; c++) {
        int32_t slot = node_slot_chain[node][c];
        if (slot < 0) continue;
        dataslot_used[static_cast<uint64_t>(slot)] = 0;
        node_slot_chain[node][c] = -1;
    }
    node_chain_len[node] = 0;
}

// Copies n bytes from src to dst; the areas must not overlap. The compiler's
// memcpy moves them in the widest steps the machine has.
void bcopy(void* dst, const void* src, uint64_t n) {
    if (n != 0) __builtin_memcpy(dst, src, n);  // a null pointer is fine with nothing to copy
}

}  // namespace tolvane
