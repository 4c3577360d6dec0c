// Node table, data slots with chunk chains, and the fid table, driven directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "tolvane/tolvane.h"

namespace {

using namespace tolvane;
using tolvane_test::reset_server;

const uint8_t* u8(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

int64_t alloc(uint8_t kind, int64_t parent, const std::string& name) {
    return node_alloc(kind, parent, u8(name), name.size());
}

int64_t find(int64_t parent, const std::string& name) {
    return node_find_child(parent, u8(name), name.size());
}

std::string name_of(int64_t n) {
    return std::string(reinterpret_cast<const char*>(node_name[n].data()), node_namelen[n]);
}

// Marks every row in use (files under the root).
void fill_node_table() {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (node_kind[n] == KIND_FREE) {
            ASSERT_GE(alloc(KIND_FILE, 0, "f" + std::to_string(n)), 0);
        }
    }
}

// Frees a row the way the remove handler does: kind, size, name length, chain.
void free_row(int64_t n) {
    node_release_chain(n);
    node_kind[n] = KIND_FREE;
    node_size[n] = 0;
    node_namelen[n] = 0;
}

class Tables : public ::testing::Test {
protected:
    void SetUp() override { reset_server(); }
};

// ---- Node table ----

TEST_F(Tables, FreshTreeIsRootAndSkeleton) {
    struct Row {
        int64_t n;
        int64_t parent;
        const char* name;
    };
    const std::vector<Row> rows = {
        {0, 0, ""},     {1, 0, "var"},   {2, 0, "usr"},       {3, 0, "etc"},
        {4, 1, "lib"},  {5, 1, "cache"}, {6, 1, "www"},       {7, 4, "dpkg"},
        {8, 7, "info"}, {9, 5, "apt"},   {10, 9, "archives"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.n);
        EXPECT_EQ(node_kind[r.n], KIND_DIR);
        EXPECT_EQ(node_parent[r.n], r.parent);
        EXPECT_EQ(name_of(r.n), r.name);
        EXPECT_EQ(node_vers[r.n], 0u);
        EXPECT_EQ(node_size[r.n], 0u);
        EXPECT_EQ(node_chain_len[r.n], 0u);
        EXPECT_EQ(node_qtype(r.n), P9_QTDIR);
        for (int32_t e : node_slot_chain[r.n]) EXPECT_EQ(e, -1);
        // Bytes after the name are zero.
        for (uint64_t i = node_namelen[r.n]; i < NAME_CAP; i++) EXPECT_EQ(node_name[r.n][i], 0);
    }
    for (uint64_t n = 11; n < NODE_CAP; n++) EXPECT_EQ(node_kind[n], KIND_FREE) << n;
    EXPECT_EQ(dataslot_used[0], 1) << "slot 0 is reserved";
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) EXPECT_EQ(dataslot_used[s], 0) << s;
    // Every directory of the skeleton is found under its parent by name.
    for (const auto& r : rows) {
        if (r.n != 0) {
            EXPECT_EQ(find(r.parent, r.name), r.n) << r.name;
        }
    }
}

TEST_F(Tables, AllocInitialisesEveryFieldOfAReusedRow) {
    int64_t n = alloc(KIND_FILE, 3, "hosts");
    ASSERT_EQ(n, 11);
    // Dirty the row as a long-lived file would, then free it the way remove does.
    node_vers[n] = 77;
    node_size[n] = 5;
    ASSERT_NE(node_get_chunk(n, 2, 1), 0u);
    free_row(n);

    int64_t again = alloc(KIND_DIR, 1, "ab");
    ASSERT_EQ(again, 11);
    EXPECT_EQ(node_kind[11], KIND_DIR);
    EXPECT_EQ(node_parent[11], 1);
    EXPECT_EQ(name_of(11), "ab");
    for (uint64_t i = 2; i < NAME_CAP; i++) EXPECT_EQ(node_name[11][i], 0) << "old name byte " << i;
    EXPECT_EQ(node_size[11], 0u);
    EXPECT_EQ(node_vers[11], 0u);
    EXPECT_EQ(node_chain_len[11], 0u);
    for (int32_t e : node_slot_chain[11]) EXPECT_EQ(e, -1);
}

