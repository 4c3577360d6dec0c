// Tclunk, Tstat and Tremove through the real request step, the fids left on a
// removed node, and the save points with a real backing store.
#include <cstdlib>

#include "fixture.h"
#include "kernel/linux/standin.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

class ClunkTest : public HandlerTest {};
class StatTest : public HandlerTest {};
class RemoveTest : public HandlerTest {};
class StaleFidTest : public HandlerTest {};

const std::string VELMOR_HEX = "06 00 76 65 6C 6D 6F 72";
const std::string OWNERS_HEX = VELMOR_HEX + " " + VELMOR_HEX + " " + VELMOR_HEX;

TEST_F(ClunkTest, ReleasesOpenOrNotOnce) {
    walk_new(1, {"var"});
    EXPECT_EQ(to_hex(call(tclunk(0x0102, 1))), "07 00 00 00 79 02 01");
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");
    walk_new(1, {"var"});
    open(1, OREAD);
    clunk(1);
    EXPECT_EQ(fid_lookup(1), -1);
    // The number can be established again, closed and clean.
    walk_new(1, {"etc"});
    EXPECT_EQ(fid_open[fid_lookup(1)], 0);
}

TEST_F(ClunkTest, OrcloseRemovesNothing) {
    walk_new(1, {"etc"});
    create(1, "keep", 0, ORDWR | P9_ORCLOSE);
    clunk(1);
    EXPECT_EQ(names_of(list({"etc"})), std::vector<std::string>{"keep"});
}

TEST_F(ClunkTest, FreedSlotIsReusedLowestFirst) {
    for (uint32_t f = 1; f <= 5; f++) walk_new(f, {});
    clunk(3);
    clunk(2);
    walk_new(40, {});
    walk_new(41, {});
    walk_new(42, {});
    EXPECT_EQ(fid_lookup(40), 2);
    EXPECT_EQ(fid_lookup(41), 3);
    EXPECT_EQ(fid_lookup(42), 6);
}

TEST_F(StatTest, RootRecordIsByteExact) {
    EXPECT_EQ(to_hex(call(tstat(0x0304, ROOT_FID))),
              "4C 00 00 00 7D 04 03 43 00 "              // Rstat, n = 67
              "41 00 00 00 00 00 00 00 "                 // size 65, type 0, dev 0
              "80 00 00 00 00 01 00 00 00 00 00 00 00 "  // qid
              "FF 01 00 80 00 00 00 00 00 00 00 00 "     // mode, atime, mtime
              "00 00 00 00 00 00 00 00 00 00 " +         // length, empty name
                  OWNERS_HEX);
    Stat s = stat(ROOT_FID);
    EXPECT_EQ(s.name, "");
    EXPECT_EQ(s.qid, (Qid{P9_QTDIR, 0, 1}));
    EXPECT_EQ(s.mode, MODE_DIR);
    EXPECT_EQ(s.uid, "velmor");
}

TEST_F(StatTest, TenByteFileRecordIsByteExact) {
    create_in(1, {"etc"}, "a", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(10)), 10u);
    Bytes r = call(tstat(0x0506, 1));
    EXPECT_EQ(r.size(), 9u + 68u);
    EXPECT_EQ(to_hex(r),
              "4D 00 00 00 7D 06 05 44 00 "              // Rstat, n = 68
              "42 00 00 00 00 00 00 00 "                 // size 66
              "00 01 00 00 00 0C 00 00 00 00 00 00 00 "  // file, version 1, path 12
              "FF 01 00 00 00 00 00 00 00 00 00 00 "     // mode 0777
              "0A 00 00 00 00 00 00 00 01 00 61 " +      // length 10, name "a"
                  OWNERS_HEX);
}

TEST_F(StatTest, StatNeedsNoOpenAndChangesNothing) {
    walk_new(1, {"var", "lib", "dpkg"});
    Stat a = stat(1);
    Stat b = stat(1);
    EXPECT_EQ(a.name, "dpkg");
    EXPECT_EQ(a.qid, b.qid);
    EXPECT_EQ(a.record_len, 71u);
    open(1, OREAD);
    EXPECT_EQ(stat(1).qid, a.qid);
    EXPECT_EQ(refused(tstat(tag(), 77)), "tolvane: unknown fid");
}

