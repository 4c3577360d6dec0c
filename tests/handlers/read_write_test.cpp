// Tread and Twrite through the real request step: file contents across slots,
// holes, the file and pool limits, and directory listings.
#include "fixture.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

constexpr uint32_t F = 1;  // the fid a test's file is open on

class ReadWriteTest : public HandlerTest {
protected:
    // A new empty file /etc/<name>, open ORDWR on fid F.
    Qid new_file(std::string_view name = "f") { return create_in(F, {"etc"}, name, ORDWR); }
    int64_t used_slots() {
        int64_t n = 0;
        for (uint64_t s = 1; s < DATA_SLOT_CAP; s++) n += dataslot_used[s];
        return n;
    }
};

class ListingTest : public HandlerTest {
protected:
    // Fid F open for reading on the directory at path.
    void open_dir(const std::vector<std::string>& dir) {
        walk_new(F, dir);
        open(F, OREAD);
    }
    // Reads the open directory with count until an empty reply; each reply
    // must hold whole records. Returns the concatenation.
    Bytes read_all(uint32_t count, size_t* replies) {
        Bytes all;
        *replies = 0;
        for (;;) {
            Bytes part = read(F, all.size(), count);
            if (part.empty()) break;
            EXPECT_LE(part.size(), count);
            EXPECT_FALSE(parse_listing(part).empty());
            all.insert(all.end(), part.begin(), part.end());
            if (++*replies > 1000) {
                ADD_FAILURE() << "listing does not end";
                break;
            }
        }
        return all;
    }
};

TEST_F(ReadWriteTest, TenBytesWrittenAndReadBack) {
    Qid q = new_file();
    Bytes r = call(twrite(0x0506, F, 0, pattern(10)));
    EXPECT_EQ(to_hex(r), "0B 00 00 00 77 06 05 0A 00 00 00");  // Rwrite count 10
    EXPECT_EQ(node_size[row(q)], 10u);
    EXPECT_EQ(stat(F).qid.version, 1u);
    EXPECT_EQ(fid_dirty[fid_lookup(F)], 1);

    Bytes rr = call(tread(0x0708, F, 0, 100));
    EXPECT_EQ(to_hex(rr), "15 00 00 00 75 08 07 0A 00 00 00 " + to_hex(pattern(10)));
    EXPECT_TRUE(read(F, 10, 100).empty());
    EXPECT_TRUE(read(F, 1u << 30, 100).empty());
    const Bytes ten = pattern(10);
    EXPECT_EQ(read(F, 3, 4), Bytes(ten.begin() + 3, ten.begin() + 7));
    EXPECT_EQ(stat(F).qid.version, 1u);  // reads change nothing
}

TEST_F(ReadWriteTest, WriteSpansSlotsAndReadsStopAtChunkEnds) {
    Qid q = new_file();
    Bytes data = pattern(100000, 9);
    EXPECT_EQ(write(F, 0, data), 100000u);
    EXPECT_EQ(node_slot_chain[row(q)][0], 1);
    EXPECT_EQ(node_slot_chain[row(q)][1], 2);
    EXPECT_EQ(node_chain_len[row(q)], 2u);
    EXPECT_EQ(used_slots(), 2);
    EXPECT_EQ(stat(F).qid.version, 1u);  // once per Twrite

    Bytes first = read(F, 0, 100000);
    EXPECT_EQ(first, Bytes(data.begin(), data.begin() + 65536));
    Bytes rest = read(F, 65536, 100000);
    EXPECT_EQ(rest, Bytes(data.begin() + 65536, data.end()));
    EXPECT_EQ(read(F, 65530, 100), Bytes(data.begin() + 65530, data.begin() + 65536));
    EXPECT_EQ(read(F, 0, 0xFFFFFFFF).size(), 65536u);
}