TEST_F(Tables, NameLengthLimits) {
    const std::string n64(NAME_CAP, 'x');
    const std::string n65(NAME_CAP + 1, 'y');

    int64_t n = alloc(KIND_FILE, 0, n64);
    ASSERT_EQ(n, 11);
    EXPECT_EQ(node_namelen[n], 64u);
    EXPECT_EQ(std::memcmp(node_name[n].data(), n64.data(), 64), 0) << "no terminator, all 64 bytes";
    EXPECT_EQ(find(0, n64), n);

    EXPECT_EQ(alloc(KIND_FILE, 0, n65), -1);
    EXPECT_EQ(node_kind[12], KIND_FREE) << "a refused name takes no row";
    EXPECT_EQ(find(0, n65), -1) << "a name longer than 64 bytes never matches";
    // Its first 64 bytes equal a stored name: still no match.
    EXPECT_EQ(find(0, n64 + "x"), -1);

    // The empty name is accepted by the table (callers refuse it).
    EXPECT_EQ(alloc(KIND_FILE, 2, ""), 12);
    EXPECT_EQ(node_namelen[12], 0u);
    EXPECT_EQ(find(2, ""), 12);
}

TEST_F(Tables, FullTableRefusesAndReusesLowestFreeRow) {
    fill_node_table();
    EXPECT_EQ(alloc(KIND_FILE, 0, "one-more"), -1);
    EXPECT_EQ(find(0, "one-more"), -1);

    free_row(200);
    free_row(5);
    free_row(300);
    int64_t n = alloc(KIND_FILE, 0, "new");
    EXPECT_EQ(n, 5) << "lowest free row first";
    EXPECT_EQ(node_vers[5], 0u);
    EXPECT_EQ(alloc(KIND_FILE, 0, "new2"), 200);
    EXPECT_EQ(alloc(KIND_FILE, 0, "new3"), 300);
    EXPECT_EQ(alloc(KIND_FILE, 0, "new4"), -1);
    EXPECT_EQ(add_dir(0, "dir"), -1);
}

TEST_F(Tables, NamesEqual) {
    struct Case {
        std::string a, b;
        int32_t equal;
    };
    const std::vector<Case> cases = {
        {"", "", 1},
        {"var", "var", 1},
        {"var", "VAR", 0},
        {"var", "va", 0},
        {"va", "var", 0},
        {"abc", "abd", 0},
        {"xbc", "abc", 0},
        {std::string("a\0b", 3), std::string("a\0b", 3), 1},
        {std::string("a\0b", 3), std::string("a\0c", 3), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names_equal(u8(c.a), c.a.size(), u8(c.b), c.b.size()), c.equal)
            << "'" << c.a << "' vs '" << c.b << "'";
    }
}

TEST_F(Tables, FindChild) {
    EXPECT_EQ(find(0, "var"), 1);
    EXPECT_EQ(find(0, "VAR"), -1) << "case-sensitive";
    EXPECT_EQ(find(0, ""), -1) << "the root is not its own child";
    EXPECT_EQ(find(0, "lib"), -1) << "only direct children";
    EXPECT_EQ(find(1, "lib"), 4);
    EXPECT_EQ(find(3, "var"), -1);

    // Files and directories match alike; a freed row matches nothing.
    int64_t f = alloc(KIND_FILE, 3, "passwd");
    EXPECT_EQ(find(3, "passwd"), f);
    free_row(f);
    EXPECT_EQ(find(3, "passwd"), -1);

    // A freed row keeps its parent but stops counting; the same name under two
    // parents is told apart by the parent.
    int64_t a = alloc(KIND_FILE, 2, "same");
    int64_t b = alloc(KIND_FILE, 3, "same");
    EXPECT_EQ(find(2, "same"), a);
    EXPECT_EQ(find(3, "same"), b);

    // When two rows carry the same name (the table does not prevent it), the
    // lowest wins.
    int64_t c = alloc(KIND_FILE, 3, "same");
    EXPECT_GT(c, b);
    EXPECT_EQ(find(3, "same"), b);
}

