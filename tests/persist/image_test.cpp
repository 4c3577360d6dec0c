// The snapshot image in process: the writer's bytes, the reader's rebuild of
// the tree, and every image the reader must refuse without touching the tree.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "bad_images.h"
#include "persist_util.h"
#include "support.h"
#include "tolvane/tolvane.h"

using namespace tolvane;
using namespace tolvane_test;
using persist_test::bad_images;
using persist_test::FIXED;
using persist_test::get_le;
using persist_test::good_image;
using persist_test::ImageDesc;
using persist_test::OFF_CHAINLEN;
using persist_test::OFF_KIND;
using persist_test::OFF_NAME;
using persist_test::OFF_NAMELEN;
using persist_test::OFF_PARENT;
using persist_test::OFF_SIZE;
using persist_test::OFF_VERS;
using persist_test::put_le;

namespace {

// ---- Building a tree through the tables, as the handlers do ----

int64_t mk(uint8_t kind, int64_t parent, std::string_view name) {
    int64_t n =
        node_alloc(kind, parent, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    EXPECT_GE(n, 0) << "node_alloc " << name;
    return n;
}

// Writes data at off the way the write handler does: a slot for each chunk
// touched, the size grown to the end of the write.
void put(int64_t n, uint64_t off, const Bytes& data) {
    uint64_t done = 0;
    while (done < data.size()) {
        uint64_t at = off + done;
        uint64_t in_chunk = at % SLOT_CAP;
        uint64_t step = std::min<uint64_t>(data.size() - done, SLOT_CAP - in_chunk);
        uint64_t base = node_get_chunk(n, at / SLOT_CAP, 1);
        ASSERT_NE(base, 0u) << "pool exhausted";
        for (uint64_t i = 0; i < step; i++) node_data[base + in_chunk + i] = data[done + i];
        done += step;
    }
    node_size[n] = std::max<uint64_t>(node_size[n], off + data.size());
    node_vers[n]++;
}

// What a client reads from file n: its size in bytes, holes as zeros.
Bytes contents(int64_t n) {
    Bytes out(node_size[n], 0);
    for (uint64_t off = 0; off < out.size(); off++) {
        uint64_t base = node_get_chunk(n, off / SLOT_CAP, 0);
        if (base != 0) out[off] = node_data[base + off % SLOT_CAP];
    }
    return out;
}

int slots_used() {
    int k = 0;
    for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) k += dataslot_used[s];
    return k;
}

// ---- Whole-tree state, for "the tree is exactly as it was" ----

struct TreeState {
    std::array<uint8_t, NODE_CAP> kind;
    std::array<int64_t, NODE_CAP> parent;
    std::array<std::array<uint8_t, NAME_CAP>, NODE_CAP> name;
    std::array<uint64_t, NODE_CAP> namelen, size, chain_len;
    std::array<uint32_t, NODE_CAP> vers;
    std::array<std::array<int32_t, CHAIN_LEN>, NODE_CAP> chain;
    std::array<uint8_t, DATA_SLOT_CAP> used;
    Bytes data;
};

TreeState capture() {
    TreeState s;
    s.kind = node_kind;
    s.parent = node_parent;
    s.name = node_name;
    s.namelen = node_namelen;
    s.size = node_size;
    s.chain_len = node_chain_len;
    s.vers = node_vers;
    s.chain = node_slot_chain;
    s.used = dataslot_used;
    s.data.assign(node_data.begin(), node_data.end());
    return s;
}

// "" when equal, else the first difference found. A restore sets the chain
// of every row to -1 while rows never allocated since start-up hold zeros,
// and slots it frees keep their old bytes; `exact` false compares chains of
// in-use rows and contents of used slots only.
std::string diff(const TreeState& a, const TreeState& b, bool exact = true) {
    std::ostringstream o;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        bool chains = exact || a.kind[n] != KIND_FREE;
        if (a.kind[n] != b.kind[n])
            o << "kind of row " << n;
        else if (a.parent[n] != b.parent[n])
            o << "parent of row " << n;
        else if (a.name[n] != b.name[n])
            o << "name of row " << n;
        else if (a.namelen[n] != b.namelen[n])
            o << "name length of row " << n;
        else if (a.size[n] != b.size[n])
            o << "size of row " << n;
        else if (a.vers[n] != b.vers[n])
            o << "version of row " << n;
        else if (a.chain_len[n] != b.chain_len[n])
            o << "chain length of row " << n;
        else if (chains && a.chain[n] != b.chain[n])
            o << "chain of row " << n;
        if (!o.str().empty()) return o.str();
    }
    if (a.used != b.used) return "slot map";
    for (uint64_t s = 0; s < DATA_SLOT_CAP; s++) {
        if (!exact && a.used[s] == 0) continue;
        if (!std::equal(a.data.begin() + s * SLOT_CAP, a.data.begin() + (s + 1) * SLOT_CAP,
                        b.data.begin() + s * SLOT_CAP)) {
            return "contents of slot " + std::to_string(s);
        }
    }
    return "";
}

