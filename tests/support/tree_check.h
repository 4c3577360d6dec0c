// Consistency checks over the server's tables, shared by the fuzz targets and
// the model test. Header-only, so that every build that links tolvane_core can
// use it (the fuzz builds add no test folders and the test builds no fuzz
// folders).
//
// check_tree() returns an empty string when the tables hold, otherwise a
// description of the first violation found:
// - data slot 0 is reserved; every used slot other than 0 is held by exactly
//   one chain entry of one in-use file, and every chain entry of an in-use row
//   names a used slot in range; free slots are held by no entry (a free row
//   may still hold the zero entries of a fresh process, which name no slot);
// - every chain entry at or beyond the row's chain length is -1, and a file's
//   chain length is at most CHAIN_LEN;
// - kinds are free, directory or file; row 0 is the root directory, its own
//   parent, with an empty name;
// - every in-use row other than the root has a parent in range that is an
//   in-use directory, and a name of at most NAME_CAP bytes;
// - no two in-use rows share a name under one parent;
// - every file's size is at most FILE_CAP;
// - every used fid names a row in range, or -1 (its node was removed);
// - the running count of image contents (snap_contents) is the sum of the
//   lengths of the files that hold a slot, and leaves the image within
//   SNAP_CAP.
// With reachable set it also requires every in-use row to reach the root
// through its parents (the request handlers can never build a cycle).
#pragma once

#include <cstdint>
#include <string>

#include "no_coverage.h"
#include "tolvane/tolvane.h"