TEST_F(Tables, HasChildrenAndQtype) {
    EXPECT_EQ(node_has_children(0), 1);
    EXPECT_EQ(node_has_children(1), 1);
    EXPECT_EQ(node_has_children(6), 0) << "/var/www is empty";
    EXPECT_EQ(node_has_children(200), 0) << "a free row";

    int64_t f = alloc(KIND_FILE, 6, "index.html");
    EXPECT_EQ(node_has_children(6), 1);
    EXPECT_EQ(node_has_children(f), 0) << "a file";
    EXPECT_EQ(node_qtype(f), P9_QTFILE);
    free_row(f);
    EXPECT_EQ(node_has_children(6), 0) << "a freed child does not count";
    EXPECT_EQ(node_qtype(f), P9_QTFILE) << "a free row";
    EXPECT_EQ(node_qtype(6), P9_QTDIR);
}

// ---- Data slots and chunk chains ----

TEST_F(Tables, FirstChunkTakesSlotOne) {
    int64_t f = alloc(KIND_FILE, 3, "a");
    EXPECT_EQ(node_get_chunk(f, 0, 0), 0u) << "a hole without allocate";
    EXPECT_EQ(dataslot_used[1], 0);

    EXPECT_EQ(node_get_chunk(f, 0, 1), 1 * SLOT_CAP);
    EXPECT_EQ(node_slot_chain[f][0], 1);
    EXPECT_EQ(node_chain_len[f], 1u);
    EXPECT_EQ(dataslot_used[1], 1);

    // Asked again, with or without allocate: the same slot, no new one.
    EXPECT_EQ(node_get_chunk(f, 0, 0), SLOT_CAP);
    EXPECT_EQ(node_get_chunk(f, 0, 1), SLOT_CAP);
    EXPECT_EQ(dataslot_used[2], 0);
}

TEST_F(Tables, HolesBelowTheHighWaterMark) {
    int64_t f = alloc(KIND_FILE, 3, "sparse");
    EXPECT_EQ(node_get_chunk(f, 3, 1), SLOT_CAP);
    EXPECT_EQ(node_chain_len[f], 4u);
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(node_slot_chain[f][c], -1) << c;
        EXPECT_EQ(node_get_chunk(f, static_cast<uint64_t>(c), 0), 0u) << c;
    }
    // Filling a hole below the mark leaves the mark alone.
    EXPECT_EQ(node_get_chunk(f, 1, 1), 2 * SLOT_CAP);
    EXPECT_EQ(node_chain_len[f], 4u);
    // The last chunk raises it to 64.
    EXPECT_EQ(node_get_chunk(f, CHAIN_LEN - 1, 1), 3 * SLOT_CAP);
    EXPECT_EQ(node_chain_len[f], CHAIN_LEN);
}

TEST_F(Tables, ChunkPastTheChainIsNothing) {
    int64_t f = alloc(KIND_FILE, 3, "big");
    for (uint64_t chunk : {CHAIN_LEN, CHAIN_LEN + 1, uint64_t{1} << 40, ~uint64_t{0}}) {
        for (int32_t allocate : {0, 1}) {
            EXPECT_EQ(node_get_chunk(f, chunk, allocate), 0u) << chunk;
        }
    }
    EXPECT_EQ(node_chain_len[f], 0u);
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) EXPECT_EQ(dataslot_used[s], 0) << s;
}

TEST_F(Tables, PoolExhaustedChangesNothing) {
    int64_t a = alloc(KIND_FILE, 3, "a");
    int64_t b = alloc(KIND_FILE, 3, "b");
    for (uint64_t c = 0; c < DATA_SLOT_CAP - 1; c++) {
        ASSERT_EQ(node_get_chunk(a, c, 1), (c + 1) * SLOT_CAP) << c;
    }
    EXPECT_EQ(node_get_chunk(a, DATA_SLOT_CAP - 1, 1), 0u) << "63 usable slots only";
    EXPECT_EQ(node_get_chunk(b, 0, 1), 0u);
    EXPECT_EQ(node_slot_chain[a][63], -1);
    EXPECT_EQ(node_chain_len[a], 63u);
    EXPECT_EQ(node_slot_chain[b][0], -1);
    EXPECT_EQ(node_chain_len[b], 0u);
}

