// Large Twrites, whose data the handler reads from the stream itself: straight
// into the file's slots past its length, through the request buffer below it.
// The file must come out as if the whole message had been read first; a
// refused or shortened write must leave the stream at the next request; and
// a write cut off by the end of the stream must leave the file as it was.
#include <algorithm>

#include "fixture.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

constexpr uint32_t F = 1;                        // the file under test, open ORDWR
constexpr uint32_t G = 2;                        // a second file or fid
constexpr uint64_t MAX_DATA = SRV_BUF_CAP - 23;  // the largest Twrite's data

class WriteStreamTest : public HandlerTest {
protected:
    // A fresh server with /etc/f open ORDWR on F.
    void fresh() {
        TearDown();
        SetUp();
        file = row(create_in(F, {"etc"}, "f", ORDWR));
    }
    // The whole file read back through requests, chunk by chunk.
    Bytes contents(uint32_t fid) {
        Bytes all;
        for (;;) {
            Bytes part = read(fid, all.size(), 0xFFFFFFFF);
            if (part.empty()) return all;
            all.insert(all.end(), part.begin(), part.end());
        }
    }
    // What a write does to a model of the file's bytes.
    static void apply(Bytes* model, uint64_t offset, const Bytes& data) {
        if (model->size() < offset + data.size()) model->resize(offset + data.size(), 0);
        std::copy(data.begin(), data.end(), model->begin() + static_cast<ptrdiff_t>(offset));
    }
    // Sends two requests at once, so that a handler that reads too few or too
    // many bytes of the first shows in the second; returns both replies.
    std::pair<Bytes, Bytes> call_pair(const Bytes& first, const Bytes& second) {
        Bytes both = first;
        both.insert(both.end(), second.begin(), second.end());
        wire->send(both);
        EXPECT_EQ(wire->step(), 1);
        Bytes r1 = wire->recv();
        EXPECT_EQ(wire->step(), 1);
        Bytes r2 = wire->recv();
        EXPECT_EQ(tag_of(r1), tag_of(first));
        EXPECT_EQ(tag_of(r2), tag_of(second));
        return {r1, r2};
    }
    static uint32_t rwrite_count(const Bytes& r) {
        uint16_t t;
        uint32_t count = 0xFFFFFFFF;
        EXPECT_GT(p9_decode_rwrite(r.data(), r.size(), &t, &count), 0) << rerror_text(r);
        return count;
    }
    int64_t file = -1;
};

