// The snapshot image "TLNIMG03": the whole tree as one little-endian byte
// string in snap_buf.
//
// Layout: the magic, then the seven row tables of the node table over all
// NODE_CAP rows (kinds, parents, name blocks, name lengths, sizes, versions,
// chain lengths; offsets in tolvane.h), then the contents of every file row
// whose chain length is not 0, in row order, each exactly node_size bytes with
// holes written as zeros. Chains, the slot map and fids are not stored; the
// reader rebuilds the chains.
//
// The reader gives a slot only to a chunk whose stored bytes are not all zero:
// a zero chunk reads as zeros whether it is a hole or a slot of zeros. So the
// slots a restore takes are never more than the live tree held when the image
// was written, and no image the writer produces is refused for want of slots.
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, SNAP_CAP> snap_buf;
uint64_t snap_contents;

uint64_t node_image_bytes(int64_t n) {
    return node_kind[n] == KIND_FILE && node_chain_len[n] != 0 ? node_size[n] : 0;
}

uint64_t snap_count_contents() {
    uint64_t total = 0;
    for (uint64_t n = 0; n < NODE_CAP; n++) total += node_image_bytes(static_cast<int64_t>(n));
    return total;
}

// The fixed part and one whole file fit in the buffer, so the writer's
// no-overflow test (size > SNAP_CAP - pos) never wraps.
static_assert(SNAP_FIXED <= SNAP_CAP);
static_assert(FILE_CAP <= SNAP_CAP - SNAP_FIXED);
// A chunk mask per row has one bit per chain entry.
static_assert(CHAIN_LEN == 64);
// Every row field position the reader computes stays inside the fixed part.
static_assert(SNAP_OFF_CHAINLEN + (NODE_CAP - 1) * 8 + 8 == SNAP_FIXED);

uint64_t snap_put_u64(uint64_t pos, uint64_t v) {
    uint8_t* p = snap_buf.data() + pos;
    for (uint64_t i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return pos + 8;
}

uint64_t snap_put_u32(uint64_t pos, uint32_t v) {
    uint8_t* p = snap_buf.data() + pos;
    for (uint64_t i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return pos + 4;
}

uint64_t snap_get_u64(uint64_t pos) {
    const uint8_t* p = snap_buf.data() + pos;
    uint64_t v = 0;
    for (uint64_t i = 0; i < 8; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

uint32_t snap_get_u32(uint64_t pos) {
    const uint8_t* p = snap_buf.data() + pos;
    uint32_t v = 0;
    for (uint64_t i = 0; i < 4; i++) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

static constexpr std::array<uint8_t, 8> snap_magic = {SNAP_MAGIC0, SNAP_MAGIC1, SNAP_MAGIC2,
                                                      SNAP_MAGIC3, SNAP_MAGIC4, SNAP_MAGIC5,
                                                      SNAP_MAGIC6, SNAP_MAGIC7};

// ---- Writing ----

static void snap_zero(uint8_t* dst, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) dst[i] = 0;
}

uint64_t tln_serialize() {
    uint8_t* buf = snap_buf.data();
    for (uint64_t i = 0; i < 8; i++) buf[i] = snap_magic[i];
    uint64_t pos = SNAP_OFF_KIND;
    for (uint64_t n = 0; n < NODE_CAP; n++) buf[pos++] = node_kind[n];
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        pos = snap_put_u64(pos, static_cast<uint64_t>(node_parent[n]));
    }
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        bcopy(buf + pos, node_name[n].data(), NAME_CAP);
        pos += NAME_CAP;
    }
    for (uint64_t n = 0; n < NODE_CAP; n++) pos = snap_put_u64(pos, node_namelen[n]);
    for (uint64_t n = 0; n < NODE_CAP; n++) pos = snap_put_u64(pos, node_size[n]);
    for (uint64_t n = 0; n < NODE_CAP; n++) pos = snap_put_u32(pos, node_vers[n]);
    for (uint64_t n = 0; n < NODE_CAP; n++) pos = snap_put_u64(pos, node_chain_len[n]);

    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (node_kind[n] != KIND_FILE || node_chain_len[n] == 0) continue;
        uint64_t size = node_size[n];
        // Written this way round so that no sum can overflow; an image of
        // exactly SNAP_CAP bytes fits.
        if (size > SNAP_CAP - pos) return 0;
        for (uint64_t off = 0; off < size;) {
            uint64_t chunk = off / SLOT_CAP;
            uint64_t start = off % SLOT_CAP;
            uint64_t step = SLOT_CAP - start;
            if (step > size - off) step = size - off;
            uint64_t base = node_get_chunk(static_cast<int64_t>(n), chunk, 0);
            if (base == 0) {
                snap_zero(buf + pos + off, step);
            } else {
                bcopy(buf + pos + off, node_data.data() + base + start, step);
            }
            off += step;
        }
        pos += size;
    }
    return pos;
}

// ---- Reading ----

uint8_t snap_reason;
int64_t snap_reason_row;
uint64_t snap_reason_value;

// Records why the image is refused (for tools; the server does not look) and
// returns false, the refusal.
static bool snap_refuse(uint8_t reason, int64_t row, uint64_t value) {
    snap_reason = reason;
    snap_reason_row = row;
    snap_reason_value = value;
    return false;
}

static uint8_t img_kind(uint64_t n) {
    return snap_buf[SNAP_OFF_KIND + n];
}
static int64_t img_parent(uint64_t n) {
    return static_cast<int64_t>(snap_get_u64(SNAP_OFF_PARENT + 8 * n));
}
static const uint8_t* img_name(uint64_t n) {
    return snap_buf.data() + SNAP_OFF_NAME + NAME_CAP * n;
}
static uint64_t img_namelen(uint64_t n) {
    return snap_get_u64(SNAP_OFF_NAMELEN + 8 * n);
}
static uint64_t img_size(uint64_t n) {
    return snap_get_u64(SNAP_OFF_SIZE + 8 * n);
}
static uint32_t img_vers(uint64_t n) {
    return snap_get_u32(SNAP_OFF_VERS + 4 * n);
}
static uint64_t img_chain_len(uint64_t n) {
    return snap_get_u64(SNAP_OFF_CHAINLEN + 8 * n);
}

// A row whose contents follow in the image.
static bool img_has_contents(uint64_t n) {
    return img_kind(n) == KIND_FILE && img_chain_len(n) != 0;
}

// True when any of the n bytes at p is not zero.
static bool snap_any_nonzero(const uint8_t* p, uint64_t n) {
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        __builtin_memcpy(&w, p + i, 8);
        if (w != 0) return true;
    }
    for (; i < n; i++) {
        if (p[i] != 0) return true;
    }
    return false;
}