TEST_F(StatTest, SixtyFourByteNameGivesTheLongestRecord) {
    std::string name(NAME_CAP, 'z');
    create_in(1, {"usr"}, name, OREAD);
    Stat s = stat(1);
    EXPECT_EQ(s.name, name);
    EXPECT_EQ(s.record_len, 131u);
}

TEST_F(RemoveTest, RremoveIsByteExact) {
    make({"etc"}, "f");
    walk_new(1, {"etc", "f"});
    EXPECT_EQ(to_hex(call(tremove(0x1234, 1))), "07 00 00 00 7B 34 12");
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");
    EXPECT_TRUE(list({"etc"}).empty());
}

TEST_F(RemoveTest, RootIsRefusedAndTheFidReleased) {
    EXPECT_EQ(refused(tremove(tag(), ROOT_FID)), "tolvane: cannot remove root");
    EXPECT_EQ(refused(tclunk(tag(), ROOT_FID)), "tolvane: unknown fid");
    attach(ROOT_FID);
    EXPECT_EQ(names_of(list({})), (std::vector<std::string>{"var", "usr", "etc"}));
}

TEST_F(RemoveTest, NonEmptyDirectoryIsRefusedUntilEmptied) {
    make({"usr"}, "d", P9_DMDIR);
    make({"usr", "d"}, "child");
    walk_new(1, {"usr", "d"});
    EXPECT_EQ(refused(tremove(tag(), 1)), "tolvane: directory not empty");
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");
    walk_new(2, {"usr", "d", "child"});
    remove(2);
    walk_new(1, {"usr", "d"});
    remove(1);
    EXPECT_TRUE(list({"usr"}).empty());
}

TEST_F(RemoveTest, RefusedRemoveDropsTheDirtyMark) {
    walk_new(1, {"usr"});
    create(1, "d", P9_DMDIR, OREAD);  // fid 1 now on /usr/d, dirty
    make({"usr", "d"}, "x");
    EXPECT_EQ(fid_dirty[fid_lookup(1)], 1);
    EXPECT_EQ(refused(tremove(tag(), 1)), "tolvane: directory not empty");
    EXPECT_EQ(fid_lookup(1), -1);
}

TEST_F(RemoveTest, ParentVersionRisesAndTheRowIsReused) {
    walk_new(9, {"etc"});
    Qid f = make({"etc"}, "f");
    create_in(1, {"etc"}, "g", OWRITE);
    write(1, 0, pattern(3));
    EXPECT_EQ(stat(9).qid.version, 2u);
    walk_new(2, {"etc", "f"});
    remove(2);
    EXPECT_EQ(stat(9).qid.version, 3u);
    EXPECT_EQ(names_of(list({"etc"})), std::vector<std::string>{"g"});
    EXPECT_EQ(node_kind[row(f)], KIND_FREE);
    EXPECT_EQ(node_namelen[row(f)], 0u);
    // The next create takes the freed row, version 0, with the row's next
    // generation in the high half of the qid path.
    EXPECT_EQ(make({"var"}, "h", P9_DMDIR), (Qid{P9_QTDIR, 0, f.path + (uint64_t{1} << 32)}));
    // Removing an opened, written file works too.
    remove(1);
    EXPECT_EQ(stat(9).qid.version, 4u);
}