Bytes image_bytes(uint64_t len) {
    return Bytes(snap_buf.begin(), snap_buf.begin() + len);
}

Bytes serialize() {
    uint64_t len = tln_serialize();
    EXPECT_NE(len, 0u);
    return image_bytes(len);
}

int32_t load(const Bytes& img) {
    std::copy(img.begin(), img.end(), snap_buf.begin());
    return tln_deserialize(img.size());
}

class Image : public ::testing::Test {
protected:
    void SetUp() override { reset_server(); }
};

// ---- Accessors ----

TEST_F(Image, AccessorsAreLittleEndianAndAdvance) {
    EXPECT_EQ(snap_put_u64(100, 0x0102030405060708ull), 108u);
    EXPECT_EQ(to_hex(Bytes(snap_buf.begin() + 100, snap_buf.begin() + 108)),
              "08 07 06 05 04 03 02 01");
    EXPECT_EQ(snap_get_u64(100), 0x0102030405060708ull);
    EXPECT_EQ(snap_put_u32(200, 0xA1B2C3D4u), 204u);
    EXPECT_EQ(to_hex(Bytes(snap_buf.begin() + 200, snap_buf.begin() + 204)), "D4 C3 B2 A1");
    EXPECT_EQ(snap_get_u32(200), 0xA1B2C3D4u);
    // The last positions of the buffer.
    EXPECT_EQ(snap_put_u64(SNAP_CAP - 8, ~0ull), SNAP_CAP);
    EXPECT_EQ(snap_get_u64(SNAP_CAP - 8), ~0ull);
    EXPECT_EQ(snap_put_u32(SNAP_CAP - 4, 0x80000001u), SNAP_CAP);
    EXPECT_EQ(snap_get_u32(SNAP_CAP - 4), 0x80000001u);
    EXPECT_EQ(snap_get_u64(SNAP_CAP - 8), 0x80000001FFFFFFFFull);
}

// ---- Writing ----