TEST_F(ReadWriteTest, LargestWriteInOneRequest) {
    new_file();
    // The largest Twrite that fits a 131072-byte message.
    Bytes data = pattern(SRV_BUF_CAP - 23, 3);
    EXPECT_EQ(write(F, 1000, data), data.size());
    EXPECT_EQ(used_slots(), 3);
    Bytes back;
    for (uint64_t off = 1000; off < 1000 + data.size();) {
        Bytes part = read(F, off, 0xFFFFFFFF);
        ASSERT_FALSE(part.empty());
        back.insert(back.end(), part.begin(), part.end());
        off += part.size();
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(read(F, 0, 1000), Bytes(1000, 0));
}

// A client that writes on after a short count (as WriteAt does) gets the
// bytes below the limit stored and then a refusal, not a count of 0 forever.
TEST_F(ReadWriteTest, FileLimitAt4MiB) {
    Qid q = new_file();
    const Bytes ten = pattern(10);
    uint64_t off = FILE_CAP - 4;
    Bytes rest = ten;
    std::string why;
    for (int tries = 0; tries < 10 && why.empty(); tries++) {
        Bytes r = call(twrite(tag(), F, off, rest));
        if (type_of(r) != P9_RWRITE) {
            why = rerror_text(r);
            break;
        }
        uint16_t t;
        uint32_t n;
        ASSERT_GE(p9_decode_rwrite(r.data(), r.size(), &t, &n), 0);
        off += n;
        rest.erase(rest.begin(), rest.begin() + n);
    }
    EXPECT_EQ(why, "tolvane: file too large");
    EXPECT_EQ(off, FILE_CAP);
    EXPECT_EQ(node_size[row(q)], FILE_CAP);
    EXPECT_EQ(node_chain_len[row(q)], CHAIN_LEN);
    EXPECT_EQ(read(F, FILE_CAP - 4, 10), Bytes(ten.begin(), ten.begin() + 4));
    EXPECT_TRUE(read(F, FILE_CAP, 10).empty());
    EXPECT_EQ(used_slots(), 1);
    EXPECT_EQ(stat(F).qid.version, 1u);  // the refused write changed nothing
}

TEST_F(ReadWriteTest, WritesStartingAtOrPastTheLimitAreRefusedAndChangeNothing) {
    Qid q = new_file();
    for (uint64_t off : {FILE_CAP, uint64_t{5000000}, UINT64_MAX - 3}) {  // the last end wraps
        EXPECT_EQ(refused(twrite(tag(), F, off, pattern(10))), "tolvane: file too large") << off;
    }
    EXPECT_EQ(node_size[row(q)], 0u);
    EXPECT_EQ(used_slots(), 0);
    EXPECT_EQ(stat(F).qid.version, 0u);
    // An empty write there is still a successful write that stores nothing.
    EXPECT_EQ(write(F, FILE_CAP + 1, {}), 0u);
    EXPECT_EQ(node_size[row(q)], 0u);
    EXPECT_EQ(stat(F).qid.version, 1u);
    EXPECT_EQ(write(F, FILE_CAP, {}), 0u);
    EXPECT_EQ(node_size[row(q)], FILE_CAP);
    EXPECT_EQ(stat(F).qid.version, 2u);
}

// Every file that holds a slot goes into the image at its whole length, so a
// write may not take the image past SNAP_CAP: two files with one byte near
// 4 MiB would need an 8 MiB image.
TEST_F(ReadWriteTest, WritesKeepTheImageWithinItsCapacity) {
    constexpr uint64_t ROOM = SNAP_CAP - SNAP_FIXED - FILE_CAP;  // left beside one full file
    static_assert(ROOM == 1009784);
    new_file("a");
    EXPECT_EQ(write(F, FILE_CAP - 1, {1}), 1u);
    walk_new(2, {"etc"});
    Qid b = create(2, "b", 0644, ORDWR);
    EXPECT_EQ(refused(twrite(tag(), 2, FILE_CAP - 1, {2})), "tolvane: snapshot capacity exhausted");
    EXPECT_EQ(node_size[row(b)], 0u);
    EXPECT_EQ(node_chain_len[row(b)], 0u);
    EXPECT_EQ(stat(2).qid.version, 0u);
    EXPECT_EQ(tln_serialize(), SNAP_FIXED + FILE_CAP);

    // Up to exactly SNAP_CAP: a write that straddles the room is cut there.
    EXPECT_EQ(write(2, ROOM - 3, pattern(10)), 3u);
    EXPECT_EQ(snap_contents, SNAP_CAP - SNAP_FIXED);
    EXPECT_EQ(tln_serialize(), SNAP_CAP);
    EXPECT_EQ(refused(twrite(tag(), 2, ROOM, {3})), "tolvane: snapshot capacity exhausted");
    // Bytes inside the length still go in; a count-0 write may not grow a
    // file that holds a slot past the room, but may grow one that holds none.
    EXPECT_EQ(write(2, 0, pattern(100)), 100u);
    EXPECT_EQ(refused(twrite(tag(), 2, ROOM + 1, {})), "tolvane: snapshot capacity exhausted");
    EXPECT_EQ(write(2, ROOM, {}), 0u);
    walk_new(3, {"etc"});
    Qid c = create(3, "c", 0644, ORDWR);
    EXPECT_EQ(write(3, FILE_CAP, {}), 0u);
    EXPECT_EQ(refused(twrite(tag(), 3, 0, {4})), "tolvane: snapshot capacity exhausted");
    EXPECT_EQ(node_size[row(c)], FILE_CAP);
    EXPECT_EQ(tln_serialize(), SNAP_CAP);

    // A truncating open gives b's room back, and a remove gives a's.
    clunk(2);
    walk_new(2, {"etc", "b"});
    open(2, ORDWR | OTRUNC);
    EXPECT_EQ(snap_contents, FILE_CAP);
    EXPECT_EQ(write(2, ROOM - 1, {5}), 1u);
    EXPECT_EQ(refused(twrite(tag(), 2, ROOM, {5})), "tolvane: snapshot capacity exhausted");
    remove(F);
    EXPECT_EQ(snap_contents, ROOM);
    EXPECT_EQ(write(3, 0, {4}), 1u);
    EXPECT_EQ(tln_serialize(), SNAP_CAP);
    EXPECT_EQ(refused(twrite(tag(), 2, ROOM, {6})), "tolvane: snapshot capacity exhausted");
}

TEST_F(ReadWriteTest, EmptyWritesExtendTheLengthAndReadAsZeros) {
    Qid q = new_file();
    EXPECT_EQ(write(F, 1000000, {}), 0u);
    EXPECT_EQ(node_size[row(q)], 1000000u);
    EXPECT_EQ(used_slots(), 0);
    EXPECT_EQ(read(F, 0, 100), Bytes(100, 0));
    EXPECT_EQ(read(F, 65530, 100), Bytes(6, 0));    // up to the chunk's end
    EXPECT_EQ(read(F, 999990, 100), Bytes(10, 0));  // up to the length
    EXPECT_TRUE(read(F, 1000000, 100).empty());
    EXPECT_EQ(read(F, 0, 0xFFFFFFFF), Bytes(65536, 0));
}

TEST_F(ReadWriteTest, EmptyWriteAtZeroBumpsVersionAndDirties) {
    walk_new(2, {"etc"});
    Qid q = create(2, "f", 0, OWRITE);
    clunk(2);
    walk_new(F, {"etc", "f"});
    open(F, OWRITE);
    EXPECT_EQ(fid_dirty[fid_lookup(F)], 0);
    EXPECT_EQ(write(F, 0, {}), 0u);
    EXPECT_EQ(fid_dirty[fid_lookup(F)], 1);
    EXPECT_EQ(node_vers[row(q)], 1u);
    EXPECT_EQ(node_size[row(q)], 0u);
}

TEST_F(ReadWriteTest, SparseFileReadsZerosBeforeAndAfterTheHoleIsWritten) {
    Qid q = new_file();
    int64_t n = row(q);
    EXPECT_EQ(write(F, 200000, {0x5A}), 1u);
    EXPECT_EQ(node_size[n], 200001u);
    EXPECT_EQ(used_slots(), 1);
    EXPECT_EQ(node_slot_chain[n][3], 1);
    for (int c = 0; c < 3; c++) EXPECT_EQ(node_slot_chain[n][c], -1);
    EXPECT_EQ(node_chain_len[n], 4u);

    EXPECT_EQ(read(F, 0, 0xFFFFFFFF), Bytes(65536, 0));
    EXPECT_EQ(read(F, 200000, 10), Bytes{0x5A});
    // Bytes of the slot before the first write in it read as zeros too.
    EXPECT_EQ(read(F, 3 * 65536, 8), Bytes(8, 0));

    // Fill part of the hole in chunk 1; the rest of the chunk reads as zeros.
    EXPECT_EQ(write(F, 65536 + 100, pattern(50)), 50u);
    EXPECT_EQ(node_slot_chain[n][1], 2);
    Bytes chunk1 = read(F, 65536, 0xFFFFFFFF);
    Bytes want(65536, 0);
    const Bytes fifty = pattern(50);
    std::copy(fifty.begin(), fifty.end(), want.begin() + 100);
    EXPECT_EQ(chunk1, want);
    EXPECT_EQ(read(F, 0, 16), Bytes(16, 0));  // chunk 0 is still a hole
}

TEST_F(ReadWriteTest, ReusedSlotsNeverShowAnotherFilesBytes) {
    new_file("old");
    EXPECT_EQ(write(F, 0, Bytes(65536, 0xEE)), 65536u);
    remove(F);
    Qid q = new_file("new");
    EXPECT_EQ(write(F, 100, {1, 2, 3}), 3u);
    EXPECT_EQ(node_slot_chain[row(q)][0], 1);  // the freed slot, reused
    Bytes want(103, 0);
    want[100] = 1, want[101] = 2, want[102] = 3;
    EXPECT_EQ(read(F, 0, 1000), want);
}

TEST_F(ReadWriteTest, PoolHoldsExactly63Slots) {
    Qid q = new_file();
    for (uint64_t c = 0; c < DATA_SLOT_CAP - 1; c++) {
        ASSERT_EQ(write(F, c * SLOT_CAP + 7, {static_cast<uint8_t>(c)}), 1u);
    }
    EXPECT_EQ(used_slots(), 63);
    EXPECT_EQ(dataslot_used[0], 1);
    uint64_t size = node_size[row(q)];
    uint32_t vers = stat(F).qid.version;

    // A write into a hole chunk: refused, nothing changed.
    EXPECT_EQ(refused(twrite(tag(), F, 63 * SLOT_CAP, pattern(5))),
              "tolvane: file-data pool exhausted");
    walk_new(2, {"etc"});
    create(2, "g", 0, OWRITE);
    EXPECT_EQ(refused(twrite(tag(), 2, 0, pattern(5))), "tolvane: file-data pool exhausted");
    EXPECT_EQ(node_size[row(q)], size);
    EXPECT_EQ(stat(F).qid.version, vers);
    EXPECT_EQ(used_slots(), 63);

    // Wholly inside chunks that have slots: fine. Running into a hole: short.
    EXPECT_EQ(write(F, 10, pattern(100)), 100u);
    EXPECT_EQ(write(F, 62 * SLOT_CAP, pattern(70000)), 65536u);
    EXPECT_EQ(node_size[row(q)], 63 * SLOT_CAP);
    // An empty write needs no slot.
    EXPECT_EQ(write(2, 0, {}), 0u);

    // Removing the file frees all 63; they are taken again lowest first.
    remove(F);
    EXPECT_EQ(used_slots(), 0);
    EXPECT_EQ(write(2, 3 * SLOT_CAP, pattern(1)), 1u);
    EXPECT_EQ(dataslot_used[1], 1);
    EXPECT_EQ(used_slots(), 1);
}

TEST_F(ReadWriteTest, AccessModes) {
    make({"etc"}, "f");
    const struct {
        uint8_t mode;
        bool can_read, can_write;
    } cases[] = {
        {OREAD, true, false},
        {OWRITE, false, true},
        {ORDWR, true, true},
        {OEXEC, true, false},
        {uint8_t(ORDWR | OTRUNC), true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.mode));
        walk_new(F, {"etc", "f"});
        open(F, c.mode);
        Bytes r = call(tread(tag(), F, 0, 10));
        if (c.can_read) {
            EXPECT_EQ(type_of(r), P9_RREAD);
        } else {
            EXPECT_EQ(rerror_text(r), "tolvane: fid not open for read");
        }
        Bytes w = call(twrite(tag(), F, 0, pattern(2)));
        if (c.can_write) {
            EXPECT_EQ(type_of(w), P9_RWRITE);
        } else {
            EXPECT_EQ(rerror_text(w), "tolvane: fid not open for write");
        }
        clunk(F);
    }
}

