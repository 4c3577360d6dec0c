// Tattach and Twalk: the only ways a fid comes into being, and the fid checks
// every other handler starts with.
#include "errors/errors.h"
#include "tolvane/handlers.h"
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<const uint8_t*, P9_MAX_WELEM> walk_wnames;
std::array<uint64_t, P9_MAX_WELEM> walk_wlens;
std::array<uint8_t, P9_MAX_WELEM> walk_qtypes;
std::array<uint32_t, P9_MAX_WELEM> walk_qvers;
std::array<uint64_t, P9_MAX_WELEM> walk_qpaths;

const char* fid_check(uint32_t fid, FidUse use, int64_t* slot) {
    int64_t s = fid_lookup(fid);
    if (s < 0) return ERR_UNKNOWN_FID;
    if (fid_node[s] < 0) return ERR_FILE_REMOVED;
    uint8_t access = fid_mode[s] & ACCESS_MASK;
    switch (use) {
        case FidUse::any:
            break;
        case FidUse::walk:
            if (fid_open[s]) return ERR_FID_IS_OPEN;
            break;
        case FidUse::open:
            if (fid_open[s]) return ERR_FID_ALREADY_OPEN;
            break;
        case FidUse::read:
            if (!fid_open[s]) return ERR_FID_NOT_OPEN;
            if (access == P9_OWRITE) return ERR_FID_NOT_OPEN_FOR_READ;
            break;
        case FidUse::write:
            if (!fid_open[s]) return ERR_FID_NOT_OPEN;
            if (access == P9_OREAD || access == P9_OEXEC) return ERR_FID_NOT_OPEN_FOR_WRITE;
            break;
    }
    *slot = s;
    return nullptr;
}

int64_t aname_root(const uint8_t* aname, uint64_t len) {
    if (len > 0 && aname[0] == '/') {
        aname++;
        len--;
    }
    if (len == 0) return 0;
    for (uint64_t i = 0; i < len; i++) {
        if (aname[i] == '/') return -1;  // one component only; a trailing "/" is a second
    }
    int64_t n = node_find_child(0, aname, len);
    if (n < 0 || node_kind[n] != KIND_DIR) return -1;
    return n;
}

int32_t serve_tattach(uint64_t size) {
    uint16_t tag;
    uint32_t fid, afid;
    const uint8_t *uname, *aname;
    uint64_t uname_len, aname_len;
    if (p9_decode_tattach(srv_buf.data(), size, &tag, &fid, &afid, &uname, &uname_len, &aname,
                          &aname_len) < 0) {
        return -1;
    }
    if (fid_lookup(fid) >= 0) return emit_rerror(tag, ERR_FID_IN_USE);
    int64_t root = aname_root(aname, aname_len);
    if (root < 0) return emit_rerror(tag, ERR_UNKNOWN_ATTACH_TREE);
    if (fid_alloc(fid, root) < 0) return emit_rerror(tag, ERR_FID_TABLE_FULL);
    return send_reply([&](p9_cursor* c) {
        return p9_emit_rattach(c, tag, node_qtype(root), node_vers[root], node_qpath(root));
    });
}

// One walk step from directory dir: the node the element names, or -1.
static int64_t walk_step(int64_t dir, const uint8_t* name, uint64_t len) {
    if (len == 2 && name[0] == '.' && name[1] == '.') return node_parent[dir];
    if (len == 1 && name[0] == '.') return dir;
    return node_find_child(dir, name, len);
}

int32_t serve_twalk(uint64_t size) {
    uint16_t tag;
    uint32_t fid, newfid;
    uint16_t nwname;
    if (p9_decode_twalk(srv_buf.data(), size, &tag, &fid, &newfid, &nwname, walk_wnames.data(),
                        walk_wlens.data()) < 0) {
        return -1;
    }
    int64_t slot;
    if (const char* refusal = fid_check(fid, FidUse::walk, &slot)) return emit_rerror(tag, refusal);
    if (newfid != fid && fid_lookup(newfid) >= 0) return emit_rerror(tag, ERR_NEWFID_IN_USE);

    // Walk until an element does not resolve or a file is reached; the qids
    // of the nodes passed are the reply.
    int64_t cur = fid_node[slot];
    uint16_t nwqid = 0;
    while (nwqid < nwname && node_kind[cur] == KIND_DIR) {
        int64_t next = walk_step(cur, walk_wnames[nwqid], walk_wlens[nwqid]);
        if (next < 0) break;
        cur = next;
        walk_qtypes[nwqid] = node_qtype(cur);
        walk_qvers[nwqid] = node_vers[cur];
        walk_qpaths[nwqid] = node_qpath(cur);
        nwqid++;
    }
    if (nwqid == 0 && nwname > 0) return emit_rerror(tag, ERR_NO_SUCH_FILE);
    if (nwqid == nwname) {
        if (newfid == fid) {
            fid_node[slot] = cur;
        } else if (fid_alloc(newfid, cur) < 0) {
            return emit_rerror(tag, ERR_FID_TABLE_FULL);
        }
    }
    return send_reply([&](p9_cursor* c) {
        return p9_emit_rwalk(c, tag, nwqid, walk_qtypes.data(), walk_qvers.data(),
                             walk_qpaths.data());
    });
}

}  // namespace tolvane