TEST_F(Image, SkeletonIsTheFixedPartByteForByte) {
    Bytes img = serialize();
    ASSERT_EQ(img.size(), 38792u);
    EXPECT_EQ(std::string(img.begin(), img.begin() + 8), "TLNIMG03");
    for (uint64_t i = 8; i <= 18; i++) EXPECT_EQ(img[i], 1) << "kind byte " << i;
    for (uint64_t i = 19; i <= 391; i++) ASSERT_EQ(img[i], 0) << "kind byte " << i;
    const int64_t parents[11] = {0, 0, 0, 0, 1, 1, 1, 4, 7, 5, 9};
    for (uint64_t n = 0; n < 11; n++) EXPECT_EQ(get_le(img, OFF_PARENT + 8 * n, 8), parents[n]);
    Bytes row1(img.begin() + OFF_NAME + 64, img.begin() + OFF_NAME + 128);
    Bytes want_row1(64, 0);
    want_row1[0] = 'v', want_row1[1] = 'a', want_row1[2] = 'r';
    EXPECT_EQ(row1, want_row1);
    EXPECT_EQ(get_le(img, OFF_NAMELEN + 8, 8), 3u);
    EXPECT_EQ(get_le(img, OFF_NAMELEN + 8 * 10, 8), 8u);  // "archives"
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        ASSERT_EQ(get_le(img, OFF_SIZE + 8 * n, 8), 0u);
        ASSERT_EQ(get_le(img, OFF_VERS + 4 * n, 4), 0u);
        ASSERT_EQ(get_le(img, OFF_CHAINLEN + 8 * n, 8), 0u);
    }
    // The whole image, against the independent description of the skeleton.
    EXPECT_EQ(img, persist_test::skeleton_desc().encode());

    // Read back over a different tree: the same eleven directories return.
    TreeState fresh = capture();
    int64_t f = mk(KIND_FILE, 3, "passwd");
    put(f, 0, bytes_pattern(10, 1));
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(diff(capture(), fresh, false), "");
    EXPECT_EQ(node_kind[11], KIND_FREE);
    EXPECT_EQ(slots_used(), 0);
}

TEST_F(Image, FileOf100000BytesFollowsLowerRows) {
    int64_t a = mk(KIND_FILE, 3, "a");
    int64_t b = mk(KIND_FILE, 3, "b");
    ASSERT_EQ(a, 11);
    ASSERT_EQ(b, 12);
    Bytes da = bytes_pattern(100000, 2), db = bytes_pattern(5, 3);
    put(b, 0, db);  // b takes slot 1 before a: the image still goes by row
    put(a, 0, da);
    Bytes img = serialize();
    ASSERT_EQ(img.size(), FIXED + 100000 + 5);
    EXPECT_EQ(Bytes(img.begin() + FIXED, img.begin() + FIXED + 100000), da);
    EXPECT_EQ(Bytes(img.end() - 5, img.end()), db);
    EXPECT_EQ(get_le(img, OFF_SIZE + 8 * 11, 8), 100000u);
    EXPECT_EQ(get_le(img, OFF_CHAINLEN + 8 * 11, 8), 2u);
    EXPECT_EQ(get_le(img, OFF_VERS + 4 * 11, 4), 1u);
    EXPECT_EQ(get_le(img, OFF_VERS + 4 * 3, 4), 0u);

    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(contents(a), da);
    EXPECT_EQ(contents(b), db);
    // Slots are handed out afresh by row: a gets 1 and 2, b gets 3.
    EXPECT_EQ(node_slot_chain[11][0], 1);
    EXPECT_EQ(node_slot_chain[11][1], 2);
    EXPECT_EQ(node_slot_chain[12][0], 3);
    EXPECT_EQ(node_chain_len[11], 2u);
    EXPECT_EQ(node_chain_len[12], 1u);
    EXPECT_EQ(slots_used(), 3);
    EXPECT_EQ(node_vers[11], 1u);
    // Written again, the image is the same.
    EXPECT_EQ(serialize(), img);
}

TEST_F(Image, SparseFileStoresZerosAndRestoresWithoutASlotForThem) {
    int64_t f = mk(KIND_FILE, 1, "sparse");
    put(f, 70000, Bytes{0x5A});
    ASSERT_EQ(node_size[f], 70001u);
    ASSERT_EQ(node_chain_len[f], 2u);
    Bytes img = serialize();
    ASSERT_EQ(img.size(), FIXED + 70001);
    Bytes want(70001, 0);
    want[70000] = 0x5A;
    EXPECT_EQ(Bytes(img.begin() + FIXED, img.end()), want);

    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(contents(f), want);
    EXPECT_EQ(node_slot_chain[f][0], -1) << "the zero chunk takes no slot";
    EXPECT_EQ(node_slot_chain[f][1], 1);
    EXPECT_EQ(node_chain_len[f], 2u);
    EXPECT_EQ(slots_used(), 1);
    EXPECT_EQ(serialize(), img);
}

