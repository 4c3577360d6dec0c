// Driving the real request step over the in-memory kernel, shared by the fuzz
// targets and the model test (header-only, see tree_check.h for why).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/memory/memory.h"
#include "no_coverage.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace harness {

// The tables as at process start (all zero; node_data is left alone, since a
// slot is zeroed when it is taken), the skeleton built, no fids, the request
// stream on the memory kernel, and a backing store for instance 0 that holds no
// image (store=false: no backing store, saves are skipped).
TREE_CHECK_NO_COVERAGE inline void reset_process(bool store = true) {
    using namespace tolvane;
    zero_tables();
    tln_backing_ok = store ? 1 : 0;
    srv_rfd = MEM_REQUEST_FD;
    srv_wfd = MEM_REPLY_FD;
    velmor_mem_reset();
    if (store) velmor_mem_store_open(0);
    init_tree();
}

// FNV-1a, for comparing large states cheaply.
TREE_CHECK_NO_COVERAGE inline uint64_t fnv(uint64_t h, const uint8_t* p, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}
TREE_CHECK_NO_COVERAGE inline uint64_t fnv_u64(uint64_t h, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; i++) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return fnv(h, b, 8);
}

// Everything a client can see of the tree, one line per in-use row: kind,
// parent, name, size, version and a hash of a file's contents (holes as zeros).
TREE_CHECK_NO_COVERAGE inline std::string dump_tree() {
    using namespace tolvane;
    static const std::vector<uint8_t> zeros(SLOT_CAP, 0);
    std::string out;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (node_kind[n] == KIND_FREE) continue;
        out += std::to_string(n) + " k" + std::to_string(node_kind[n]) + " p" +
               std::to_string(node_parent[n]) + " '" +
               std::string(reinterpret_cast<const char*>(node_name[n].data()),
                           node_namelen[n] <= NAME_CAP ? node_namelen[n] : NAME_CAP) +
               "' s" + std::to_string(node_size[n]) + " v" + std::to_string(node_vers[n]);
        if (node_kind[n] == KIND_FILE) {
            uint64_t h = 1469598103934665603ull;
            uint64_t size = node_size[n] <= FILE_CAP ? node_size[n] : FILE_CAP;
            for (uint64_t off = 0; off < size; off += SLOT_CAP) {
                uint64_t step = size - off < SLOT_CAP ? size - off : SLOT_CAP;
                uint64_t at = node_get_chunk(static_cast<int64_t>(n), off / SLOT_CAP, 0);
                h = fnv(h, at ? node_data.data() + at : zeros.data(), step);
            }
            out += " h" + std::to_string(h);
        }
        out += "\n";
    }
    return out;
}

// A save-and-restart: the tree as the server would save it, a fresh process
// (zeroed tables, skeleton, no fids), and the image restored. Returns the
// image's length (0 when the tree does not fit in an image; nothing changed
// then) and sets accepted to the reader's answer.
TREE_CHECK_NO_COVERAGE inline uint64_t save_and_restart(bool* accepted) {
    using namespace tolvane;
    uint64_t len = tln_serialize();
    *accepted = false;
    if (len == 0) return 0;
    zero_tables();
    init_tree();
    *accepted = tln_deserialize(len) == 1;
    return len;
}

// A new process over the same in-memory store: zeroed tables and fids, the
// skeleton, then the load of instance 0 as at start-up. Returns
// tln_load_from_disk's result (1: an image was restored).
TREE_CHECK_NO_COVERAGE inline int32_t restart_process() {
    using namespace tolvane;
    zero_tables();
    tln_backing_ok = 0;
    init_tree();
    return tln_load_from_disk();
}

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The reply type a request type must get on success.
inline uint8_t ok_reply_type(uint8_t req_type) {
    return static_cast<uint8_t>(req_type + 1);
}

// Checks the bytes a request step wrote for a request of the given type and
// tag: exactly one whole message, carrying the tag, of the matching reply type
// or Rerror, an Rerror text beginning "tolvane: ". Empty when it holds.
TREE_CHECK_NO_COVERAGE inline std::string check_reply(uint8_t req_type, uint16_t req_tag,
                                                      const uint8_t* out, uint64_t len) {
    if (len < 7) return "reply of " + std::to_string(len) + " bytes";
    uint32_t size = le32(out);
    if (size != len) {
        return "reply size field " + std::to_string(size) + ", " + std::to_string(len) +
               " bytes written";
    }
    if (le16(out + 5) != req_tag) return "reply tag differs from the request's";
    uint8_t t = out[4];
    bool known = req_type == P9_TVERSION || req_type == P9_TATTACH || req_type == P9_TWALK ||
                 req_type == P9_TOPEN || req_type == P9_TCREATE || req_type == P9_TREAD ||
                 req_type == P9_TWRITE || req_type == P9_TCLUNK || req_type == P9_TSTAT ||
                 req_type == tolvane::P9_TREMOVE || req_type == P9_TFLUSH;
    if (req_type == P9_TVERSION || req_type == P9_TFLUSH) {
        if (t != ok_reply_type(req_type)) return "reply type " + std::to_string(t);
    } else if (t != P9_RERROR && !(known && t == ok_reply_type(req_type))) {
        return "reply type " + std::to_string(t) + " to request type " + std::to_string(req_type);
    }
    if (t == P9_RERROR) {
        uint16_t tag;
        const uint8_t* text;
        uint64_t text_len;
        if (p9_decode_rerror(out, len, &tag, &text, &text_len) < 0) return "Rerror does not decode";
        std::string s(reinterpret_cast<const char*>(text), text_len);
        if (s.rfind("tolvane: ", 0) != 0) return "Rerror text '" + s + "'";
    }
    return {};
}

}  // namespace harness
