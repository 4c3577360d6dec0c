// Data slots changing hands through the real request step. A slot is cleared
// only below its extent and outside the bytes the write that takes it stores,
// so these tests fill slots with non-zero bytes, free them every way there is
// (remove, truncating open, an image read over a used tree) and check that
// every byte a later file reads is either its own or zero.
#include <cstring>
#include <map>
#include <random>

#include "fixture.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

constexpr uint32_t F = 1;
constexpr uint64_t K64 = SLOT_CAP;

// n bytes, none of them zero, so a leaked byte never passes for a hole.
Bytes marked(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(0x80 | ((seed + i * 13) & 0x7F));
    return b;
}

class SlotReuseTest : public HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        // reset_server zeroed the pool, so extents of 0 are exact.
        dataslot_extent.fill(0);
    }
    // Creates /etc/<name> and leaves it open ORDWR on fid F.
    void create_file(std::string_view name) { create_in(F, {"etc"}, name, ORDWR); }
    void open_file(std::string_view name, uint8_t mode) {
        walk_new(F, {"etc", std::string(name)});
        open(F, mode);
    }
    void remove_file(std::string_view name) {
        walk_new(F, {"etc", std::string(name)});
        remove(F);
    }
    // Writes data at off through fid F in requests of at most one slot.
    uint64_t write_all(uint64_t off, const Bytes& data) {
        uint64_t done = 0;
        while (done < data.size()) {
            uint64_t n = std::min<uint64_t>(K64, data.size() - done);
            uint32_t got = write(F, off + done,
                                 Bytes(data.begin() + static_cast<ptrdiff_t>(done),
                                       data.begin() + static_cast<ptrdiff_t>(done + n)));
            done += got;
            if (got < n) break;
        }
        return done;
    }
    // The whole file through fid F, read one chunk at a time.
    Bytes read_whole(uint64_t size) {
        Bytes all;
        while (all.size() < size) {
            Bytes part = read(F, all.size(), static_cast<uint32_t>(K64));
            if (part.empty()) {
                ADD_FAILURE() << "read ends at " << all.size() << " of " << size;
                break;
            }
            all.insert(all.end(), part.begin(), part.end());
        }
        EXPECT_TRUE(read(F, size, 100).empty());
        return all;
    }
    // Checks the file at fid F against what it should hold.
    void expect_contents(const Bytes& want) {
        Bytes got = read_whole(want.size());
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            ASSERT_EQ(got[i], want[i]) << "byte " << i << " of " << want.size();
        }
    }
};

TEST_F(SlotReuseTest, AWriteIntoAReusedSlotReadsZerosAroundIt) {
    // One whole slot of non-zero bytes, freed by a remove.
    create_file("old");
    EXPECT_EQ(write(F, 0, marked(K64, 1)), K64);
    clunk(F);
    EXPECT_EQ(dataslot_extent[1], K64);
    remove_file("old");

    // The next file takes the same slot with ten bytes in its middle, then
    // grows its length past the slot with a write of nothing.
    create_file("new");
    Bytes ten = marked(10, 2);
    EXPECT_EQ(write(F, 30000, ten), 10u);
    EXPECT_EQ(node_slot_chain[fid_node[fid_lookup(F)]][0], 1) << "the freed slot is reused";
    EXPECT_EQ(dataslot_extent[1], 30010u);
    EXPECT_EQ(write(F, K64 + 5, {}), 0u);
    Bytes want(K64 + 5, 0);
    std::copy(ten.begin(), ten.end(), want.begin() + 30000);
    expect_contents(want);
}

TEST_F(SlotReuseTest, ASecondWriteIntoATakenSlotRaisesItsExtent) {
    // A 100-byte file, then a write far into the same slot: the slot's
    // extent must cover both, or the second write survives the next owner.
    create_file("a");
    EXPECT_EQ(write(F, 0, marked(100, 3)), 100u);
    EXPECT_EQ(dataslot_extent[1], 100u);
    EXPECT_EQ(write(F, 60000, marked(50, 4)), 50u);
    EXPECT_EQ(dataslot_extent[1], 60050u);
    EXPECT_EQ(write(F, 10, marked(5, 5)), 5u);
    EXPECT_EQ(dataslot_extent[1], 60050u) << "an extent never shrinks by a write";
    clunk(F);
    remove_file("a");

    create_file("b");
    Bytes one = marked(1, 6);
    EXPECT_EQ(write(F, 0, one), 1u);
    EXPECT_EQ(dataslot_extent[1], 1u);
    EXPECT_EQ(write(F, K64 - 1, one), 1u);
    Bytes want(K64, 0);
    want[0] = want[K64 - 1] = one[0];
    expect_contents(want);
}

TEST_F(SlotReuseTest, TruncatingOpenThenRewritingLess) {
    create_file("t");
    EXPECT_EQ(write_all(0, marked(3 * K64, 7)), 3 * K64);
    clunk(F);
    open_file("t", OWRITE | OTRUNC);
    Bytes small = marked(100, 8);
    EXPECT_EQ(write(F, 1000, small), 100u);  // chunk 0 again, from its middle
    EXPECT_EQ(write(F, 2 * K64 + 7, {}), 0u);
    clunk(F);
    open_file("t", OREAD);
    Bytes want(2 * K64 + 7, 0);
    std::copy(small.begin(), small.end(), want.begin() + 1000);
    expect_contents(want);
}