// Bit c set: chunk c of the file whose contents start at pos holds a byte
// that is not zero, so the restore gives it a slot. Both the check pass and
// the rebuild go by this mask, so they count the same slots.
static uint64_t snap_chunk_mask(uint64_t pos, uint64_t size) {
    uint64_t mask = 0;
    for (uint64_t off = 0, chunk = 0; off < size; off += SLOT_CAP, chunk++) {
        uint64_t step = size - off < SLOT_CAP ? size - off : SLOT_CAP;
        if (snap_any_nonzero(snap_buf.data() + pos + off, step)) mask |= uint64_t{1} << chunk;
    }
    return mask;
}

// The stored rows describe a tree the handlers can serve: every value that
// is used as an index is in range and the node table's invariants hold.
static bool snap_rows_valid() {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        uint8_t kind = img_kind(n);
        // Only free, directory and file rows exist.
        if (kind > KIND_FILE) return snap_refuse(SNAP_BAD_KIND, static_cast<int64_t>(n), kind);
        // A name never reaches past its NAME_CAP-byte block.
        if (img_namelen(n) > NAME_CAP) {
            return snap_refuse(SNAP_BAD_NAMELEN, static_cast<int64_t>(n), img_namelen(n));
        }
        // Only files hold data; a free row or a directory has size 0 and no chain.
        if (kind != KIND_FILE && img_size(n) != 0) {
            return snap_refuse(SNAP_BAD_SIZE_NOT_FILE, static_cast<int64_t>(n), img_size(n));
        }
        if (kind != KIND_FILE && img_chain_len(n) != 0) {
            return snap_refuse(SNAP_BAD_CHAIN_NOT_FILE, static_cast<int64_t>(n), img_chain_len(n));
        }
        // Reads, writes and the restore stop at FILE_CAP.
        if (kind == KIND_FILE && img_size(n) > FILE_CAP) {
            return snap_refuse(SNAP_BAD_FILE_SIZE, static_cast<int64_t>(n), img_size(n));
        }
        int64_t parent = img_parent(n);
        if (n == 0) {
            // Row 0 is the root: a directory, its own parent, with the empty name.
            if (kind != KIND_DIR) return snap_refuse(SNAP_BAD_ROOT_KIND, 0, kind);
            if (parent != 0) {
                return snap_refuse(SNAP_BAD_ROOT_PARENT, 0, static_cast<uint64_t>(parent));
            }
            if (img_namelen(0) != 0) return snap_refuse(SNAP_BAD_ROOT_NAME, 0, img_namelen(0));
            continue;
        }
        if (kind == KIND_FREE) continue;
        // Every parent of an in-use row indexes the table.
        if (parent < 0 || parent >= static_cast<int64_t>(NODE_CAP)) {
            return snap_refuse(SNAP_BAD_PARENT, static_cast<int64_t>(n),
                               static_cast<uint64_t>(parent));
        }
        // Every other in-use row is named: create refuses the empty name.
        if (img_namelen(n) == 0) {
            return snap_refuse(SNAP_BAD_EMPTY_NAME, static_cast<int64_t>(n), 0);
        }
        // ...and lives in an in-use directory.
        if (img_kind(static_cast<uint64_t>(parent)) != KIND_DIR) {
            return snap_refuse(SNAP_BAD_PARENT_KIND, static_cast<int64_t>(n),
                               static_cast<uint64_t>(parent));
        }
    }
    for (uint64_t n = 1; n < NODE_CAP; n++) {
        if (img_kind(n) == KIND_FREE) continue;
        // Following parents from any in-use row reaches the root: no cycle
        // keeps rows out of reach of every walk (and of every remove).
        uint64_t up = n;
        uint64_t steps = 0;
        while (up != 0 && steps < NODE_CAP) {
            up = static_cast<uint64_t>(img_parent(up));
            steps++;
        }
        if (up != 0) {
            return snap_refuse(SNAP_BAD_CYCLE, static_cast<int64_t>(n),
                               static_cast<uint64_t>(img_parent(n)));
        }
        // No two in-use rows of one directory share a name.
        for (uint64_t m = n + 1; m < NODE_CAP; m++) {
            if (img_kind(m) == KIND_FREE || img_parent(m) != img_parent(n)) continue;
            if (names_equal(img_name(n), img_namelen(n), img_name(m), img_namelen(m))) {
                return snap_refuse(SNAP_BAD_DUP_NAME, static_cast<int64_t>(m), n);
            }
        }
    }
    return true;
}

