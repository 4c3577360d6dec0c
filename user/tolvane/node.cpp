// The node table: one row per file or directory, kept in parallel arrays
// indexed by node number. A directory's children are the in-use rows whose
// parent names it; every lookup is a scan of the whole table, lowest row first.
#include "tolvane/tolvane.h"

namespace tolvane {

std::array<uint8_t, NODE_CAP> node_kind;
std::array<int64_t, NODE_CAP> node_parent;
std::array<std::array<uint8_t, NAME_CAP>, NODE_CAP> node_name;
std::array<uint64_t, NODE_CAP> node_namelen;
std::array<uint64_t, NODE_CAP> node_size;
std::array<uint32_t, NODE_CAP> node_vers;
std::array<std::array<int32_t, CHAIN_LEN>, NODE_CAP> node_slot_chain;
std::array<uint64_t, NODE_CAP> node_chain_len;
std::array<uint32_t, NODE_CAP> node_gen;

static_assert(KIND_FREE == 0, "a zeroed table is a table of free rows");

// Sets every field of row n. The name's bytes are followed by zeros up to the
// end of the row's block; a name of exactly NAME_CAP bytes has no terminator.
static void node_init_row(uint64_t n, uint8_t kind, int64_t parent, const uint8_t* name,
                          uint64_t namelen) {
    node_kind[n] = kind;
    node_parent[n] = parent;
    node_namelen[n] = namelen;
    node_size[n] = 0;
    node_vers[n] = 0;
    node_chain_len[n] = 0;
    node_slot_chain[n].fill(-1);
    for (uint64_t i = 0; i < NAME_CAP; i++) node_name[n][i] = i < namelen ? name[i] : 0;
}

// Lowest free row, initialised as kind under parent with the given name.
// Returns the row, or -1 (nothing changed) when the name is longer than
// NAME_CAP or every row is in use. Neither the parent nor the name's
// uniqueness is checked: callers do that.
int64_t node_alloc(uint8_t kind, int64_t parent, const uint8_t* name, uint64_t namelen) {
    if (namelen > NAME_CAP) return -1;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (node_kind[n] != KIND_FREE) continue;
        node_init_row(n, kind, parent, name, namelen);
        return static_cast<int64_t>(n);
    }
    return -1;
}

// 1 when the two counted strings have the same length and bytes, else 0.
int32_t names_equal(const uint8_t* a, uint64_t alen, const uint8_t* b, uint64_t blen) {
    if (alen != blen) return 0;
    for (uint64_t i = 0; i < alen; i++) {
        if (a[i] != b[i]) return 0;
    }
    return 1;
}

// Lowest in-use row under parent named exactly name, or -1. The parent itself
// is skipped, so the root (its own parent) is never its own child.
int64_t node_find_child(int64_t parent, const uint8_t* name, uint64_t namelen) {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (node_kind[n] == KIND_FREE || node_parent[n] != parent) continue;
        if (static_cast<int64_t>(n) == parent) continue;
        if (names_equal(node_name[n].data(), node_namelen[n], name, namelen)) {
            return static_cast<int64_t>(n);
        }
    }
    return -1;
}

// 1 when some in-use row other than n has n as its parent, else 0.
int32_t node_has_children(int64_t n) {
    for (uint64_t i = 0; i < NODE_CAP; i++) {
        if (static_cast<int64_t>(i) == n) continue;
        if (node_kind[i] != KIND_FREE && node_parent[i] == n) return 1;
    }
    return 0;
}

// The qid type of row n: P9_QTDIR for a directory, P9_QTFILE otherwise (a
// free row included).
uint8_t node_qtype(int64_t n) {
    return node_kind[n] == KIND_DIR ? P9_QTDIR : P9_QTFILE;
}

// A new directory under parent; node_alloc's result.
int64_t add_dir(int64_t parent, const char* name) {
    return node_alloc(KIND_DIR, parent, reinterpret_cast<const uint8_t*>(name), strlen(name));
}

// Builds the root in row 0, reserves data slot 0 and creates the distro
// skeleton. Runs once, on the all-zero tables of a fresh process, before any
// snapshot is restored over it.
void init_tree() {
    node_init_row(0, KIND_DIR, 0, nullptr, 0);
    dataslot_used[0] = 1;

    int64_t var = add_dir(0, "var");
    (void)add_dir(0, "usr");
    (void)add_dir(0, "etc");
    int64_t lib = add_dir(var, "lib");
    int64_t cache = add_dir(var, "cache");
    (void)add_dir(var, "www");
    int64_t dpkg = add_dir(lib, "dpkg");
    (void)add_dir(dpkg, "info");
    int64_t apt = add_dir(cache, "apt");
    (void)add_dir(apt, "archives");
}

}  // namespace tolvane