TEST_F(SlotReuseTest, AShortWriteAtADryPoolLeavesNothingBehind) {
    // "big" takes 62 of the 63 slots with non-zero bytes.
    create_file("big");
    EXPECT_EQ(write_all(0, marked(62 * K64, 9)), 62 * K64);
    clunk(F);
    // "b" gets the last slot for the first 6 bytes of its write; the rest is cut.
    create_file("b");
    EXPECT_EQ(write(F, K64 - 6, marked(20, 10)), 6u);
    EXPECT_EQ(node_size[fid_node[fid_lookup(F)]], K64);
    EXPECT_EQ(refused(twrite(tag(), F, K64, marked(20, 10))), "tolvane: file-data pool exhausted");
    clunk(F);
    remove_file("big");
    // The slots of "big" come back; "b" grows into one of them.
    open_file("b", ORDWR);
    Bytes one = marked(1, 11);
    EXPECT_EQ(write(F, 3 * K64 + 100, one), 1u);
    Bytes want(3 * K64 + 101, 0);
    Bytes six = marked(20, 10);
    std::copy(six.begin(), six.begin() + 6, want.begin() + (K64 - 6));
    want[3 * K64 + 100] = one[0];
    expect_contents(want);
}

TEST_F(SlotReuseTest, AllocatingLookupsClearWhatDirectWritesLeft) {
    // node_get_chunk with allocate hands out a slot the caller may fill
    // anywhere (the image reader does): the whole slot counts as written.
    create_file("x");
    int64_t n = fid_node[fid_lookup(F)];
    uint64_t off = node_get_chunk(n, 2, 1);
    ASSERT_NE(off, 0u);
    EXPECT_EQ(dataslot_extent[off / K64], K64);
    std::memset(node_data.data() + off, 0xA5, K64);
    clunk(F);
    remove_file("x");
    create_file("y");
    EXPECT_EQ(write(F, 0, marked(3, 12)), 3u);
    EXPECT_EQ(write(F, K64 - 1, {}), 0u);
    Bytes want(K64 - 1, 0);
    Bytes three = marked(3, 12);
    std::copy(three.begin(), three.end(), want.begin());
    expect_contents(want);
}

// Random writes, truncations, removes and image restores over eight files
// that keep trading slots, each file checked against a model of its bytes.
TEST_F(SlotReuseTest, RandomSequencesNeverShowAnotherFilesBytes) {
    std::mt19937 rng(7);
    auto pick = [&](uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
    };
    std::map<std::string, Bytes> model;
    Bytes saved_image;
    std::map<std::string, Bytes> saved_model;
    uint8_t seed = 0;

    for (int step = 0; step < 300; step++) {
        SCOPED_TRACE(step);
        std::string name = "f" + std::to_string(pick(0, 7));
        bool exists = model.count(name) != 0;
        uint64_t op = pick(0, 99);
        if (!exists || op < 55) {
            // A write: small or large, inside a chunk or across, near the
            // start or past the end; sometimes of nothing.
            if (exists) {
                open_file(name, ORDWR);
            } else {
                create_file(name);
                model[name] = {};
            }
            uint64_t off = pick(0, 3 * K64);
            uint64_t len = pick(0, 1) == 0 ? pick(0, 300) : pick(0, K64 + K64 / 2);
            if (pick(0, 9) == 0) len = 0;
            Bytes data = marked(len, ++seed);
            if (len == 0) {
                EXPECT_EQ(write(F, off, data), 0u);
            } else {
                EXPECT_EQ(write_all(off, data), len);
            }
            Bytes& m = model[name];
            if (m.size() < off + len) m.resize(off + len, 0);
            std::copy(data.begin(), data.end(), m.begin() + static_cast<ptrdiff_t>(off));
            clunk(F);
        } else if (op < 70) {
            open_file(name, OWRITE | OTRUNC);
            clunk(F);
            model[name].clear();
        } else if (op < 85) {
            remove_file(name);
            model.erase(name);
        } else if (op < 92 || saved_image.empty()) {
            // Keep an image of the tree as it is now.
            uint64_t len = tln_serialize();
            ASSERT_GT(len, 0u);
            saved_image.assign(snap_buf.begin(), snap_buf.begin() + static_cast<ptrdiff_t>(len));
            saved_model = model;
        } else {
            // Read the kept image over the tree as it is now: the reader frees
            // every slot, dirty or not, and fills some of them again.
            std::copy(saved_image.begin(), saved_image.end(), snap_buf.begin());
            ASSERT_EQ(tln_deserialize(saved_image.size()), 1);
            model = saved_model;
        }
        // Every file, every time.
        for (const auto& [file, want] : model) {
            SCOPED_TRACE(file);
            open_file(file, OREAD);
            expect_contents(want);
            clunk(F);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace tolvane_test