TEST_F(Image, ChainLengthEndsAtTheHighestChunkWithASlot) {
    // Slots that hold only zeros are not given back on restore; a file whose
    // slots are all zero keeps its size and reads as zeros, with no chain.
    int64_t f = mk(KIND_FILE, 0, "f");
    put(f, 0, bytes_pattern(10, 4));
    put(f, 2 * SLOT_CAP, Bytes(SLOT_CAP, 0));
    put(f, 3 * SLOT_CAP, Bytes(100, 0));
    int64_t z = mk(KIND_FILE, 0, "z");
    put(z, 5, Bytes(20, 0));
    int64_t g = mk(KIND_FILE, 0, "g");
    put(g, SLOT_CAP + 1, Bytes{7});
    ASSERT_EQ(node_chain_len[f], 4u);
    Bytes cf = contents(f), cz = contents(z), cg = contents(g);

    Bytes img = serialize();
    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(contents(f), cf);
    EXPECT_EQ(contents(z), cz);
    EXPECT_EQ(contents(g), cg);
    EXPECT_EQ(node_chain_len[f], 1u);
    EXPECT_EQ(node_chain_len[z], 0u);
    EXPECT_EQ(node_size[z], 25u);
    EXPECT_EQ(node_chain_len[g], 2u);
    // Row then chunk order, lowest slot first.
    EXPECT_EQ(node_slot_chain[f][0], 1);
    EXPECT_EQ(node_slot_chain[g][1], 2);
    EXPECT_EQ(node_slot_chain[g][0], -1);
    EXPECT_EQ(slots_used(), 2);
    for (int64_t n : {f, z, g}) {
        for (uint64_t c = node_chain_len[n]; c < CHAIN_LEN; c++) {
            ASSERT_EQ(node_slot_chain[n][c], -1) << "row " << n << " chunk " << c;
        }
    }
}

TEST_F(Image, RemovedRowIsStoredAndComesBack) {
    Wire w;
    ASSERT_EQ(type_of(w.call(tversion(1, 8192))), P9_RVERSION);
    ASSERT_EQ(type_of(w.call(tattach(1, 0))), P9_RATTACH);
    for (uint32_t i = 0; i < 2; i++) {
        ASSERT_EQ(type_of(w.call(twalk(1, 0, 10 + i, {"etc"}))), P9_RWALK);
        std::string name = i == 0 ? "gone" : "kept";
        ASSERT_EQ(type_of(w.call(tcreate(1, 10 + i, name, 0644, P9_ORDWR))), P9_RCREATE);
        ASSERT_EQ(type_of(w.call(twrite(1, 10 + i, 0, bytes_pattern(3000, i)))), P9_RWRITE);
    }
    Bytes r = w.call(tremove(1, 10));
    ASSERT_EQ(type_of(r), P9_RREMOVE) << rerror_text(r);
    ASSERT_EQ(node_kind[11], KIND_FREE);

    Bytes img = serialize();
    ASSERT_EQ(img.size(), FIXED + 3000) << "the removed file's contents are not stored";
    EXPECT_EQ(img[OFF_KIND + 11], 0);
    EXPECT_EQ(get_le(img, OFF_SIZE + 8 * 11, 8), 0u);
    EXPECT_EQ(get_le(img, OFF_NAMELEN + 8 * 11, 8), 0u);
    EXPECT_EQ(get_le(img, OFF_CHAINLEN + 8 * 11, 8), 0u);
    EXPECT_EQ(get_le(img, OFF_PARENT + 8 * 11, 8), 3u) << "a freed row keeps its parent";
    EXPECT_EQ(std::string(img.begin() + OFF_NAME + 64 * 11, img.begin() + OFF_NAME + 64 * 11 + 4),
              "gone")
        << "and its name bytes";
    EXPECT_EQ(get_le(img, OFF_VERS + 4 * 3, 4), 3u) << "/etc: two creates and one remove";

    TreeState before = capture();
    Bytes kept = contents(12);
    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(node_kind[11], KIND_FREE);
    EXPECT_EQ(node_parent[11], 3);
    EXPECT_EQ(node_name[11], before.name[11]);
    EXPECT_EQ(contents(12), kept);
    EXPECT_EQ(serialize(), img);
}

