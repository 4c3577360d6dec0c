// File contents: a fixed pool of 64-KiB data slots and, per node, a chunk chain
// that maps chunk c of the file (bytes c * SLOT_CAP on) to the slot holding it.
// Slot 0 is reserved, so an offset of 0 into the pool means "no chunk".
//
// A slot that changes hands is cleared, so no byte of a removed or truncated
// file can be read through another one. Clearing is bounded by the slot's
// extent: every byte of a slot at or past its extent is zero (the pool starts
// zeroed, with every extent 0), and the extent grows only by what is written
// through the two allocating lookups below, so a slot freed after a 100-byte
// file costs 100 bytes of clearing when it is taken again, not 64 KiB.
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, DATA_SLOT_CAP * SLOT_CAP> node_data;
std::array<uint8_t, DATA_SLOT_CAP> dataslot_used;
std::array<uint32_t, DATA_SLOT_CAP> dataslot_extent;

static_assert(CHAIN_LEN <= DATA_SLOT_CAP, "a chain entry is a slot number");
static_assert(DATA_SLOT_CAP <= INT32_MAX, "slot numbers fit the signed chain entries");
static_assert(SLOT_CAP <= UINT32_MAX, "an extent is a byte count within one slot");

// Sets bytes [from, to) of the slot at byte offset off of node_data to zero.
static void slot_zero(uint64_t off, uint64_t from, uint64_t to) {
    if (from < to) __builtin_memset(node_data.data() + off + from, 0, to - from);
}

// Gives chunk `chunk` of node the lowest free slot above 0 and returns that
// slot, or 0 (nothing changed) when none is free. The slot's bytes are left
// as they are.
static uint64_t take_slot(int64_t node, uint64_t chunk) {
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) {
        if (dataslot_used[s] != 0) continue;
        dataslot_used[s] = 1;
        node_slot_chain[node][chunk] = static_cast<int32_t>(s);
        if (chunk + 1 > node_chain_len[node]) node_chain_len[node] = chunk + 1;
        return s;
    }
    return 0;
}

// Offset in node_data of the slot holding chunk `chunk` of node, or 0 when it
// has none. With allocate, a hole gets the lowest free slot above 0, zeroed so
// that no byte of a file that held it before can be read through this one; 0
// (nothing changed) when no slot is free or the chunk is past the chain.
// Only the slot's extent needs clearing: the rest is zero already. The caller
// may write anywhere in the slot it gets, so its extent becomes the whole slot.
uint64_t node_get_chunk(int64_t node, uint64_t chunk, int32_t allocate) {
    if (chunk >= CHAIN_LEN) return 0;
    int32_t slot = node_slot_chain[node][chunk];
    if (slot >= 0) {
        if (allocate != 0) dataslot_extent[static_cast<uint64_t>(slot)] = SLOT_CAP;
        return static_cast<uint64_t>(slot) * SLOT_CAP;
    }
    if (allocate == 0) return 0;
    uint64_t s = take_slot(node, chunk);
    if (s == 0) return 0;
    slot_zero(s * SLOT_CAP, 0, dataslot_extent[s]);
    dataslot_extent[s] = SLOT_CAP;
    return s * SLOT_CAP;
}

// The write handler's lookup-or-allocate: like node_get_chunk with allocate,
// for a caller that is about to store bytes [from, to) of the chunk
// (from < to <= SLOT_CAP). A slot taken now is cleared only outside that
// range and below its extent, the only bytes that could still hold another
// file's data.
uint64_t node_write_chunk(int64_t node, uint64_t chunk, uint64_t from, uint64_t to) {
    if (chunk >= CHAIN_LEN) return 0;
    int32_t slot = node_slot_chain[node][chunk];
    if (slot >= 0) {
        auto s = static_cast<uint64_t>(slot);
        if (to > dataslot_extent[s]) dataslot_extent[s] = static_cast<uint32_t>(to);
        return s * SLOT_CAP;
    }
    uint64_t s = take_slot(node, chunk);
    if (s == 0) return 0;
    uint64_t extent = dataslot_extent[s];
    slot_zero(s * SLOT_CAP, 0, from < extent ? from : extent);
    slot_zero(s * SLOT_CAP, to, extent);
    dataslot_extent[s] = static_cast<uint32_t>(to);
    return s * SLOT_CAP;
}

// Gives every slot of the node's chain back to the pool and empties the chain.
// The node's size is left to the caller (truncating open, remove); with an
// empty chain it no longer counts towards the image.
void node_release_chain(int64_t node) {
    if (node_chain_len[node] == 0) return;
    snap_contents -= node_image_bytes(node);
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
