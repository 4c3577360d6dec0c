// Tattach and Twalk through the real request step.
#include "fixture.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

const Qid ROOT_QID{P9_QTDIR, 0, 1};

class AttachTest : public HandlerTest {};
class WalkTest : public HandlerTest {};

TEST_F(AttachTest, RootAttachReplyIsByteExact) {
    // Rattach: size 20, type 105, tag 0x0102, qid 80 / version 0 / path 1.
    EXPECT_EQ(to_hex(call(tattach(0x0102, 5, ""))),
              "14 00 00 00 69 02 01 80 00 00 00 00 01 00 00 00 00 00 00 00");
}

TEST_F(AttachTest, AttachNamesSelectRootOrTopDirectory) {
    make({}, "made", P9_DMDIR);      // row 11: a directory a client created in the root
    const Qid root{P9_QTDIR, 1, 1};  // one create in it so far
    const struct {
        const char* aname;
        Qid qid;
    } cases[] = {
        {"", root},
        {"/", root},
        {"var", {P9_QTDIR, 0, 2}},
        {"/var", {P9_QTDIR, 0, 2}},
        {"usr", {P9_QTDIR, 0, 3}},
        {"/etc", {P9_QTDIR, 0, 4}},
        {"made", {P9_QTDIR, 0, 12}},
    };
    uint32_t fid = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.aname);
        EXPECT_EQ(attach(fid, c.aname), c.qid);
        EXPECT_EQ(stat(fid).qid, c.qid);
        fid++;
    }
}

TEST_F(AttachTest, AttachNamesThatSelectNothingAreRefused) {
    make({}, "file");
    for (const char* aname :
         {"var/lib", "/var/lib", "var/", "//", "nothing", "file", "VAR", "lib", "/.", ".."}) {
        SCOPED_TRACE(aname);
        EXPECT_EQ(refused(tattach(tag(), 9, aname)), "tolvane: unknown attach tree");
        EXPECT_EQ(fid_lookup(9), -1);
    }
}

TEST_F(AttachTest, EstablishedFidIsRefusedWhateverTheName) {
    attach(7, "var");
    EXPECT_EQ(refused(tattach(tag(), 7, "")), "tolvane: fid in use");
    EXPECT_EQ(refused(tattach(tag(), 7, "no/such")), "tolvane: fid in use");
    EXPECT_EQ(stat(7).name, "var");  // still on /var
}

TEST_F(AttachTest, AfidAndUserNameAreIgnored) {
    Bytes req = build([&](p9_cursor* c) {
        return p9_emit_tattach(c, 3, 8, 1234, reinterpret_cast<const uint8_t*>("someone"), 7,
                               reinterpret_cast<const uint8_t*>("etc"), 3);
    });
    Bytes r = call(req);
    EXPECT_EQ(type_of(r), P9_RATTACH);
    EXPECT_EQ(stat(8).qid, (Qid{P9_QTDIR, 0, 4}));
}

TEST_F(AttachTest, FidTableHoldsExactly64AndReusesLowestSlot) {
    // Fid 0 holds slot 0; 63 more fill the table.
    for (uint32_t f = 1; f < FID_CAP; f++) attach(f);
    EXPECT_EQ(refused(tattach(tag(), 1000, "")), "tolvane: fid table full");
    EXPECT_EQ(refused(twalk(tag(), ROOT_FID, 1000, {"var"})), "tolvane: fid table full");
    EXPECT_EQ(fid_lookup(1000), -1);
    // A walk to the same fid needs no slot.
    EXPECT_EQ(walk(5, 5, {"var"}).size(), 1u);

    clunk(3);
    clunk(9);
    attach(1000);
    EXPECT_EQ(fid_lookup(1000), 3);
    EXPECT_EQ(walk(ROOT_FID, 1001, {"usr"}).size(), 1u);
    EXPECT_EQ(fid_lookup(1001), 9);
    EXPECT_EQ(refused(tattach(tag(), 1002, "")), "tolvane: fid table full");
}