TEST_F(ReadWriteTest, ReadRefusalOrder) {
    make({"etc"}, "f");
    EXPECT_EQ(refused(tread(tag(), 9, 0, 10)), "tolvane: unknown fid");
    walk_new(F, {"etc", "f"});
    EXPECT_EQ(refused(tread(tag(), F, 0, 10)), "tolvane: fid not open");
    open(F, OWRITE);
    EXPECT_EQ(refused(tread(tag(), F, 0, 10)), "tolvane: fid not open for read");
    walk_new(2, {"etc", "f"});
    remove(2);
    EXPECT_EQ(refused(tread(tag(), F, 0, 10)), "tolvane: file removed");
}

TEST_F(ReadWriteTest, WriteRefusalOrder) {
    make({"etc"}, "f");
    EXPECT_EQ(refused(twrite(tag(), 9, 0, pattern(1))), "tolvane: unknown fid");
    walk_new(F, {"var"});
    EXPECT_EQ(refused(twrite(tag(), F, 0, pattern(1))), "tolvane: fid not open");
    open(F, OREAD);
    EXPECT_EQ(refused(twrite(tag(), F, 0, pattern(1))), "tolvane: fid not open for write");
    walk_new(2, {"etc"});
    create(2, "d", P9_DMDIR, ORDWR);
    EXPECT_EQ(refused(twrite(tag(), 2, 0, pattern(1))), "tolvane: cannot write a directory");
    walk_new(3, {"etc", "f"});
    open(3, OWRITE);
    walk_new(4, {"etc", "f"});
    remove(4);
    EXPECT_EQ(refused(twrite(tag(), 3, 0, pattern(1))), "tolvane: file removed");
}