TEST_F(Image, OneByteAtTheLastOffsetBesideOtherFilesRestores) {
    // A 4-MiB file holding one byte at its last offset, beside as much other
    // data as still fits an image. Each of its chunks but the last is a hole
    // stored as zeros; giving every stored chunk a slot would need 64 for it
    // alone.
    Wire w;
    ASSERT_EQ(type_of(w.call(tversion(1, 131072))), P9_RVERSION);
    ASSERT_EQ(type_of(w.call(tattach(1, 0))), P9_RATTACH);
    ASSERT_EQ(type_of(w.call(twalk(1, 0, 1, {"var"}))), P9_RWALK);
    ASSERT_EQ(type_of(w.call(tcreate(1, 1, "tail", 0644, P9_OWRITE))), P9_RCREATE);
    Bytes r = w.call(twrite(1, 1, FILE_CAP - 1, Bytes{0xEE}));
    ASSERT_EQ(type_of(r), P9_RWRITE) << rerror_text(r);
    ASSERT_EQ(type_of(w.call(twalk(1, 0, 2, {"usr"}))), P9_RWALK);
    ASSERT_EQ(type_of(w.call(tcreate(1, 2, "big", 0644, P9_OWRITE))), P9_RCREATE);
    Bytes big = bytes_pattern(15 * SLOT_CAP + 100, 9);
    for (uint64_t off = 0; off < big.size(); off += 65536) {
        Bytes part(big.begin() + off, big.begin() + std::min<uint64_t>(big.size(), off + 65536));
        ASSERT_EQ(type_of(w.call(twrite(1, 2, off, part))), P9_RWRITE);
    }
    ASSERT_EQ(slots_used(), 17);
    int64_t tail = 11, bign = 12;
    ASSERT_EQ(node_size[tail], FILE_CAP);
    Bytes img = serialize();
    ASSERT_EQ(img.size(), FIXED + FILE_CAP + big.size());

    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(slots_used(), 17);
    EXPECT_EQ(node_chain_len[tail], CHAIN_LEN);
    EXPECT_EQ(node_slot_chain[tail][63], 1);
    EXPECT_EQ(node_slot_chain[tail][62], -1);
    EXPECT_EQ(contents(bign), big);
    Bytes want(FILE_CAP, 0);
    want.back() = 0xEE;
    EXPECT_EQ(contents(tail), want);
    EXPECT_EQ(serialize(), img);
}

TEST_F(Image, ContentsUpToTheCapacityAndOneByteMore) {
    // Two files with one slot each whose sizes reach far into holes: the
    // writer stores every byte of a file that has any slot.
    int64_t a = mk(KIND_FILE, 0, "a");
    int64_t b = mk(KIND_FILE, 0, "b");
    put(a, 0, Bytes{1});
    put(b, 3, Bytes{2});
    node_size[a] = FILE_CAP;
    node_size[b] = SNAP_CAP - 38792 - FILE_CAP;
    ASSERT_EQ(node_size[b], 1009784u);
    TreeState before = capture();
    uint64_t len = tln_serialize();
    ASSERT_EQ(len, SNAP_CAP);
    EXPECT_EQ(snap_buf[FIXED], 1);
    EXPECT_EQ(snap_buf[FIXED + FILE_CAP + 3], 2);
    EXPECT_EQ(snap_buf[SNAP_CAP - 1], 0);
    Bytes img = image_bytes(len);

    node_size[b]++;
    TreeState over = capture();
    EXPECT_EQ(tln_serialize(), 0u);
    EXPECT_EQ(diff(capture(), over), "") << "writing changes nothing";

    // The full image reads back.
    reset_server();
    ASSERT_EQ(load(img), 1);
    EXPECT_EQ(diff(capture(), before, false), "");
}