TEST_F(Tables, AllocationZeroesTheSlot) {
    int64_t a = alloc(KIND_FILE, 3, "secret");
    uint64_t off = node_get_chunk(a, 0, 1);
    ASSERT_EQ(off, SLOT_CAP);
    std::memset(node_data.data() + off, 0xA5, SLOT_CAP);
    node_release_chain(a);

    int64_t b = alloc(KIND_FILE, 3, "other");
    uint64_t off2 = node_get_chunk(b, 5, 1);
    ASSERT_EQ(off2, off) << "the freed slot is reused";
    for (uint64_t i = 0; i < SLOT_CAP; i++) {
        ASSERT_EQ(node_data[off2 + i], 0) << "byte " << i << " of the old file leaked";
    }
    // Neighbouring slots are not touched by the zeroing.
    node_data[2 * SLOT_CAP] = 0x5A;
    node_data[SLOT_CAP - 1] = 0x5A;
    ASSERT_EQ(node_get_chunk(b, 6, 1), 2 * SLOT_CAP);
    EXPECT_EQ(node_data[SLOT_CAP - 1], 0x5A) << "slot 0 is never written";
    // A slot that already belongs to the chunk is not cleared when asked again.
    node_data[off2 + 10] = 7;
    EXPECT_EQ(node_get_chunk(b, 5, 1), off2);
    EXPECT_EQ(node_data[off2 + 10], 7);
}

TEST_F(Tables, ReleaseFreesExactlyTheChain) {
    int64_t keep = alloc(KIND_FILE, 3, "keep");
    int64_t gone = alloc(KIND_FILE, 3, "gone");
    // Slots 1..9 handed out alternately so that "gone" holds 2, 5 and 9.
    const std::vector<std::pair<int64_t, uint64_t>> plan = {
        {keep, 0}, {gone, 0}, {keep, 1}, {keep, 2},  {gone, 7},
        {keep, 3}, {keep, 4}, {keep, 5}, {gone, 40},
    };
    for (size_t i = 0; i < plan.size(); i++) {
        ASSERT_EQ(node_get_chunk(plan[i].first, plan[i].second, 1), (i + 1) * SLOT_CAP);
    }
    ASSERT_EQ(node_slot_chain[gone][0], 2);
    ASSERT_EQ(node_slot_chain[gone][7], 5);
    ASSERT_EQ(node_slot_chain[gone][40], 9);

    node_release_chain(gone);
    EXPECT_EQ(node_chain_len[gone], 0u);
    for (int32_t e : node_slot_chain[gone]) EXPECT_EQ(e, -1);
    for (uint64_t s = 0; s < DATA_SLOT_CAP; s++) {
        bool freed = s == 2 || s == 5 || s == 9;
        bool used_before = s <= 9;
        EXPECT_EQ(dataslot_used[s], used_before && !freed ? 1 : 0) << "slot " << s;
    }
    EXPECT_EQ(node_chain_len[keep], 6u);
    EXPECT_EQ(node_slot_chain[keep][0], 1);

    // Lowest free slot first on reuse.
    EXPECT_EQ(node_get_chunk(keep, 10, 1), 2 * SLOT_CAP);
    EXPECT_EQ(node_get_chunk(keep, 11, 1), 5 * SLOT_CAP);
    EXPECT_EQ(node_get_chunk(keep, 12, 1), 9 * SLOT_CAP);
    EXPECT_EQ(node_get_chunk(keep, 13, 1), 10 * SLOT_CAP);
}

TEST_F(Tables, ReleaseOfAnEmptyChainDoesNothing) {
    int64_t f = alloc(KIND_FILE, 3, "empty");
    node_release_chain(f);
    EXPECT_EQ(node_chain_len[f], 0u);
    EXPECT_EQ(dataslot_used[0], 1) << "slot 0 stays reserved";
    node_release_chain(f);
    EXPECT_EQ(node_get_chunk(f, 0, 1), SLOT_CAP);
}