int32_t tln_deserialize(uint64_t len) {
    snap_reason = SNAP_OK;
    snap_reason_row = -1;
    snap_reason_value = 0;
    if (len < 8) return snap_refuse(SNAP_BAD_SHORT, -1, len);
    for (uint64_t i = 0; i < 8; i++) {
        if (snap_buf[i] != snap_magic[i]) return snap_refuse(SNAP_BAD_MAGIC, -1, snap_get_u64(0));
    }
    if (len < SNAP_FIXED) return snap_refuse(SNAP_BAD_FIXED, -1, len);
    // The image lies in snap_buf; a longer length would read past it.
    if (len > SNAP_CAP) return snap_refuse(SNAP_BAD_LENGTH, -1, len);
    if (!snap_rows_valid()) return 0;

    // Check every file record, and count the slots the rebuild will take,
    // before anything in the tree changes.
    std::array<uint64_t, NODE_CAP> masks{};
    uint64_t pos = SNAP_FIXED;
    uint64_t slots = 0;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (!img_has_contents(n)) continue;
        uint64_t size = img_size(n);  // at most FILE_CAP (checked above)
        // The contents lie inside the image (pos <= len holds throughout).
        if (size > len - pos) return snap_refuse(SNAP_BAD_CONTENTS, static_cast<int64_t>(n), size);
        masks[n] = snap_chunk_mask(pos, size);
        // The slots the restore takes fit in the pool (slot 0 never holds data).
        slots += static_cast<uint64_t>(__builtin_popcountll(masks[n]));
        if (slots > DATA_SLOT_CAP - 1) {
            return snap_refuse(SNAP_BAD_SLOTS, static_cast<int64_t>(n), slots);
        }
        pos += size;
    }

    for (uint64_t n = 0; n < NODE_CAP; n++) {
        node_kind[n] = img_kind(n);
        node_parent[n] = img_parent(n);
        bcopy(node_name[n].data(), img_name(n), NAME_CAP);
        node_namelen[n] = img_namelen(n);
        node_size[n] = img_size(n);
        node_vers[n] = img_vers(n);
    }
    for (uint64_t s = 0; s < DATA_SLOT_CAP; s++) dataslot_used[s] = 0;
    dataslot_used[0] = 1;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        for (uint64_t c = 0; c < CHAIN_LEN; c++) node_slot_chain[n][c] = -1;
        node_chain_len[n] = img_chain_len(n);
    }

    // Lowest free slot first, in row and then chunk order. node_get_chunk
    // zeroes a slot it takes and raises the chain length to chunk + 1, so a
    // restored file's chain length ends one past its highest chunk with a
    // slot, 0 when every chunk was zero: every entry at or beyond it is -1.
    pos = SNAP_FIXED;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (!img_has_contents(n)) continue;
        uint64_t size = node_size[n];
        node_chain_len[n] = 0;
        for (uint64_t off = 0, chunk = 0; off < size; off += SLOT_CAP, chunk++) {
            if ((masks[n] >> chunk & 1) == 0) continue;
            uint64_t step = size - off < SLOT_CAP ? size - off : SLOT_CAP;
            // Never 0: the check pass counted this slot against the free pool.
            uint64_t base = node_get_chunk(static_cast<int64_t>(n), chunk, 1);
            bcopy(node_data.data() + base, snap_buf.data() + pos + off, step);
        }
        pos += size;
    }
    snap_contents = snap_count_contents();
    return 1;
}

}  // namespace tolvane