// The limits come after the fid and node checks, in this order: the file
// limit, the image's capacity, the pool.
TEST_F(ReadWriteTest, WriteRefusalOrderAtTheLimits) {
    new_file("e");
    for (uint64_t c = 0; c < DATA_SLOT_CAP - 1; c++) ASSERT_EQ(write(F, c * SLOT_CAP, {1}), 1u);
    const uint64_t room =
        SNAP_CAP - SNAP_FIXED - node_size[static_cast<uint64_t>(row(stat(F).qid))];
    ASSERT_EQ(room, 1140855u);  // and the pool is dry
    make({"etc"}, "g");
    walk_new(2, {"etc", "g"});
    open(2, OREAD);
    walk_new(3, {"etc"});
    create(3, "d", P9_DMDIR, ORDWR);
    walk_new(4, {"etc", "g"});
    open(4, ORDWR);
    const struct {
        uint32_t fid;
        uint64_t offset;
        const char* text;
    } cases[] = {
        {2, FILE_CAP, "tolvane: fid not open for write"},
        {3, FILE_CAP, "tolvane: cannot write a directory"},
        {4, FILE_CAP, "tolvane: file too large"},
        {4, room, "tolvane: snapshot capacity exhausted"},
        {4, 0, "tolvane: file-data pool exhausted"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refused(twrite(tag(), c.fid, c.offset, pattern(3))), c.text) << c.offset;
    }
    EXPECT_EQ(stat(4).length, 0u);
    EXPECT_EQ(stat(4).qid.version, 0u);
}