TEST_F(AttachTest, NofidIsAnOrdinaryFid) {
    attach(P9_NOFID, "usr");
    EXPECT_EQ(stat(P9_NOFID).name, "usr");
    clunk(P9_NOFID);
    EXPECT_EQ(refused(tclunk(tag(), P9_NOFID)), "tolvane: unknown fid");
}

TEST_F(WalkTest, PathThroughTheSkeleton) {
    auto q = walk(ROOT_FID, 1, {"var", "lib", "dpkg", "info"});
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[0], (Qid{P9_QTDIR, 0, 2}));
    EXPECT_EQ(q[1], (Qid{P9_QTDIR, 0, 5}));
    EXPECT_EQ(q[2], (Qid{P9_QTDIR, 0, 8}));
    EXPECT_EQ(q[3], (Qid{P9_QTDIR, 0, 9}));
    EXPECT_EQ(stat(1).name, "info");
    EXPECT_EQ(stat(ROOT_FID).qid, ROOT_QID);  // the source fid stays
}

TEST_F(WalkTest, RwalkIsByteExact) {
    // Two qids: 80/0/2 and 80/0/5.
    EXPECT_EQ(to_hex(call(twalk(0x0a0b, ROOT_FID, 1, {"var", "lib"}))),
              "23 00 00 00 6F 0B 0A 02 00 "
              "80 00 00 00 00 02 00 00 00 00 00 00 00 "
              "80 00 00 00 00 05 00 00 00 00 00 00 00");
}

TEST_F(WalkTest, PartialWalkEstablishesNothing) {
    auto q = walk(ROOT_FID, 1, {"var", "nothere", "x"});
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].path, 2u);
    EXPECT_EQ(refused(tclunk(tag(), 1)), "tolvane: unknown fid");
    // Nor does a partial walk move a fid walked onto itself.
    walk_new(2, {"var"});
    EXPECT_EQ(walk(2, 2, {"lib", "nothere"}).size(), 1u);
    EXPECT_EQ(stat(2).name, "var");
}

TEST_F(WalkTest, FirstElementMissingIsAnError) {
    EXPECT_EQ(refused(twalk(tag(), ROOT_FID, 1, {"nothere"})),
              "tolvane: no such file or directory");
    EXPECT_EQ(refused(twalk(tag(), ROOT_FID, 1, {"", "var"})),
              "tolvane: no such file or directory");
    EXPECT_EQ(refused(twalk(tag(), ROOT_FID, 1, {std::string(65, 'v')})),
              "tolvane: no such file or directory");
    EXPECT_EQ(fid_lookup(1), -1);
}

TEST_F(WalkTest, DotDotAndDot) {
    auto up = walk(ROOT_FID, 1, {".."});
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0], ROOT_QID);

    attach(2, "var");
    auto out = walk(2, 3, {"..", "usr"});  // leaves the attach root
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].path, 1u);
    EXPECT_EQ(out[1].path, 3u);

    auto here = walk(2, 4, {"."});
    ASSERT_EQ(here.size(), 1u);
    EXPECT_EQ(here[0].path, 2u);

    EXPECT_EQ(refused(twalk(tag(), 2, 5, {"..."})), "tolvane: no such file or directory");
    make({"var"}, "...", P9_DMDIR);
    auto dots = walk(2, 5, {"..."});
    ASSERT_EQ(dots.size(), 1u);
    EXPECT_EQ(dots[0].path, 12u);
}

TEST_F(WalkTest, FilesEndAWalk) {
    make({"etc"}, "passwd");
    walk_new(1, {"etc", "passwd"});
    EXPECT_EQ(refused(twalk(tag(), 1, 2, {"x"})), "tolvane: no such file or directory");
    EXPECT_EQ(refused(twalk(tag(), 1, 2, {".."})), "tolvane: no such file or directory");
    auto q = walk(ROOT_FID, 3, {"etc", "passwd", "x", "y"});
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1], (Qid{P9_QTFILE, 0, 12}));
    EXPECT_EQ(fid_lookup(3), -1);
}

