// Topen and Tcreate through the real request step.
#include "fixture.h"

namespace tolvane_test {
namespace {

using namespace tolvane;

class OpenTest : public HandlerTest {};
class CreateTest : public HandlerTest {};

TEST_F(OpenTest, RopenIsByteExact) {
    walk_new(1, {"var"});
    // Ropen: size 24, type 113, tag, qid 80/0/2, iounit 0.
    EXPECT_EQ(to_hex(call(topen(0x0203, 1, OREAD))),
              "18 00 00 00 71 03 02 80 00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(OpenTest, DirectoriesOpenOnlyForReading) {
    for (uint8_t mode : {OWRITE, ORDWR, OEXEC, uint8_t(OWRITE | OTRUNC)}) {
        SCOPED_TRACE(int(mode));
        walk_new(1, {"var"});
        EXPECT_EQ(refused(topen(tag(), 1, mode)), "tolvane: directory is read-only");
        EXPECT_EQ(fid_open[fid_lookup(1)], 0);
        clunk(1);
    }
    walk_new(1, {"var"});
    EXPECT_EQ(open(1, OREAD | OTRUNC), (Qid{P9_QTDIR, 0, 2}));  // OTRUNC ignored on a directory
    EXPECT_EQ(fid_mode[fid_lookup(1)], OTRUNC);
    EXPECT_EQ(stat(1).qid.version, 0u);
}

TEST_F(OpenTest, TruncationNeedsWriteAccessAndFreesTheChain) {
    Qid q = create_in(1, {"etc"}, "f", OWRITE);
    ASSERT_EQ(write(1, 0, pattern(100000)), 100000u);  // two slots, version 1
    clunk(1);
    int64_t n = row(q);
    ASSERT_EQ(node_chain_len[n], 2u);

    walk_new(2, {"etc", "f"});
    EXPECT_EQ(refused(topen(tag(), 2, OREAD | OTRUNC)), "tolvane: OTRUNC needs write");
    EXPECT_EQ(stat(2).length, 100000u);  // nothing changed
    EXPECT_EQ(stat(2).qid.version, 1u);
    EXPECT_EQ(fid_open[fid_lookup(2)], 0);

    // OEXEC counts as write access for truncation.
    EXPECT_EQ(open(2, OEXEC | OTRUNC), (Qid{P9_QTFILE, 2, q.path}));
    EXPECT_EQ(node_size[n], 0u);
    EXPECT_EQ(node_chain_len[n], 0u);
    EXPECT_EQ(dataslot_used[1], 0);
    EXPECT_EQ(dataslot_used[2], 0);
    EXPECT_EQ(node_slot_chain[n][0], -1);
    EXPECT_EQ(node_slot_chain[n][1], -1);
    // Truncation alone leaves the fid clean: its clunk does not save.
    EXPECT_EQ(fid_dirty[fid_lookup(2)], 0);
    EXPECT_EQ(fid_mode[fid_lookup(2)], OEXEC | OTRUNC);
}

TEST_F(OpenTest, TruncatingAnEmptyFileStillRaisesItsVersion) {
    Qid q = make({"etc"}, "empty");
    walk_new(1, {"etc", "empty"});
    EXPECT_EQ(open(1, OWRITE | OTRUNC), (Qid{P9_QTFILE, 1, q.path}));
    walk_new(2, {"etc", "empty"});
    EXPECT_EQ(open(2, ORDWR | OTRUNC).version, 2u);
    walk_new(3, {"etc", "empty"});
    EXPECT_EQ(open(3, ORDWR).version, 2u);  // no OTRUNC, no bump
}

TEST_F(OpenTest, EveryAccessModeOpensAFile) {
    make({"etc"}, "f");
    for (uint8_t mode : {OREAD, OWRITE, ORDWR, OEXEC, uint8_t(OREAD | P9_ORCLOSE | P9_OCEXEC)}) {
        SCOPED_TRACE(int(mode));
        walk_new(1, {"etc", "f"});
        EXPECT_EQ(open(1, mode).type, P9_QTFILE);
        EXPECT_EQ(fid_mode[fid_lookup(1)], mode);
        clunk(1);
    }
}

TEST_F(OpenTest, RefusalOrder) {
    make({"etc"}, "f");
    EXPECT_EQ(refused(topen(tag(), 9, OREAD)), "tolvane: unknown fid");
    walk_new(1, {"var"});
    open(1, OREAD);
    // Already open comes before the directory's access test.
    EXPECT_EQ(refused(topen(tag(), 1, OWRITE)), "tolvane: fid already open");
    EXPECT_EQ(refused(topen(tag(), 1, OREAD)), "tolvane: fid already open");
    walk_new(2, {"etc", "f"});
    open(2, OWRITE);
    EXPECT_EQ(refused(topen(tag(), 2, OREAD | OTRUNC)), "tolvane: fid already open");
    // Removed through another fid comes right after unknown.
    walk_new(3, {"etc", "f"});
    remove(2);
    EXPECT_EQ(refused(topen(tag(), 3, OREAD)), "tolvane: file removed");
}

TEST_F(CreateTest, RcreateIsByteExact) {
    walk_new(1, {"etc"});
    // Rcreate: size 24, type 115, qid 00/0/12 (row 11), iounit 0.
    EXPECT_EQ(to_hex(call(tcreate(0x0304, 1, "hosts", 0644, OWRITE))),
              "18 00 00 00 73 04 03 00 00 00 00 00 0C 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(CreateTest, FidMovesOntoTheNewNodeOpenAndDirty) {
    walk_new(1, {"etc"});
    Qid q = create(1, "hosts", 0644, ORDWR | P9_ORCLOSE);
    EXPECT_EQ(q, (Qid{P9_QTFILE, 0, 12}));
    int64_t s = fid_lookup(1);
    EXPECT_EQ(fid_node[s], 11);
    EXPECT_EQ(fid_open[s], 1);
    EXPECT_EQ(fid_mode[s], ORDWR | P9_ORCLOSE);
    EXPECT_EQ(fid_dirty[s], 1);
    Stat st = stat(1);
    EXPECT_EQ(st.name, "hosts");
    EXPECT_EQ(st.mode, MODE_FILE);
    // Open already: reads and writes go straight through.
    EXPECT_EQ(write(1, 0, pattern(5)), 5u);
    EXPECT_EQ(read(1, 0, 5), pattern(5));
}

TEST_F(CreateTest, PermDirBitMakesADirectory) {
    for (uint32_t perm : {P9_DMDIR, MODE_DIR, 0xFFFFFFFFu}) {
        SCOPED_TRACE(perm);
        walk_new(1, {"usr"});
        Qid q = create(1, "d" + std::to_string(perm), perm, OREAD);
        EXPECT_EQ(q.type, P9_QTDIR);
        EXPECT_EQ(q.version, 0u);
        EXPECT_EQ(node_kind[row(q)], KIND_DIR);
        EXPECT_EQ(stat(1).mode, MODE_DIR);  // permission bits are not stored
        clunk(1);
    }
    walk_new(1, {"usr"});
    EXPECT_EQ(create(1, "plain", 0, OREAD).type, P9_QTFILE);
    walk_new(2, {"usr"});
    EXPECT_EQ(create(2, "allbits", 0x7FFFFFFF, OREAD).type, P9_QTFILE);
}

TEST_F(CreateTest, ParentVersionRisesOncePerCreate) {
    walk_new(9, {"var"});
    EXPECT_EQ(stat(9).qid.version, 0u);
    make({"var"}, "a");
    make({"var"}, "b", P9_DMDIR);
    EXPECT_EQ(stat(9).qid.version, 2u);
    EXPECT_EQ(stat(ROOT_FID).qid.version, 0u);  // only the parent
}

TEST_F(CreateTest, NewDirectoryOpenForWriteCanNeitherReadNorWrite) {
    walk_new(1, {"usr"});
    create(1, "d", P9_DMDIR, OWRITE);
    EXPECT_EQ(refused(tread(tag(), 1, 0, 100)), "tolvane: fid not open for read");
    EXPECT_EQ(refused(twrite(tag(), 1, 0, pattern(3))), "tolvane: cannot write a directory");
}

TEST_F(CreateTest, NameLengths) {
    std::string longest(NAME_CAP, 'n');
    walk_new(1, {"usr"});
    EXPECT_EQ(refused(tcreate(tag(), 1, "", 0, OREAD)), "tolvane: bad name length");
    EXPECT_EQ(refused(tcreate(tag(), 1, longest + "n", 0, OREAD)), "tolvane: bad name length");
    Qid q = create(1, longest, 0, OREAD);
    EXPECT_EQ(node_namelen[row(q)], NAME_CAP);
    EXPECT_EQ(stat(1).name, longest);
}

TEST_F(CreateTest, NamesNoWalkCouldReachAreRefused) {
    const std::string nul("a\0b", 3);
    for (const std::string& name :
         {std::string("."), std::string(".."), std::string("/"), std::string("a/b"),
          std::string("dir/"), nul, std::string(1, '\0')}) {
        SCOPED_TRACE(name);
        walk_new(1, {"usr"});
        EXPECT_EQ(refused(tcreate(tag(), 1, name, 0, OREAD)), "tolvane: bad name");
        EXPECT_EQ(fid_node[fid_lookup(1)], ROW_USR);
        clunk(1);
    }
    EXPECT_TRUE(list({"usr"}).empty());
    // Dots that are not exactly "." or ".." are ordinary names.
    for (const char* name : {"...", ".a", "..b", "a."}) make({"usr"}, name);
    EXPECT_EQ(names_of(list({"usr"})), (std::vector<std::string>{"...", ".a", "..b", "a."}));
}

TEST_F(CreateTest, ExistingNamesAreRefusedWhateverTheirKind) {
    make({"etc"}, "f");
    walk_new(1, {"etc"});
    EXPECT_EQ(refused(tcreate(tag(), 1, "f", P9_DMDIR, OREAD)), "tolvane: name exists");
    walk_new(2, {});
    EXPECT_EQ(refused(tcreate(tag(), 2, "var", 0, OREAD)), "tolvane: name exists");
    EXPECT_EQ(refused(tcreate(tag(), 2, "etc", P9_DMDIR, OREAD)), "tolvane: name exists");
    EXPECT_EQ(stat(ROOT_FID).qid.version, 0u);
    // The same name in another directory is fine, and names are case-sensitive.
    create(2, "f", 0, OREAD);
    create(1, "F", 0, OREAD);
}

TEST_F(CreateTest, NodeTableFillsAtExactly384Rows) {
    std::vector<Qid> made;
    for (int64_t i = 0; i < FREE_ROWS; i++) made.push_back(make({"usr"}, "n" + std::to_string(i)));
    EXPECT_EQ(row(made.front()), SKELETON_ROWS);
    EXPECT_EQ(row(made.back()), static_cast<int64_t>(NODE_CAP) - 1);
    walk_new(1, {"usr"});
    EXPECT_EQ(refused(tcreate(tag(), 1, "one-more", 0, OWRITE)), "tolvane: node table full");
    // The refusal changed nothing: the fid is still closed on /usr.
    int64_t s = fid_lookup(1);
    EXPECT_EQ(fid_node[s], ROW_USR);
    EXPECT_EQ(fid_open[s], 0);
    EXPECT_EQ(fid_dirty[s], 0);
    EXPECT_EQ(stat(1).qid.version, static_cast<uint32_t>(FREE_ROWS));

    // Removing two rows frees them; creates take the lowest first, version 0,
    // in the rows' next generation.
    walk_new(2, {"usr", "n200"});
    remove(2);
    walk_new(2, {"usr", "n100"});
    remove(2);
    constexpr uint64_t NEXT_GEN = uint64_t{1} << 32;
    EXPECT_EQ(create(1, "again", P9_DMDIR, OREAD), (Qid{P9_QTDIR, 0, made[100].path + NEXT_GEN}));
    EXPECT_EQ(make({"usr"}, "again2"), (Qid{P9_QTFILE, 0, made[200].path + NEXT_GEN}));
    EXPECT_EQ(refused(tcreate(tag(), ROOT_FID, "x", 0, OREAD)), "tolvane: node table full");
}

TEST_F(CreateTest, RefusalOrder) {
    make({"etc"}, "f");
    EXPECT_EQ(refused(tcreate(tag(), 9, "", 0, OREAD)), "tolvane: unknown fid");
    // Open before everything that follows, even on a file.
    walk_new(1, {"etc", "f"});
    open(1, OREAD);
    EXPECT_EQ(refused(tcreate(tag(), 1, "", 0, OREAD)), "tolvane: fid already open");
    walk_new(2, {"var"});
    open(2, OREAD);
    EXPECT_EQ(refused(tcreate(tag(), 2, "x", 0, OREAD)), "tolvane: fid already open");
    // Non-directory before the name's length.
    walk_new(3, {"etc", "f"});
    EXPECT_EQ(refused(tcreate(tag(), 3, "", 0, OREAD)), "tolvane: create in a non-directory");
    // Length before the name's bytes.
    walk_new(4, {"etc"});
    EXPECT_EQ(refused(tcreate(tag(), 4, std::string(65, '/'), 0, OREAD)),
              "tolvane: bad name length");
    // The name's bytes before the exists test: plant a row named "a/b" the
    // way no client could, and ask for it again.
    auto ab = reinterpret_cast<const uint8_t*>("a/b");
    ASSERT_GE(node_alloc(KIND_FILE, ROW_ETC, ab, 3), 0);
    EXPECT_EQ(refused(tcreate(tag(), 4, "a/b", 0, OREAD)), "tolvane: bad name");
    // Exists before table full.
    while (node_alloc(KIND_FILE, ROW_WWW, ab, 3) >= 0) {
    }
    EXPECT_EQ(refused(tcreate(tag(), 4, "f", 0, OREAD)), "tolvane: name exists");
    EXPECT_EQ(refused(tcreate(tag(), 4, "g", 0, OREAD)), "tolvane: node table full");
    // A removed node's fid.
    walk_new(5, {"etc", "f"});
    walk_new(6, {"etc", "f"});
    remove(5);
    EXPECT_EQ(refused(tcreate(tag(), 6, "x", 0, OREAD)), "tolvane: file removed");
}

}  // namespace
}  // namespace tolvane_test