TEST_F(ReadWriteTest, UndecodableRequestsStopTheServer) {
    new_file();
    Bytes w = twrite(tag(), F, 0, pattern(10));
    w[19] = 11;  // count one more than the data
    wire->send(w);
    EXPECT_EQ(wire->step(), -1);
    EXPECT_FALSE(wire->has_reply());
}

TEST_F(ListingTest, SkeletonRootListsItsThreeDirectories) {
    open_dir({});
    Bytes data = read(F, 0, 0xFFFFFFFF);
    auto list = parse_listing(data);
    ASSERT_EQ(names_of(list), (std::vector<std::string>{"var", "usr", "etc"}));
    for (size_t i = 0; i < list.size(); i++) {
        EXPECT_EQ(list[i].qid, (Qid{P9_QTDIR, 0, i + 2}));
        EXPECT_EQ(list[i].mode, MODE_DIR);
        EXPECT_EQ(list[i].length, 0u);
        EXPECT_EQ(list[i].uid, "velmor");
        EXPECT_EQ(list[i].gid, "velmor");
        EXPECT_EQ(list[i].muid, "velmor");
        EXPECT_EQ(list[i].record_len, 70u);
    }
    EXPECT_TRUE(read(F, data.size(), 1000).empty());
    EXPECT_TRUE(read(F, data.size() + 1000, 1000).empty());
}

TEST_F(ListingTest, ListingRecordsAreTheRstatRecords) {
    make({"var", "www"}, "index.html");
    make({"var", "www"}, "css", P9_DMDIR);
    open_dir({"var", "www"});
    Bytes data = read(F, 0, 0xFFFFFFFF);
    Bytes want;
    for (const char* name : {"index.html", "css"}) {
        walk_new(2, {"var", "www", name});
        Bytes r = call(tstat(tag(), 2));
        want.insert(want.end(), r.begin() + 9, r.end());
        clunk(2);
    }
    EXPECT_EQ(to_hex(data), to_hex(want));
}