TEST_F(Image, ExtraBytesAfterTheLastFileAreIgnored) {
    int64_t f = mk(KIND_FILE, 2, "f");
    put(f, 0, bytes_pattern(1234, 5));
    Bytes img = serialize();
    reset_server();
    ASSERT_EQ(load(img), 1);
    TreeState plain = capture();
    Bytes longer = img;
    Bytes junk = bytes_pattern(4096, 6);
    longer.insert(longer.end(), junk.begin(), junk.end());
    reset_server();
    ASSERT_EQ(load(longer), 1);
    EXPECT_EQ(diff(capture(), plain), "");
}

TEST_F(Image, WriterMatchesTheIndependentLayout) {
    // Nested directories, files with holes, a file of size 0, a free row
    // between used ones, versions, a 64-byte name.
    int64_t d = mk(KIND_DIR, 2, "share");
    int64_t e = mk(KIND_DIR, d, std::string(64, 'n'));
    int64_t f1 = mk(KIND_FILE, e, "one");
    int64_t gap = mk(KIND_FILE, 0, "gap");
    int64_t f2 = mk(KIND_FILE, 0, "two");
    int64_t f3 = mk(KIND_FILE, 0, "empty");
    Bytes d1 = bytes_pattern(70000, 7);
    put(f1, 0, d1);
    put(f2, 3 * SLOT_CAP + 5, Bytes{9, 8, 7});
    put(gap, 0, Bytes{1});
    node_release_chain(gap);
    node_kind[gap] = KIND_FREE;
    node_size[gap] = 0;
    node_namelen[gap] = 0;
    node_vers[d] = 0xDEADBEEF;

    ImageDesc desc = persist_test::skeleton_desc();
    desc.rows[d] = persist_test::dir_row(2, "share");
    desc.rows[d].vers = 0xDEADBEEF;
    desc.rows[e] = persist_test::dir_row(d, std::string(64, 'n'));
    desc.rows[f1] = persist_test::file_row(e, "one", 70000, 2);
    desc.rows[f1].vers = 1;
    desc.rows[gap] = persist_test::dir_row(0, "gap");
    desc.rows[gap].kind = 0;
    desc.rows[gap].namelen = 0;
    desc.rows[gap].vers = 1;
    desc.rows[f2] = persist_test::file_row(0, "two", 3 * SLOT_CAP + 8, 4);
    desc.rows[f2].vers = 1;
    desc.rows[f3] = persist_test::file_row(0, "empty", 0, 0);
    desc.data[f1] = d1;
    Bytes c2(3 * SLOT_CAP + 8, 0);
    c2[3 * SLOT_CAP + 5] = 9, c2[3 * SLOT_CAP + 6] = 8, c2[3 * SLOT_CAP + 7] = 7;
    desc.data[f2] = c2;
    Bytes img = serialize();
    ASSERT_EQ(img, desc.encode());

    TreeState before = capture();
    reset_server();
    ASSERT_EQ(load(img), 1);
    for (int64_t n = 0; n < static_cast<int64_t>(NODE_CAP); n++) {
        ASSERT_EQ(node_kind[n], before.kind[n]) << n;
        ASSERT_EQ(node_parent[n], before.parent[n]) << n;
        ASSERT_EQ(node_name[n], before.name[n]) << n;
        ASSERT_EQ(node_namelen[n], before.namelen[n]) << n;
        ASSERT_EQ(node_size[n], before.size[n]) << n;
        ASSERT_EQ(node_vers[n], before.vers[n]) << n;
    }
    EXPECT_EQ(contents(f1), d1);
    EXPECT_EQ(contents(f2), c2);
    EXPECT_EQ(serialize(), img);
}