namespace tree_check {

struct Options {
    bool reachable = true;
};

TREE_CHECK_NO_COVERAGE inline std::string check_tree(const Options& opt = {}) {
    using namespace tolvane;
    auto row = [](uint64_t n) { return "row " + std::to_string(n); };
    // Raw pointers: checked std::array access costs too much per element in
    // instrumented and unoptimised builds, and this runs after every request.
    const uint8_t* kind = node_kind.data();
    const int64_t* parent = node_parent.data();
    const uint64_t* namelen = node_namelen.data();
    const uint64_t* size = node_size.data();
    const uint64_t* chain_len = node_chain_len.data();
    const uint8_t* used = dataslot_used.data();
    const uint8_t* fused = fid_used.data();
    const int64_t* fnode = fid_node.data();

    if (used[0] != 1) return "data slot 0 is not reserved";
    int holders[DATA_SLOT_CAP] = {};
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        uint8_t k = kind[n];
        if (k != KIND_FREE && k != KIND_DIR && k != KIND_FILE) {
            return row(n) + ": kind " + std::to_string(k);
        }
        if (k == KIND_FILE && chain_len[n] > CHAIN_LEN) {
            return row(n) + ": chain length " + std::to_string(chain_len[n]);
        }
        const int32_t* chain = node_slot_chain[n].data();
        for (uint64_t c = 0; c < CHAIN_LEN; c++) {
            int32_t s = chain[c];
            if (s == -1) continue;
            // A row never taken since process start still holds the zeroed
            // chain of a fresh process; it names no slot.
            if (k == KIND_FREE && s == 0) continue;
            if (c >= chain_len[n]) {
                return row(n) + ": chain entry " + std::to_string(c) + " = " + std::to_string(s) +
                       " beyond chain length " + std::to_string(chain_len[n]);
            }
            if (k != KIND_FILE) {
                return row(n) + ": kind " + std::to_string(k) + " holds slot " + std::to_string(s);
            }
            if (s <= 0 || static_cast<uint64_t>(s) >= DATA_SLOT_CAP) {
                return row(n) + ": chain entry " + std::to_string(c) + " = " + std::to_string(s);
            }
            if (!used[static_cast<uint64_t>(s)]) {
                return row(n) + ": chunk " + std::to_string(c) + " in free slot " +
                       std::to_string(s);
            }
            holders[static_cast<uint64_t>(s)]++;
        }
    }
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) {
        int want = used[s] ? 1 : 0;
        if (holders[s] != want) {
            return "slot " + std::to_string(s) + " used=" + std::to_string(used[s]) + " held by " +
                   std::to_string(holders[s]) + " chain entries";
        }
    }

    if (kind[0] != KIND_DIR || parent[0] != 0 || namelen[0] != 0) {
        return "row 0 is not the root directory";
    }
    for (uint64_t n = 1; n < NODE_CAP; n++) {
        if (kind[n] == KIND_FREE) continue;
        int64_t p = parent[n];
        if (p < 0 || static_cast<uint64_t>(p) >= NODE_CAP) {
            return row(n) + ": parent " + std::to_string(p) + " out of range";
        }
        if (static_cast<uint64_t>(p) == n || kind[static_cast<uint64_t>(p)] != KIND_DIR) {
            return row(n) + ": parent " + std::to_string(p) + " is not an in-use directory";
        }
        if (namelen[n] > NAME_CAP) {
            return row(n) + ": name length " + std::to_string(namelen[n]);
        }
        if (kind[n] == KIND_FILE && size[n] > FILE_CAP) {
            return row(n) + ": size " + std::to_string(size[n]);
        }
    }
    // Names under one parent: an open-addressed table of (parent, name)
    // hashes, so the check stays linear.
    constexpr uint64_t kBuckets = 1024;
    static_assert(kBuckets > 2 * NODE_CAP);
    int64_t bucket[kBuckets];
    for (uint64_t i = 0; i < kBuckets; i++) bucket[i] = -1;
    for (uint64_t a = 1; a < NODE_CAP; a++) {
        if (kind[a] == KIND_FREE) continue;
        const uint8_t* na = node_name[a].data();
        uint64_t la = namelen[a];
        uint64_t h = 1469598103934665603ull ^ static_cast<uint64_t>(parent[a]);
        for (uint64_t i = 0; i < la; i++) h = (h ^ na[i]) * 1099511628211ull;
        h = (h ^ la) * 1099511628211ull;
        for (uint64_t i = h % kBuckets;; i = (i + 1) % kBuckets) {
            if (bucket[i] < 0) {
                bucket[i] = static_cast<int64_t>(a);
                break;
            }
            uint64_t b = static_cast<uint64_t>(bucket[i]);
            if (parent[b] != parent[a] || namelen[b] != la) continue;
            const uint8_t* nb = node_name[b].data();
            bool same = true;
            for (uint64_t k = 0; k < la; k++) {
                if (nb[k] != na[k]) same = false;
            }
            if (same) return row(b) + " and " + row(a) + " share a name under one parent";
        }
    }
    if (opt.reachable) {
        for (uint64_t n = 1; n < NODE_CAP; n++) {
            if (kind[n] == KIND_FREE) continue;
            uint64_t cur = n;
            uint64_t steps = 0;
            while (cur != 0 && steps <= NODE_CAP) {
                cur = static_cast<uint64_t>(parent[cur]);
                steps++;
            }
            if (cur != 0) return row(n) + " does not reach the root";
        }
    }
    for (uint64_t f = 0; f < FID_CAP; f++) {
        if (!fused[f]) continue;
        int64_t n = fnode[f];
        if (n < -1 || n >= static_cast<int64_t>(NODE_CAP)) {
            return "fid slot " + std::to_string(f) + ": node " + std::to_string(n);
        }
    }
    uint64_t contents = 0;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (kind[n] == KIND_FILE && chain_len[n] != 0) contents += size[n];
    }
    if (snap_contents != contents) {
        return "image contents counted " + std::to_string(snap_contents) + ", tables hold " +
               std::to_string(contents);
    }
    if (contents > SNAP_CONTENTS_CAP) {
        return "image contents " + std::to_string(contents) + " past SNAP_CAP";
    }
    return {};
}

}  // namespace tree_check