// A node re-created after a remove has a qid path of its own, and every
// reply that carries its qid carries that path; a row never freed keeps
// path row + 1.
TEST_F(RemoveTest, ARecreatedNodeGetsANewQidPathEverywhere) {
    std::vector<uint64_t> paths;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        Qid made = make({}, "d", P9_DMDIR);
        paths.push_back(made.path);
        EXPECT_EQ(row(made), SKELETON_ROWS);
        EXPECT_EQ(made.path >> 32, static_cast<uint64_t>(round));
        EXPECT_EQ(attach(5, "d").path, made.path);
        clunk(5);
        EXPECT_EQ(walk(ROOT_FID, 5, {"d"}).at(0).path, made.path);
        EXPECT_EQ(stat(5).qid.path, made.path);
        EXPECT_EQ(open(5, OREAD).path, made.path);
        clunk(5);
        std::vector<Stat> root = list({});
        ASSERT_EQ(root.size(), 4u);
        EXPECT_EQ(root[3].qid.path, made.path);
        walk_new(5, {"d"});
        remove(5);
    }
    EXPECT_NE(paths[0], paths[1]);
    EXPECT_NE(paths[1], paths[2]);
    EXPECT_EQ(paths[0], static_cast<uint64_t>(SKELETON_ROWS) + 1);
    EXPECT_EQ(stat(ROOT_FID).qid.path, 1u);
}

TEST_F(RemoveTest, RemovingAFileFreesItsSlots) {
    create_in(1, {"etc"}, "three", OWRITE);
    Qid keep = create_in(2, {"etc"}, "keep", OWRITE);
    ASSERT_EQ(write(2, 0, pattern(1)), 1u);                      // slot 1
    ASSERT_EQ(write(1, 0, pattern(SLOT_CAP)), SLOT_CAP);         // slot 2
    ASSERT_EQ(write(1, SLOT_CAP, pattern(SLOT_CAP)), SLOT_CAP);  // slot 3
    ASSERT_EQ(write(1, 5 * SLOT_CAP, pattern(1)), 1u);           // slot 4
    remove(1);
    for (uint64_t s = 2; s <= 4; s++) EXPECT_EQ(dataslot_used[s], 0) << s;
    EXPECT_EQ(dataslot_used[1], 1);
    // A later write takes them again, lowest first.
    ASSERT_EQ(write(2, 1 * SLOT_CAP, pattern(1)), 1u);
    ASSERT_EQ(write(2, 7 * SLOT_CAP, pattern(1)), 1u);
    EXPECT_EQ(node_slot_chain[row(keep)][1], 2);
    EXPECT_EQ(node_slot_chain[row(keep)][7], 3);
}

TEST_F(RemoveTest, ElevenBytesAcceptedTenStopTheServer) {
    make({"etc"}, "f");
    walk_new(1, {"etc", "f"});
    Bytes longer = tremove(0x0101, 1);
    for (int i = 0; i < 4; i++) longer.push_back(0xEE);  // trailing bytes are ignored
    longer[0] = static_cast<uint8_t>(longer.size());
    EXPECT_EQ(to_hex(call(longer)), "07 00 00 00 7B 01 01");

    Bytes short_req = {10, 0, 0, 0, P9_TREMOVE, 1, 0, 1, 0, 0};
    wire->send(short_req);
    EXPECT_EQ(wire->step(), -1);
    EXPECT_FALSE(wire->has_reply());
}

TEST_F(RemoveTest, RefusalOrder) {
    EXPECT_EQ(refused(tremove(tag(), 50)), "tolvane: unknown fid");
    make({"usr"}, "d", P9_DMDIR);
    make({"usr", "d"}, "x");
    walk_new(1, {"usr", "d"});
    walk_new(2, {"usr", "d"});
    walk_new(3, {"usr", "d", "x"});
    remove(3);
    remove(1);  // empty now
    EXPECT_EQ(refused(tremove(tag(), 2)), "tolvane: file removed");
    EXPECT_EQ(refused(tremove(tag(), ROOT_FID)), "tolvane: cannot remove root");
}

