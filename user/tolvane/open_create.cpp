// Topen and Tcreate: open a fid on its node (truncating a file on request), or
// make a new node under the fid's directory and move the fid onto it, open.
#include "errors/errors.h"
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"

namespace tolvane {

// Ropen or Rcreate (same layout) with node n's qid and iounit 0.
static int32_t emit_opened(uint16_t tag, int64_t n, int32_t created) {
    return send_reply([&](p9_cursor* c) {
        return created ? p9_emit_rcreate(c, tag, node_qtype(n), node_vers[n], node_qpath(n), 0)
                       : p9_emit_ropen(c, tag, node_qtype(n), node_vers[n], node_qpath(n), 0);
    });
}

int32_t serve_topen(uint64_t size) {
    uint16_t tag;
    uint32_t fid;
    uint8_t mode;
    if (p9_decode_topen(srv_buf.data(), size, &tag, &fid, &mode) < 0) return -1;
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::open, &slot)) return emit_rerror(tag, refusal);

    int64_t n = fid_node[slot];
    uint8_t access = mode & ACCESS_MASK;
    if (node_kind[n] == KIND_DIR && access != P9_OREAD) {
        return emit_rerror(tag, ERR_DIRECTORY_READ_ONLY);
    }
    if (node_kind[n] == KIND_FILE && (mode & P9_OTRUNC)) {
        if (access == P9_OREAD) return emit_rerror(tag, ERR_OTRUNC_NEEDS_WRITE);
        // Truncation alone does not dirty the fid: its clunk does not save.
        node_release_chain(n);
        node_size[n] = 0;
        node_vers[n]++;
    }
    fid_open[slot] = 1;
    fid_mode[slot] = mode;
    return emit_opened(tag, n, 0);
}

// 1 when a name of 1 to NAME_CAP bytes may be entered in a directory: not
// "." or "..", which walks take as themselves, and no "/" or NUL, which no
// path could carry to it.
static int32_t name_usable(const uint8_t* name, uint64_t len) {
    if (name[0] == '.' && (len == 1 || (len == 2 && name[1] == '.'))) return 0;
    for (uint64_t i = 0; i < len; i++) {
        if (name[i] == '/' || name[i] == 0) return 0;
    }
    return 1;
}

int32_t serve_tcreate(uint64_t size) {
    uint16_t tag;
    uint32_t fid, perm;
    const uint8_t* name;
    uint64_t name_len;
    uint8_t mode;
    if (p9_decode_tcreate(srv_buf.data(), size, &tag, &fid, &name, &name_len, &perm, &mode) < 0) {
        return -1;
    }
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::open, &slot)) return emit_rerror(tag, refusal);
    int64_t dir = fid_node[slot];
    if (node_kind[dir] != KIND_DIR) return emit_rerror(tag, ERR_CREATE_IN_NON_DIRECTORY);
    if (name_len == 0 || name_len > NAME_CAP) return emit_rerror(tag, ERR_BAD_NAME_LENGTH);
    if (!name_usable(name, name_len)) return emit_rerror(tag, ERR_BAD_NAME);
    if (node_find_child(dir, name, name_len) >= 0) return emit_rerror(tag, ERR_NAME_EXISTS);

    uint8_t kind = (perm & DM_DIR) ? KIND_DIR : KIND_FILE;
    int64_t n = node_alloc(kind, dir, name, name_len);
    if (n < 0) return emit_rerror(tag, ERR_NODE_TABLE_FULL);
    fid_node[slot] = n;
    fid_open[slot] = 1;
    fid_mode[slot] = mode;
    fid_dirty[slot] = 1;
    node_vers[dir]++;
    return emit_opened(tag, n, 1);
}

}  // namespace tolvane