// ---- Slot accounting ----

// An image of `files` one-chunk files under the root, each with a non-zero
// byte, plus (when zero_files) as many files whose stored bytes are zero.
Bytes many_files(int files, int zero_files) {
    ImageDesc d = persist_test::skeleton_desc();
    uint64_t n = 11;
    for (int i = 0; i < files + zero_files; i++, n++) {
        d.rows[n] = persist_test::file_row(0, "f" + std::to_string(i), 100, 1);
        Bytes c(100, 0);
        if (i < files) c[99] = static_cast<uint8_t>(i + 1);
        d.data[n] = c;
    }
    return d.encode();
}

TEST_F(Image, SlotsAreCountedOnlyForChunksThatHoldData) {
    ASSERT_EQ(load(many_files(63, 50)), 1);
    EXPECT_EQ(slots_used(), 63);
    EXPECT_EQ(contents(11 + 62)[99], 63);
    EXPECT_EQ(node_chain_len[11 + 63], 0u);

    reset_server();
    TreeState fresh = capture();
    EXPECT_EQ(load(many_files(64, 0)), 0);
    EXPECT_EQ(diff(capture(), fresh), "");

    // One file of 64 chunks: all with data is one too many; one chunk of
    // zeros makes it fit.
    ImageDesc d = persist_test::skeleton_desc();
    d.rows[11] = persist_test::file_row(0, "full", FILE_CAP, 64);
    Bytes c(FILE_CAP, 0);
    for (uint64_t k = 0; k < 64; k++) c[k * SLOT_CAP + k] = 1;
    d.data[11] = c;
    EXPECT_EQ(load(d.encode()), 0);
    EXPECT_EQ(diff(capture(), fresh), "");
    c[40 * SLOT_CAP + 40] = 0;
    d.data[11] = c;
    ASSERT_EQ(load(d.encode()), 1);
    EXPECT_EQ(contents(11), c);
    EXPECT_EQ(node_slot_chain[11][40], -1);
    EXPECT_EQ(node_slot_chain[11][41], 41);
    EXPECT_EQ(node_chain_len[11], 64u);
}

// ---- Refused images ----

TEST_F(Image, EveryRefusedImageLeavesTheTreeAsItWas) {
    Bytes good = good_image();
    {
        reset_server();
        ASSERT_EQ(load(good), 1) << "the unspoiled image is accepted";
        EXPECT_EQ(contents(11)[69999], 0x11);
        EXPECT_EQ(node_slot_chain[11][0], -1);
    }
    for (const auto& bad : bad_images()) {
        SCOPED_TRACE(bad.name);
        reset_server();
        // A tree that differs from both the skeleton and the image.
        int64_t f = mk(KIND_FILE, 3, "live");
        put(f, 0, bytes_pattern(200000, 8));
        node_vers[0] = 77;
        TreeState before = capture();
        Bytes img = good;
        bad.spoil(img);
        EXPECT_EQ(load(img), 0);
        EXPECT_EQ(snap_reason, bad.reason);
        EXPECT_EQ(snap_reason_row, bad.row);
        EXPECT_EQ(diff(capture(), before), "");
    }
}

TEST_F(Image, LengthBeyondTheBufferIsRefused) {
    Bytes good = good_image();
    std::copy(good.begin(), good.end(), snap_buf.begin());
    TreeState before = capture();
    EXPECT_EQ(tln_deserialize(SNAP_CAP + 1), 0);
    EXPECT_EQ(snap_reason, SNAP_BAD_LENGTH);
    EXPECT_EQ(tln_deserialize(~0ull), 0);
    EXPECT_EQ(diff(capture(), before), "");
}

}  // namespace