// A fid whose node was removed through another fid.
TEST_F(StaleFidTest, RefusedEverythingButClunk) {
    make({"etc"}, "f");
    walk_new(1, {"etc", "f"});
    walk_new(2, {"etc", "f"});
    walk_new(3, {"etc", "f"});
    open(3, ORDWR);
    ASSERT_EQ(write(3, 0, pattern(10)), 10u);
    remove(1);
    const std::string gone = "tolvane: file removed";
    EXPECT_EQ(refused(tstat(tag(), 2)), gone);
    EXPECT_EQ(refused(topen(tag(), 2, OREAD)), gone);
    EXPECT_EQ(refused(twalk(tag(), 2, 4, {})), gone);
    EXPECT_EQ(refused(tcreate(tag(), 2, "x", 0, OREAD)), gone);
    EXPECT_EQ(refused(tread(tag(), 3, 0, 10)), gone);
    EXPECT_EQ(refused(twrite(tag(), 3, 0, pattern(1))), gone);
    EXPECT_EQ(refused(tstat(tag(), 3)), gone);
    EXPECT_EQ(fid_lookup(4), -1);
    // The parent saw one remove only.
    walk_new(9, {"etc"});
    EXPECT_EQ(stat(9).qid.version, 2u);
    // Tremove releases such a fid but removes nothing; Tclunk releases it.
    EXPECT_EQ(refused(tremove(tag(), 2)), gone);
    EXPECT_EQ(refused(tclunk(tag(), 2)), "tolvane: unknown fid");
    EXPECT_EQ(stat(9).qid.version, 2u);
    clunk(3);
    EXPECT_EQ(refused(tclunk(tag(), 3)), "tolvane: unknown fid");
}

TEST_F(StaleFidTest, NeverReachesTheNodeThatReusesTheRow) {
    Qid old = make({"etc"}, "old");
    walk_new(1, {"etc", "old"});
    walk_new(2, {"etc", "old"});
    open(2, ORDWR);
    walk_new(3, {"etc", "old"});
    remove(1);
    // The row is taken again by a new file with contents.
    Qid fresh = create_in(4, {"var"}, "new", ORDWR);
    ASSERT_EQ(row(fresh), row(old));
    ASSERT_NE(fresh.path, old.path);
    ASSERT_EQ(write(4, 0, pattern(5)), 5u);

    const std::string gone = "tolvane: file removed";
    EXPECT_EQ(refused(tread(tag(), 2, 0, 10)), gone);
    EXPECT_EQ(refused(twrite(tag(), 2, 0, pattern(1))), gone);
    EXPECT_EQ(refused(tstat(tag(), 3)), gone);
    EXPECT_EQ(refused(topen(tag(), 3, OREAD)), gone);
    EXPECT_EQ(refused(twalk(tag(), 3, 3, {})), gone);
    EXPECT_EQ(refused(tremove(tag(), 3)), gone);
    EXPECT_EQ(read(4, 0, 10), pattern(5));
    EXPECT_EQ(stat(4).qid, (Qid{P9_QTFILE, 1, fresh.path}));
    EXPECT_EQ(names_of(list({"var"})), (std::vector<std::string>{"lib", "cache", "www", "new"}));
}

TEST_F(StaleFidTest, RemovedDirectoryUnbindsItsFids) {
    make({"usr"}, "d", P9_DMDIR);
    walk_new(1, {"usr", "d"});
    walk_new(2, {"usr", "d"});
    open(2, OREAD);
    remove(1);
    EXPECT_EQ(refused(tread(tag(), 2, 0, 1000)), "tolvane: file removed");
    EXPECT_EQ(refused(twalk(tag(), 2, 5, {".."})), "tolvane: file removed");
    clunk(2);
}

TEST_F(StaleFidTest, TversionForgetsStaleFidsToo) {
    make({"etc"}, "f");
    walk_new(1, {"etc", "f"});
    walk_new(2, {"etc", "f"});
    remove(1);
    EXPECT_EQ(type_of(call(tversion(tag(), 8192))), P9_RVERSION);
    EXPECT_EQ(refused(tstat(tag(), 2)), "tolvane: unknown fid");
}