TEST_F(WriteStreamTest, LargeWritesOverExistingBytesMatchAModel) {
    struct Case {
        const char* what;
        uint64_t initial;    // bytes written at 0 first
        uint64_t sparse_at;  // if not 0, one byte written there first
        bool other_file;     // a second file takes the slot after the file's first
        uint64_t offset;
    } cases[] = {
        {"new file, three chunks", 0, 0, false, SLOT_CAP - 1},
        {"straddles the length", 100000, 0, false, 50000},
        {"below the length, then past it", 70000, 0, false, 0},
        {"into holes below the length", 0, 200000, false, 10},
        {"next chunk's slot not adjacent", 10, 0, true, 0},
        {"past the length, gap left", 5000, 0, false, 90000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        Bytes model;
        if (c.initial > 0) {
            Bytes first = pattern(c.initial, 5);
            ASSERT_EQ(write(F, 0, first), c.initial);
            apply(&model, 0, first);
        }
        if (c.sparse_at > 0) {
            ASSERT_EQ(write(F, c.sparse_at, {0xAB}), 1u);
            apply(&model, c.sparse_at, {0xAB});
        }
        if (c.other_file) {
            create_in(G, {"etc"}, "g", ORDWR);
            ASSERT_EQ(write(G, 0, pattern(10, 77)), 10u);
        }
        Bytes data = pattern(MAX_DATA, 9);
        EXPECT_EQ(write(F, c.offset, data), MAX_DATA);
        apply(&model, c.offset, data);
        EXPECT_EQ(node_size[file], model.size());
        EXPECT_EQ(contents(F), model);
        if (c.other_file) {
            EXPECT_EQ(contents(G), pattern(10, 77));
        }
    }
}

// The stream ends inside a write, at every kind of place in its body. The
// server stops; its tables must show the file exactly as before the write
// (bytes past the length zero again, the slots it took free), and serving a
// new stream from those tables must give the old contents back.
TEST_F(WriteStreamTest, AWriteCutOffByTheEndOfTheStreamChangesNothing) {
    // Initial file 70000 bytes (chunks 0 and 1); the write covers 30000 to
    // 161049: bytes below 70000 go through the buffer, the rest straight
    // into chunks 1 and 2.
    constexpr uint64_t HEAD = 23;
    struct Case {
        const char* what;
        uint64_t initial, offset;
        uint64_t sent;  // bytes of the message sent before the hang-up
    } cases[] = {
        {"inside the fixed fields", 70000, 30000, 15},
        {"inside the bytes below the length, chunk 0", 70000, 30000, HEAD + 1000},
        {"inside the bytes below the length, chunk 1", 70000, 30000, HEAD + 35536 + 100},
        {"inside the bytes past the length, chunk 1", 70000, 30000, HEAD + 40000 + 100},
        {"inside the bytes past the length, chunk 2", 70000, 30000, HEAD + 100000},
        {"one byte short", 70000, 30000, HEAD + MAX_DATA - 1},
        {"inside the bytes past FILE_CAP", 0, FILE_CAP - 1000, HEAD + 5000},
        {"inside the stored bytes before FILE_CAP", 0, FILE_CAP - 1000, HEAD + 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        Bytes before = pattern(c.initial, 3);
        if (c.initial > 0) {
            ASSERT_EQ(write(F, 0, before), c.initial);
        }
        uint32_t vers = stat(F).qid.version;
        const uint64_t size = node_size[file];
        const uint64_t chain_len = node_chain_len[file];
        const auto chain = node_slot_chain[file];
        const auto used = dataslot_used;
        auto slot_bytes = [&] {
            Bytes all;
            for (uint64_t ch = 0; ch < chain_len; ch++) {
                if (chain[ch] < 0) continue;
                const uint8_t* s = node_data.data() + static_cast<uint64_t>(chain[ch]) * SLOT_CAP;
                all.insert(all.end(), s, s + SLOT_CAP);
            }
            return all;
        };
        const Bytes slots_before = slot_bytes();

        Bytes w = twrite(tag(), F, c.offset, pattern(MAX_DATA, 11));
        wire->send(Bytes(w.begin(), w.begin() + static_cast<ptrdiff_t>(c.sent)));
        wire->hang_up();
        EXPECT_EQ(wire->step(), -1);
        EXPECT_FALSE(wire->has_reply());

        EXPECT_EQ(node_size[file], size);
        EXPECT_EQ(node_chain_len[file], chain_len);
        EXPECT_TRUE(node_slot_chain[file] == chain);
        EXPECT_TRUE(dataslot_used == used);
        EXPECT_TRUE(slot_bytes() == slots_before);

        wire = std::make_unique<Wire>();
        EXPECT_EQ(contents(F), before);
        EXPECT_EQ(stat(F).qid.version, vers);
        // The slots given back are taken again by the next write.
        EXPECT_EQ(write(F, c.offset, pattern(MAX_DATA, 12)),
                  c.offset < FILE_CAP - MAX_DATA ? MAX_DATA : FILE_CAP - c.offset);
    }
}

TEST_F(WriteStreamTest, RefusedLargeWritesLeaveTheStreamAtTheNextRequest) {
    fresh();
    Bytes content = pattern(1000, 4);
    ASSERT_EQ(write(F, 0, content), 1000u);
    clunk(F);
    walk_new(G, {"etc", "f"});
    open(G, OREAD);
    walk_new(3, {"var"});  // walked, not open
    walk_new(4, {"etc", "f"});
    open(4, OREAD);
    walk_new(5, {"etc"});
    open(5, OREAD);
    const struct {
        uint32_t fid;
        const char* text;
    } cases[] = {
        {9, "tolvane: unknown fid"},
        {3, "tolvane: fid not open"},
        {4, "tolvane: fid not open for write"},
        {5, "tolvane: fid not open for write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fid);
        auto [w, r] =
            call_pair(twrite(tag(), c.fid, 0, pattern(MAX_DATA, 6)), tread(tag(), G, 0, 100));
        EXPECT_EQ(rerror_text(w), c.text);
        EXPECT_EQ(rread_data(r), Bytes(content.begin(), content.begin() + 100));
    }
    EXPECT_EQ(node_size[file], 1000u);
    EXPECT_EQ(stat(G).qid.version, 1u);

    // A directory fid open for writing: one that created it.
    walk_new(6, {"etc"});
    create(6, "d", P9_DMDIR, ORDWR);
    auto [w, r] = call_pair(twrite(tag(), 6, 0, pattern(MAX_DATA, 6)), tread(tag(), G, 0, 100));
    EXPECT_EQ(rerror_text(w), "tolvane: cannot write a directory");
    EXPECT_EQ(rread_data(r), Bytes(content.begin(), content.begin() + 100));

    // The two limits: a write that starts at FILE_CAP, and one that starts
    // past what the image has room for beside a sparse 4-MiB file.
    walk_new(7, {"etc", "f"});
    open(7, ORDWR);
    create_in(8, {"etc"}, "big", ORDWR);
    ASSERT_EQ(write(8, FILE_CAP - 1, {1}), 1u);
    const uint64_t room = SNAP_CAP - SNAP_FIXED - FILE_CAP;
    for (uint64_t off : {FILE_CAP, room}) {
        auto [w2, r2] =
            call_pair(twrite(tag(), 7, off, pattern(MAX_DATA, 6)), tread(tag(), G, 0, 100));
        EXPECT_EQ(rerror_text(w2), off == FILE_CAP ? "tolvane: file too large"
                                                   : "tolvane: snapshot capacity exhausted");
        EXPECT_EQ(rread_data(r2), Bytes(content.begin(), content.begin() + 100));
    }
    EXPECT_EQ(node_size[file], 1000u);
}

// Bytes that are not stored (past FILE_CAP, past the image's room, or once
// the pool is dry) are still read off the stream.
TEST_F(WriteStreamTest, BytesDroppedFromALargeWriteAreStillConsumed) {
    fresh();
    Bytes data = pattern(MAX_DATA, 8);
    auto [w, r] = call_pair(twrite(tag(), F, FILE_CAP - 1000, data), tstat(tag(), F));
    EXPECT_EQ(rwrite_count(w), 1000u);
    EXPECT_EQ(type_of(r), P9_RSTAT);
    EXPECT_EQ(read(F, FILE_CAP - 1000, 2000), Bytes(data.begin(), data.begin() + 1000));

    create_in(G, {"etc"}, "g", ORDWR);
    const uint64_t room = SNAP_CAP - SNAP_FIXED - FILE_CAP;
    auto [wr, rr] = call_pair(twrite(tag(), G, room - 700, data), tstat(tag(), G));
    EXPECT_EQ(rwrite_count(wr), 700u);
    EXPECT_EQ(type_of(rr), P9_RSTAT);
    EXPECT_EQ(read(G, room - 700, 2000), Bytes(data.begin(), data.begin() + 700));
    EXPECT_EQ(tln_serialize(), SNAP_CAP);

    // Leave one free slot: the write into a new file stores one chunk.
    fresh();
    for (uint64_t c = 0; c < DATA_SLOT_CAP - 2; c++) {
        ASSERT_EQ(write(F, c * SLOT_CAP, {static_cast<uint8_t>(c + 1)}), 1u);
    }
    create_in(G, {"etc"}, "g", ORDWR);
    auto [w2, r2] = call_pair(twrite(tag(), G, 0, data), tread(tag(), F, SLOT_CAP, 1));
    EXPECT_EQ(rwrite_count(w2), SLOT_CAP);
    EXPECT_EQ(rread_data(r2), Bytes{2});
    EXPECT_EQ(node_size[row(stat(G).qid)], SLOT_CAP);
    EXPECT_EQ(read(G, 0, 0xFFFFFFFF), Bytes(data.begin(), data.begin() + SLOT_CAP));

    // Now the pool is dry: the next chunk is refused, the stream goes on.
    auto [w3, r3] = call_pair(twrite(tag(), G, SLOT_CAP, data), tread(tag(), F, 0, 1));
    EXPECT_EQ(rerror_text(w3), "tolvane: file-data pool exhausted");
    EXPECT_EQ(rread_data(r3), Bytes{1});
    EXPECT_EQ(node_size[row(stat(G).qid)], SLOT_CAP);
}

TEST_F(WriteStreamTest, MalformedLargeWritesStopTheServerAndStoreNothing) {
    const struct {
        const char* what;
        size_t at;
        uint8_t value;
    } cases[] = {
        {"count one more than the data", 19, 0xEA},  // 131049 = 0x1FFE9
        {"count one less than the data", 19, 0xE8},
        {"count above the size", 21, 0x02},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        Bytes w = twrite(tag(), F, 0, pattern(MAX_DATA, 2));
        ASSERT_EQ(w[19], 0xE9);
        w[c.at] = c.value;
        wire->send(w);
        EXPECT_EQ(wire->step(), -1);
        EXPECT_FALSE(wire->has_reply());
        EXPECT_EQ(node_size[file], 0u);
        EXPECT_EQ(std::count(dataslot_used.begin() + 1, dataslot_used.end(), 1), 0);
    }
    // Too short to hold the fixed fields.
    fresh();
    Bytes w = twrite(tag(), F, 0, {});
    w.resize(20);
    w[0] = 20;
    wire->send(w);
    EXPECT_EQ(wire->step(), -1);
    EXPECT_FALSE(wire->has_reply());
}

}  // namespace
}  // namespace tolvane_test