TEST_F(WalkTest, SixteenElementsWalkSeventeenStopTheServer) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; i++) {
        names.push_back("var");
        names.push_back("..");
    }
    auto q = walk(ROOT_FID, 1, names);
    ASSERT_EQ(q.size(), 16u);
    EXPECT_EQ(q[14].path, 2u);
    EXPECT_EQ(q[15].path, 1u);

    names.push_back("usr");
    wire->send(twalk(tag(), ROOT_FID, 2, names));
    EXPECT_EQ(wire->step(), -1);
    EXPECT_FALSE(wire->has_reply());
}

TEST_F(WalkTest, OpenFidCannotWalk) {
    walk_new(1, {"var"});
    open(1, OREAD);
    EXPECT_EQ(refused(twalk(tag(), 1, 1, {})), "tolvane: fid is open");
    EXPECT_EQ(refused(twalk(tag(), 1, 2, {})), "tolvane: fid is open");
    EXPECT_EQ(refused(twalk(tag(), 1, 2, {"lib"})), "tolvane: fid is open");
}

TEST_F(WalkTest, NoNamesClonesOrChangesNothing) {
    walk_new(1, {"var"});
    EXPECT_EQ(to_hex(call(twalk(0x44, 1, 1, {}))), "09 00 00 00 6F 44 00 00 00");
    EXPECT_EQ(stat(1).name, "var");

    open(1, OREAD);
    walk_new(2, {"var"});
    EXPECT_TRUE(walk(2, 3, {}).empty());
    EXPECT_EQ(stat(3).name, "var");
    int64_t s = fid_lookup(3);
    ASSERT_GE(s, 0);
    EXPECT_EQ(fid_open[s], 0);
    EXPECT_EQ(fid_mode[s], 0);
    EXPECT_EQ(fid_dirty[s], 0);
    open(3, OREAD);  // the clone is closed
}

TEST_F(WalkTest, WalkOntoItselfMovesTheFid) {
    walk_new(1, {});
    EXPECT_EQ(walk(1, 1, {"var", "cache", "apt"}).size(), 3u);
    EXPECT_EQ(stat(1).qid.path, 10u);
}

TEST_F(WalkTest, RefusalOrder) {
    walk_new(1, {"var"});
    walk_new(2, {"usr"});
    open(2, OREAD);
    walk_new(3, {"etc"});
    // Unknown fid comes before everything, even an in-use newfid.
    EXPECT_EQ(refused(twalk(tag(), 50, 1, {"nothere"})), "tolvane: unknown fid");
    // Open before newfid in use.
    EXPECT_EQ(refused(twalk(tag(), 2, 1, {"nothere"})), "tolvane: fid is open");
    // Newfid in use is decided before any name is walked.
    EXPECT_EQ(refused(twalk(tag(), 1, 3, {"nothere"})), "tolvane: newfid in use");
    EXPECT_EQ(refused(twalk(tag(), 1, 3, {"lib"})), "tolvane: newfid in use");
    EXPECT_EQ(stat(3).name, "etc");
    // A fid whose node was removed through another fid.
    make({"etc"}, "gone");
    walk_new(4, {"etc", "gone"});
    walk_new(5, {"etc", "gone"});
    remove(4);
    EXPECT_EQ(refused(twalk(tag(), 5, 6, {})), "tolvane: file removed");
    EXPECT_EQ(refused(twalk(tag(), 5, 5, {".."})), "tolvane: file removed");
}

TEST_F(WalkTest, UndecodableRequestsStopTheServer) {
    Bytes req = twalk(tag(), ROOT_FID, 1, {"var"});
    req.push_back(0);  // one byte past the last element
    req[0]++;
    wire->send(req);
    EXPECT_EQ(wire->step(), -1);
    EXPECT_FALSE(wire->has_reply());
}

}  // namespace
}  // namespace tolvane_test