// The save points, with a real backing store in a temporary directory.
class SaveTest : public HandlerTest {
protected:
    void use_store(const char* fault) {
        setenv("VELMOR_STORE", dir.path().c_str(), 1);
        if (fault) {
            setenv("VELMOR_STORE_FAULT", fault, 1);
        } else {
            unsetenv("VELMOR_STORE_FAULT");
        }
        velmor_linux_reset();
        ASSERT_EQ(tln_load_from_disk(), 0);  // an empty store: nothing to restore
        ASSERT_EQ(tln_backing_ok, 1u);
    }
    void TearDown() override {
        unsetenv("VELMOR_STORE");
        unsetenv("VELMOR_STORE_FAULT");
        HandlerTest::TearDown();
        velmor_linux_reset();
    }
    std::string image() { return dir.path() + "/tln-0.img"; }
    bool saved() { return file_exists(image()); }
    void forget_image() { std::remove(image().c_str()); }

    TempDir dir;
};

TEST_F(SaveTest, DirtyClunkSavesCleanClunkDoesNot) {
    use_store(nullptr);
    create_in(1, {"etc"}, "f", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(10)), 10u);
    walk_new(2, {"etc", "f"});
    open(2, OREAD);
    EXPECT_FALSE(saved());
    clunk(2);  // only read through
    EXPECT_FALSE(saved());
    clunk(1);
    EXPECT_TRUE(saved());
    // The image holds the file: 38792 fixed bytes and its 10 bytes.
    EXPECT_EQ(read_file(image()).size(), SNAP_FIXED + 10);

    forget_image();
    walk_new(3, {"etc", "f"});
    open(3, OWRITE | OTRUNC);  // truncation alone does not dirty
    clunk(3);
    EXPECT_FALSE(saved());
}

TEST_F(SaveTest, RemoveSavesOnlyWhenItRemoves) {
    use_store(nullptr);
    make({"usr"}, "d", P9_DMDIR);
    make({"usr", "d"}, "x");
    forget_image();
    walk_new(1, {"usr", "d"});
    EXPECT_EQ(refused(tremove(tag(), 1)), "tolvane: directory not empty");
    EXPECT_FALSE(saved());
    walk_new(2, {"usr", "d", "x"});
    remove(2);
    EXPECT_TRUE(saved());
}

TEST_F(SaveTest, DirtyFidOfARemovedNodeStillSavesOnClunk) {
    use_store(nullptr);
    create_in(1, {"etc"}, "f", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(10)), 10u);
    walk_new(2, {"etc", "f"});
    remove(2);
    EXPECT_TRUE(saved());
    forget_image();
    clunk(1);
    EXPECT_TRUE(saved());
    EXPECT_EQ(read_file(image()).size(), SNAP_FIXED);  // the file is gone from it
}

TEST_F(SaveTest, FailedSaveOnClunkIsReported) {
    use_store("fail");
    create_in(1, {"etc"}, "f", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(10)), 10u);
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: persist failed");
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");  // released all the same
    EXPECT_FALSE(saved());
    // A clean clunk does not save, so it cannot fail.
    walk_new(2, {"etc"});
    clunk(2);
}

TEST_F(SaveTest, FailedSaveOnRemoveIsReportedButTheNodeIsGone) {
    use_store("fail");
    walk_new(1, {"etc"});
    create(1, "f", 0, OWRITE);
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: persist failed");
    walk_new(1, {"etc", "f"});
    EXPECT_EQ(refused(tremove(tag(), 1)), "tolvane: remove not persisted");
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");
    EXPECT_TRUE(list({"etc"}).empty());
    walk_new(9, {"etc"});
    EXPECT_EQ(stat(9).qid.version, 2u);
}

TEST_F(SaveTest, WithoutAStoreNothingIsSavedAndNothingFails) {
    setenv("VELMOR_STORE_FAULT", "fail", 1);
    velmor_linux_reset();
    ASSERT_EQ(tln_backing_ok, 0u);
    create_in(1, {"etc"}, "f", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(10)), 10u);
    clunk(1);
    walk_new(2, {"etc", "f"});
    remove(2);
    EXPECT_FALSE(saved());
}

}  // namespace
}  // namespace tolvane_test
