// Tclunk, Tstat and Tremove: release a fid (saving the tree when the fid
// changed it), describe a fid's node, and delete a node.
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"

namespace tolvane {

// Rstat: size[4] type[1] tag[2] n[2], then the n-byte stat record.
inline constexpr uint64_t RSTAT_HDR = P9_HEADER_LEN + 2;
// Tremove: size[4] type[1] tag[2] fid[4]. Rremove is the header alone.
inline constexpr uint64_t TREMOVE_LEN = P9_HEADER_LEN + 4;
inline constexpr uint64_t RREMOVE_LEN = P9_HEADER_LEN;

// Writes v little-endian into srv_buf[at, at + bytes).
static void put_le(uint64_t at, uint64_t v, uint64_t bytes) {
    for (uint64_t i = 0; i < bytes; i++) srv_buf[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A message header (size, type, tag) at the start of srv_buf.
static void put_header(uint64_t size, uint8_t type, uint16_t tag) {
    put_le(0, size, 4);
    srv_buf[4] = type;
    put_le(5, tag, 2);
}

int32_t serve_tclunk(uint64_t size) {
    uint16_t tag;
    uint32_t fid;
    if (p9_decode_tclunk(srv_buf.data(), size, &tag, &fid) < 0) return -1;
    // A fid whose node was removed is released like any other.
    int64_t slot = fid_lookup(fid);
    if (slot < 0) return emit_rerror(tag, "tolvane: unknown fid");
    uint8_t dirty = fid_dirty[slot];
    fid_free(slot);
    if (dirty && tln_save_to_disk() < 0) return emit_rerror(tag, "tolvane: persist failed");

    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data(), SRV_BUF_CAP);
    int32_t len = p9_emit_rclunk(&c, tag);
    return len < 0 ? -1 : send_rmsg(len);
}

int32_t serve_tstat(uint64_t size) {
    uint16_t tag;
    uint32_t fid;
    if (p9_decode_tstat(srv_buf.data(), size, &tag, &fid) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, &slot)) return emit_rerror(tag, refusal);

    // The record comes from the builder directory reads use, placed behind
    // the Rstat header, whose two lengths are then filled in.
    p9_cursor c;
    p9_cursor_init(&c, srv_buf.data() + RSTAT_HDR, SRV_BUF_CAP - RSTAT_HDR);
    int32_t rec = emit_node_stat(&c, fid_node[slot]);
    if (rec < 0) return -1;
    put_header(RSTAT_HDR + static_cast<uint64_t>(rec), P9_RSTAT, tag);
    put_le(P9_HEADER_LEN, static_cast<uint64_t>(rec), 2);
    return send_rmsg(static_cast<int32_t>(RSTAT_HDR) + rec);
}

// Frees row n and every data slot it holds, and unbinds every fid still on
// it, so none of them can reach a node a later create puts in the row. The
// row's generation moves on, so that node gets a qid path of its own.
static void node_remove(int64_t n) {
    node_release_chain(n);
    node_kind[n] = KIND_FREE;
    node_size[n] = 0;
    node_namelen[n] = 0;
    node_gen[n]++;
    for (uint64_t s = 0; s < FID_CAP; s++) {
        if (fid_used[s] && fid_node[s] == n) fid_node[s] = -1;
    }
}

int32_t serve_tremove(uint64_t size) {
    // No codec for Tremove: the header is checked and the fid read by hand.
    uint32_t hsize;
    uint8_t type;
    uint16_t tag;
    if (size < TREMOVE_LEN || p9_decode_header(srv_buf.data(), size, &hsize, &type, &tag) != 0) {
        return -1;
    }
    uint32_t fid = static_cast<uint32_t>(srv_buf[7]) | static_cast<uint32_t>(srv_buf[8]) << 8 |
                   static_cast<uint32_t>(srv_buf[9]) << 16 |
                   static_cast<uint32_t>(srv_buf[10]) << 24;
    int64_t slot = fid_lookup(fid);
    if (slot < 0) return emit_rerror(tag, "tolvane: unknown fid");
    // The fid is released whatever follows; a refused remove drops its dirty
    // mark without a save.
    int64_t n = fid_node[slot];
    fid_free(slot);
    if (n < 0) return emit_rerror(tag, "tolvane: file removed");
    if (n == 0) return emit_rerror(tag, "tolvane: cannot remove root");
    if (node_kind[n] == KIND_DIR && node_has_children(n)) {
        return emit_rerror(tag, "tolvane: directory not empty");
    }

    int64_t parent = node_parent[n];
    node_remove(n);
    node_vers[parent]++;
    if (tln_save_to_disk() < 0) return emit_rerror(tag, "tolvane: remove not persisted");

    put_header(RREMOVE_LEN, P9_RREMOVE, tag);
    return send_rmsg(static_cast<int32_t>(RREMOVE_LEN));
}

}  // namespace tolvane
