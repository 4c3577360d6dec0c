// Tclunk, Tstat and Tremove: release a fid (saving the tree when the fid
// changed it), describe a fid's node, and delete a node.
#include "errors/errors.h"
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"

namespace tolvane {

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
    if (slot < 0) return emit_rerror(tag, ERR_UNKNOWN_FID);
    uint8_t dirty = fid_dirty[slot];
    fid_free(slot);
    if (dirty && tln_save_to_disk() < 0) return emit_rerror(tag, ERR_PERSIST_FAILED);
    return send_reply([&](p9_cursor* c) { return p9_emit_rclunk(c, tag); });
}

int32_t serve_tstat(uint64_t size) {
    uint16_t tag;
    uint32_t fid;
    if (p9_decode_tstat(srv_buf.data(), size, &tag, &fid) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::any, &slot)) return emit_rerror(tag, refusal);
    int64_t n = fid_node[slot];
    // The same record a directory read carries for n (emit_node_stat).
    return send_reply([&](p9_cursor* c) {
        return p9_emit_rstat(c, tag, 0, 0, node_qtype(n), node_vers[n], node_qpath(n),
                             node_stat_mode(n), 0, 0, node_size[n], node_name[n].data(),
                             node_namelen[n], ident_buf.data(), IDENT_LEN, ident_buf.data(),
                             IDENT_LEN, ident_buf.data(), IDENT_LEN);
    });
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
    // Read by hand rather than with the codec's decoder, as the server always
    // has: a Tremove with bytes past its fid is served, where the decoder
    // would refuse it and end the stream.
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
    if (slot < 0) return emit_rerror(tag, ERR_UNKNOWN_FID);
    // The fid is released whatever follows; a refused remove drops its dirty
    // mark without a save.
    int64_t n = fid_node[slot];
    fid_free(slot);
    if (n < 0) return emit_rerror(tag, ERR_FILE_REMOVED);
    if (n == 0) return emit_rerror(tag, ERR_CANNOT_REMOVE_ROOT);
    if (node_kind[n] == KIND_DIR && node_has_children(n)) {
        return emit_rerror(tag, ERR_DIRECTORY_NOT_EMPTY);
    }

    int64_t parent = node_parent[n];
    node_remove(n);
    node_vers[parent]++;
    if (tln_save_to_disk() < 0) return emit_rerror(tag, ERR_REMOVE_NOT_PERSISTED);

    put_header(RREMOVE_LEN, P9_RREMOVE, tag);
    return send_rmsg(static_cast<int32_t>(RREMOVE_LEN));
}

}  // namespace tolvane