TEST_F(ListingTest, ReadsContinueWithWholeRecords) {
    open_dir({"var"});  // lib, cache, www: records of 70, 72 and 70 bytes
    EXPECT_EQ(read(F, 0, 1000).size(), 212u);
    EXPECT_EQ(names_of(parse_listing(read(F, 0, 141))), (std::vector<std::string>{"lib"}));
    EXPECT_EQ(names_of(parse_listing(read(F, 0, 142))), (std::vector<std::string>{"lib", "cache"}));
    EXPECT_EQ(names_of(parse_listing(read(F, 70, 72))), (std::vector<std::string>{"cache"}));
    EXPECT_EQ(names_of(parse_listing(read(F, 142, 70))), (std::vector<std::string>{"www"}));
    EXPECT_TRUE(read(F, 212, 70).empty());
    EXPECT_TRUE(read(F, 212, 0).empty());

    EXPECT_EQ(refused(tread(tag(), F, 0, 69)),
              "tolvane: read count too small for a directory entry");
    EXPECT_EQ(refused(tread(tag(), F, 70, 71)),
              "tolvane: read count too small for a directory entry");
    EXPECT_EQ(refused(tread(tag(), F, 0, 0)),
              "tolvane: read count too small for a directory entry");
    for (uint64_t off : {1, 69, 71, 141, 143, 211}) {
        SCOPED_TRACE(off);
        EXPECT_EQ(refused(tread(tag(), F, off, 1000)), "tolvane: bad directory offset");
    }
}

TEST_F(ListingTest, EmptiedDirectoryListsNothing) {
    make({"etc"}, "a");
    make({"etc"}, "b", P9_DMDIR);
    for (const char* name : {"a", "b"}) {
        walk_new(2, {"etc", name});
        remove(2);
    }
    open_dir({"etc"});
    Bytes r = call(tread(0x0909, F, 0, 1000));
    EXPECT_EQ(to_hex(r), "0B 00 00 00 75 09 09 00 00 00 00");
    EXPECT_TRUE(read(F, 0, 0).empty());
}

TEST_F(ListingTest, ListingFollowsNodeNumbersNotCreationOrder) {
    make({"usr"}, "first");   // row 11
    make({"usr"}, "second");  // row 12
    make({"usr"}, "third");   // row 13
    walk_new(2, {"usr", "first"});
    remove(2);
    make({"usr"}, "fourth");  // takes row 11 again
    EXPECT_EQ(names_of(list({"usr"})), (std::vector<std::string>{"fourth", "second", "third"}));
}

TEST_F(ListingTest, FullTableInOneDirectoryReadWithSmallCounts) {
    // Every free row becomes a 64-byte-named child of /usr: 373 records of
    // 131 bytes, 48863 bytes in all.
    std::vector<std::string> names;
    for (int64_t i = 0; i < FREE_ROWS; i++) {
        std::string name = std::to_string(i);
        name += std::string(NAME_CAP - name.size(), i % 2 ? 'd' : 'f');
        make({"usr"}, name, i % 2 ? P9_DMDIR : 0);
        names.push_back(name);
    }
    open_dir({"usr"});
    Bytes whole = read(F, 0, 0xFFFFFFFF);
    ASSERT_EQ(whole.size(), 373u * 131u);
    auto list = parse_listing(whole);
    ASSERT_EQ(names_of(list), names);
    for (size_t i = 0; i < list.size(); i++) {
        EXPECT_EQ(list[i].qid.path, SKELETON_ROWS + 1 + i);
        EXPECT_EQ(list[i].qid.type, i % 2 ? P9_QTDIR : P9_QTFILE);
    }

    const struct {
        uint32_t count;
        size_t replies;
    } cases[] = {{131, 373}, {261, 373}, {262, 187}, {1000, 54}, {8192, 7}, {48863, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        size_t replies;
        EXPECT_EQ(read_all(c.count, &replies), whole);
        EXPECT_EQ(replies, c.replies);
    }
    EXPECT_EQ(refused(tread(tag(), F, 0, 130)),
              "tolvane: read count too small for a directory entry");
    EXPECT_EQ(refused(tread(tag(), F, 131 * 200 + 64, 1000)), "tolvane: bad directory offset");
}

}  // namespace
}  // namespace tolvane_test