TEST_F(Tables, Bcopy) {
    std::vector<uint8_t> src(40);
    for (size_t i = 0; i < src.size(); i++) src[i] = static_cast<uint8_t>(i + 1);

    for (uint64_t n : {0u, 1u, 7u, 8u, 9u, 13u, 16u, 31u}) {
        for (uint64_t misalign : {0u, 1u, 3u}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " misalign=" << misalign);
            std::vector<uint8_t> dst(48, 0xEE);
            tolvane::bcopy(dst.data() + misalign, src.data() + misalign, n);
            for (size_t i = 0; i < dst.size(); i++) {
                bool inside = i >= misalign && i < misalign + n;
                ASSERT_EQ(dst[i], inside ? src[i] : 0xEE) << "byte " << i;
            }
        }
    }
    // A zero count touches nothing even with pointers that must not be read.
    tolvane::bcopy(nullptr, nullptr, 0);
}

// ---- Fid table ----

TEST_F(Tables, FidAllocLookupFree) {
    EXPECT_EQ(fid_lookup(0), -1);
    EXPECT_EQ(fid_alloc(10, 3), 0);
    EXPECT_EQ(fid_alloc(P9_NOFID, 4), 1) << "0xffffffff is an ordinary fid";
    EXPECT_EQ(fid_alloc(0, 0), 2);
    EXPECT_EQ(fid_lookup(10), 0);
    EXPECT_EQ(fid_lookup(P9_NOFID), 1);
    EXPECT_EQ(fid_node[1], 4);
    EXPECT_EQ(fid_lookup(0), 2);
    EXPECT_EQ(fid_lookup(11), -1);

    fid_free(0);
    EXPECT_EQ(fid_lookup(10), -1) << "a freed fid is unknown";
    EXPECT_EQ(fid_alloc(10, 5), 0) << "and can be established again, lowest slot first";
    EXPECT_EQ(fid_node[0], 5);
}

TEST_F(Tables, FreedSlotComesBackClosedAndClean) {
    for (uint32_t f = 0; f < 4; f++) ASSERT_EQ(fid_alloc(100 + f, 0), f);
    fid_open[3] = 1;
    fid_mode[3] = P9_ORDWR | P9_OTRUNC;
    fid_dirty[3] = 1;
    fid_free(3);
    EXPECT_EQ(fid_used[3], 0);
    EXPECT_EQ(fid_open[3], 0);
    EXPECT_EQ(fid_dirty[3], 0);

    EXPECT_EQ(fid_alloc(200, 7), 3);
    EXPECT_EQ(fid_id[3], 200u);
    EXPECT_EQ(fid_node[3], 7);
    EXPECT_EQ(fid_open[3], 0);
    EXPECT_EQ(fid_mode[3], 0);
    EXPECT_EQ(fid_dirty[3], 0);
}

TEST_F(Tables, SixtyFourFidsFillTheTable) {
    for (uint32_t f = 0; f < FID_CAP; f++) ASSERT_EQ(fid_alloc(1000 + f, 1), f);
    auto used_before = fid_used;
    auto ids_before = fid_id;
    EXPECT_EQ(fid_alloc(5000, 2), -1);
    EXPECT_EQ(fid_used, used_before);
    EXPECT_EQ(fid_id, ids_before);
    EXPECT_EQ(fid_lookup(5000), -1);
    EXPECT_EQ(fid_lookup(1063), 63);

    fid_free(40);
    fid_free(20);
    EXPECT_EQ(fid_alloc(5000, 2), 20);
    EXPECT_EQ(fid_alloc(5001, 2), 40);
    EXPECT_EQ(fid_alloc(5002, 2), -1);
}

TEST_F(Tables, LookupTakesTheLowestSlotOfADuplicate) {
    // The table does not prevent a number twice (handlers do); the scan order
    // decides.
    ASSERT_EQ(fid_alloc(9, 1), 0);
    ASSERT_EQ(fid_alloc(9, 2), 1);
    EXPECT_EQ(fid_lookup(9), 0);
    fid_free(0);
    EXPECT_EQ(fid_lookup(9), 1);
}

}  // namespace
