// The real binary on the real backing store: restarts that must bring back
// everything a client can see, the save points, store faults reaching the
// client, refused images kept aside, and SIGKILL at any moment of a save.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "persist_util.h"
#include "support.h"
#include "tolvane/tolvane.h"

namespace {

using namespace tolvane_test;
namespace fs = std::filesystem;
using Path = std::vector<std::string>;

const std::string FRESH = "[tolvane] no snapshot \xE2\x80\x94 fresh distro skeleton\n";
const std::string RESTORED = "[tolvane] restored snapshot from ext4 backing\n";
const std::string EOF_LINE = "[tolvane] EOF, exiting\n";
const std::string WIRE = "[tolvane] wire error, exiting\n";
const std::string TOO_LARGE = "[tolvane] snapshot too large to persist\n";
const std::string PERSIST_FAILED = "[tolvane] persist failed (ext4 I/O error)\n";
const std::string REJECTED = "[tolvane] snapshot rejected, kept as ";

constexpr uint32_t MSIZE = 131072;
constexpr uint64_t IO = 65536;  // bytes per Twrite / Tread

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

std::string img_path(const std::string& store, int instance) {
    return store + "/tln-" + std::to_string(instance) + ".img";
}

// One server process with a client attached as fid 0 on the root.
struct Session {
    Proc p;

    Session(const std::string& store, std::vector<std::string> args = {},
            std::map<std::string, std::string> env = {}) {
        env["VELMOR_STORE"] = store;
        for (const char* k : {"VELMOR_STORE_FAULT", "VELMOR_STORE_FAULT_AFTER"}) {
            if (!env.count(k)) env[k] = "<unset>";
        }
        p = spawn_server(args, env);
        EXPECT_EQ(type_of(call(tversion(1, MSIZE))), P9_RVERSION);
        EXPECT_EQ(type_of(call(tattach(1, 0))), P9_RATTACH);
    }

    Bytes call(const Bytes& r) { return proc_call(p, r); }

    // Walks fid 0 to newfid along path; true when every element was walked.
    bool walk(uint32_t newfid, const Path& path) {
        Bytes r = call(twalk(1, 0, newfid, path));
        return type_of(r) == P9_RWALK && r.size() == 9 + 13 * path.size();
    }

    // True when path names a node: walked to a scratch fid, released again.
    bool exists(const Path& path) {
        Bytes r = call(twalk(1, 0, 9, path));
        if (type_of(r) == P9_RWALK && r.size() == 9 + 13 * path.size()) {
            EXPECT_EQ(type_of(call(tclunk(1, 9))), P9_RCLUNK);
            return true;
        }
        if (type_of(r) != P9_RWALK) {
            EXPECT_EQ(rerror_text(r), "tolvane: no such file or directory");
        }
        return false;
    }

    // Writes data at off through fid in IO-sized pieces (one Twrite of no
    // bytes when data is empty); true when every Twrite was answered Rwrite.
    bool write(uint32_t fid, uint64_t off, const Bytes& data) {
        uint64_t done = 0;
        do {
            uint64_t n = std::min<uint64_t>(IO, data.size() - done);
            Bytes piece(data.begin() + static_cast<long>(done),
                        data.begin() + static_cast<long>(done + n));
            Bytes r = call(twrite(1, fid, off + done, piece));
            if (type_of(r) != P9_RWRITE) {
                ADD_FAILURE() << "write: " << rerror_text(r);
                return false;
            }
            done += n;
        } while (done < data.size());
        return true;
    }

    // Creates dir/name (a directory when asked), writes, clunks; the clunk's reply.
    Bytes create(const Path& dir, const std::string& name, bool directory = false,
                 const std::vector<std::pair<uint64_t, Bytes>>& writes = {}) {
        EXPECT_TRUE(walk(1, dir));
        uint32_t perm = directory ? (tolvane::DM_DIR | 0755) : 0644;
        Bytes r = call(tcreate(1, 1, name, perm, directory ? P9_OREAD : P9_ORDWR));
        EXPECT_EQ(type_of(r), P9_RCREATE) << rerror_text(r);
        for (const auto& [off, data] : writes) write(1, off, data);
        return call(tclunk(1, 1));
    }

    // Opens path for writing, writes data at off, clunks; the clunk's reply.
    Bytes write_at(const Path& path, uint64_t off, const Bytes& data) {
        EXPECT_TRUE(walk(1, path));
        EXPECT_EQ(type_of(call(topen(1, 1, P9_OWRITE))), P9_ROPEN);
        write(1, off, data);
        return call(tclunk(1, 1));
    }

    Bytes remove(const Path& path) {
        EXPECT_TRUE(walk(1, path));
        return call(tremove(1, 1));
    }

    // Everything a read of path gives, from offset 0 to the first empty Rread.
    Bytes read_all(const Path& path) {
        Bytes out;
        if (!walk(2, path)) return out;
        EXPECT_EQ(type_of(call(topen(1, 2, P9_OREAD))), P9_ROPEN);
        for (;;) {
            Bytes r = call(tread(1, 2, out.size(), IO));
            if (type_of(r) != P9_RREAD) {
                ADD_FAILURE() << "read: " << rerror_text(r);
                break;
            }
            Bytes d = rread_data(r);
            if (d.empty()) break;
            out.insert(out.end(), d.begin(), d.end());
        }
        EXPECT_EQ(type_of(call(tclunk(1, 2))), P9_RCLUNK);
        return out;
    }

    int finish(std::string* err = nullptr) { return proc_finish(p, err); }
};

// Everything a client can see of the tree: per path, the whole Rstat reply
// (qid version and path included) and the whole contents (a directory's
// listing of stat records, a file's bytes). The high half of a qid path,
// the generation of a reused row, starts again at 0 in every process, so
// it is cleared in every record: the row part must come back.
using View = std::map<std::string, Bytes>;

// Clears the generation in the stat record at rec of b.
void clear_generation(Bytes& b, uint64_t rec) {
    for (uint64_t i = rec + 17; i < rec + 21 && i < b.size(); i++) b[i] = 0;
}

void collect(Session& s, const Path& path, View& v) {
    std::string key = "/";
    for (const auto& e : path) key += e + "/";
    ASSERT_TRUE(s.walk(3, path)) << key;
    Bytes st = s.call(tstat(1, 3));
    ASSERT_EQ(type_of(st), P9_RSTAT) << key;
    ASSERT_EQ(type_of(s.call(tclunk(1, 3))), P9_RCLUNK);
    clear_generation(st, 9);
    v[key + " stat"] = st;
    Bytes data = s.read_all(path);
    bool dir = st.size() > 9 + 8 && (st[9 + 8] & P9_QTDIR);  // qid type in the record
    if (dir) {
        for (uint64_t off = 0; off + 2 <= data.size();
             off += 2 + (data[off] | data[off + 1] << 8)) {
            clear_generation(data, off);
        }
    }
    v[key + " data"] = data;
    if (!dir) return;
    for (uint64_t off = 0; off + 2 <= data.size();) {
        uint64_t len = data[off] | data[off + 1] << 8;
        ASSERT_GE(len, 41u);
        ASSERT_LE(off + 2 + len, data.size());
        uint64_t nlen = data[off + 41] | data[off + 42] << 8;
        std::string name(data.begin() + off + 43, data.begin() + off + 43 + nlen);
        Path child = path;
        child.push_back(name);
        collect(s, child, v);
        off += 2 + len;
    }
}

View view(Session& s) {
    View v;
    collect(s, {}, v);
    return v;
}

void expect_same_view(const View& a, const View& b) {
    std::vector<std::string> ka, kb;
    for (const auto& e : a) ka.push_back(e.first);
    for (const auto& e : b) kb.push_back(e.first);
    ASSERT_EQ(ka, kb);
    for (const auto& [k, bytes] : a) {
        const Bytes& other = b.at(k);
        EXPECT_TRUE(bytes == other)
            << k << ": " << bytes.size() << " bytes before, " << other.size() << " after";
    }
}

// The generation of an instance's image: inode numbers of the image and of
// the .prev kept beside it (0 when absent). A save renames a new file into
// place and the old image to .prev.
struct Gen {
    ino_t img = 0, prev = 0;
    bool operator==(const Gen&) const = default;
};

Gen gen(const std::string& store, int instance = 0) {
    Gen g;
    struct stat st;
    if (::stat(img_path(store, instance).c_str(), &st) == 0) g.img = st.st_ino;
    if (::stat((img_path(store, instance) + ".prev").c_str(), &st) == 0) g.prev = st.st_ino;
    return g;
}

// Exactly one save happened between the two generations.
::testing::AssertionResult saved_once(const Gen& before, const Gen& after) {
    if (after.img == 0 || after.img == before.img) {
        return ::testing::AssertionFailure() << "no save";
    }
    if (before.img != 0 && after.prev != before.img) {
        return ::testing::AssertionFailure() << "more than one save";
    }
    return ::testing::AssertionSuccess();
}

// Builds the tree of the round-trip test; its slots: 59 of 63.
void build_tree(Session& s) {
    auto ok = [](const Bytes& r) { return type_of(r) == P9_RCLUNK; };
    EXPECT_TRUE(ok(s.create({"usr"}, "share", true)));
    EXPECT_TRUE(ok(s.create({"usr", "share"}, "doc", true)));
    EXPECT_TRUE(ok(s.create({"usr", "share", "doc"}, "pkg", true)));
    EXPECT_TRUE(ok(s.create({"usr", "share", "doc", "pkg"}, "README", false, {{0, {'x'}}})));
    EXPECT_TRUE(ok(s.create({"etc"}, "zero")));
    EXPECT_TRUE(ok(s.create({"etc"}, "one", false, {{0, {'1'}}})));
    EXPECT_TRUE(ok(s.create({"var", "lib"}, "k64", false, {{0, bytes_pattern(65536, 1)}})));
    EXPECT_TRUE(ok(s.create({"var", "lib"}, "k100", false, {{0, bytes_pattern(100000, 2)}})));
    // 4 MiB: fifty chunks of data, then holes, then the very last byte.
    EXPECT_TRUE(ok(s.create({"var", "cache"}, "full", false,
                            {{0, bytes_pattern(50 * 65536, 3)}, {tolvane::FILE_CAP - 1, {0x7F}}})));
    EXPECT_TRUE(ok(s.create({"var", "www"}, "sparse", false, {{70000, {0x55}}})));
    // Length from a zero-count write: no slot at all.
    EXPECT_TRUE(ok(s.create({"var", "www"}, "holes", false, {{300000, {}}})));
    // Several writes raise the version.
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(ok(s.write_at({"etc", "one"}, 0, {static_cast<uint8_t>('a' + i)})));
    }
    // Removed and reused rows.
    for (const char* n : {"r1", "r2", "r3"}) {
        EXPECT_TRUE(ok(s.create({"etc"}, n, false, {{0, bytes_pattern(10, n[1])}})));
    }
    EXPECT_EQ(type_of(s.remove({"etc", "r2"})), tolvane::P9_RREMOVE);
    EXPECT_EQ(type_of(s.remove({"etc", "r1"})), tolvane::P9_RREMOVE);
    EXPECT_TRUE(ok(s.create({"usr"}, "reused", false, {{5, bytes_pattern(20, 9)}})));
}

class Restart : public ::testing::Test {
protected:
    TempDir store;
};

TEST_F(Restart, EverythingAClientSeesComesBack) {
    View before;
    {
        Session s(store.path());
        build_tree(s);
        before = view(s);
        std::string err;
        ASSERT_EQ(s.finish(&err), 0) << err;
        EXPECT_TRUE(contains(err, FRESH)) << err;
    }
    EXPECT_EQ(before.at("/var/cache/full/ data").size(), tolvane::FILE_CAP);
    EXPECT_EQ(before.at("/var/www/holes/ data"), Bytes(300000, 0));
    EXPECT_EQ(before.count("/etc/r1/ stat"), 0u);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        Session s(store.path());
        View after = view(s);
        std::string err;
        ASSERT_EQ(s.finish(&err), 0) << err;
        EXPECT_TRUE(contains(err, RESTORED)) << err;
        expect_same_view(before, after);
    }
}

TEST_F(Restart, InstancesSideBySideDoNotMix) {
    View v0, v7;
    {
        Session s0(store.path());
        Session s7(store.path(), {"7"});
        EXPECT_EQ(type_of(s0.create({"etc"}, "zero", false, {{0, bytes_pattern(3000, 0)}})),
                  P9_RCLUNK);
        EXPECT_EQ(type_of(s7.create({"etc"}, "seven", false, {{0, bytes_pattern(7000, 7)}})),
                  P9_RCLUNK);
        EXPECT_EQ(type_of(s7.create({"var"}, "d7", true)), P9_RCLUNK);
        EXPECT_EQ(type_of(s0.remove({"usr"})), tolvane::P9_RREMOVE);
        v0 = view(s0);
        v7 = view(s7);
        // The later child holds copies of the earlier one's pipes: end it first.
        EXPECT_EQ(s7.finish(), 0);
        EXPECT_EQ(s0.finish(), 0);
    }
    EXPECT_TRUE(file_exists(img_path(store.path(), 0)));
    EXPECT_TRUE(file_exists(img_path(store.path(), 7)));
    EXPECT_FALSE(file_exists(img_path(store.path(), 1)));
    Session s7(store.path(), {"7"});
    Session s0(store.path(), {"0"});
    expect_same_view(v0, view(s0));
    expect_same_view(v7, view(s7));
    EXPECT_EQ(v0.count("/etc/seven/ stat"), 0u);
    EXPECT_EQ(v7.count("/etc/zero/ stat"), 0u);
    EXPECT_EQ(v7.count("/usr/ stat"), 1u);
    EXPECT_EQ(s0.finish(), 0);
    EXPECT_EQ(s7.finish(), 0);
}

// ---- Save points ----

TEST_F(Restart, SavePoints) {
    const std::string img = img_path(store.path(), 0);
    Session s(store.path());
    Gen g = gen(store.path());
    ASSERT_EQ(g.img, 0u) << "an empty store holds no image yet";

    // Create and write: nothing is saved before the clunk.
    ASSERT_TRUE(s.walk(1, {"etc"}));
    ASSERT_EQ(type_of(s.call(tcreate(1, 1, "f", 0644, P9_ORDWR))), P9_RCREATE);
    ASSERT_TRUE(s.write(1, 0, bytes_pattern(5000, 1)));
    EXPECT_EQ(gen(store.path()), g);
    ASSERT_EQ(type_of(s.call(tclunk(1, 1))), P9_RCLUNK);
    Gen g1 = gen(store.path());
    EXPECT_TRUE(saved_once(g, g1));
    std::string first = read_file(img);
    EXPECT_EQ(first.size(), 38792u + 5000u);
    EXPECT_EQ(first.substr(0, 8), "TLNIMG03");

    // A fid that only read, and one opened for writing but never written
    // through, clunk without a save.
    ASSERT_EQ(s.read_all({"etc", "f"}), bytes_pattern(5000, 1));
    ASSERT_TRUE(s.walk(1, {"etc", "f"}));
    ASSERT_EQ(type_of(s.call(topen(1, 1, P9_OWRITE))), P9_ROPEN);
    ASSERT_EQ(type_of(s.call(tclunk(1, 1))), P9_RCLUNK);
    EXPECT_EQ(gen(store.path()), g1);

    // A dirty clunk saves once and the previous image becomes .prev.
    ASSERT_EQ(type_of(s.write_at({"etc", "f"}, 5000, bytes_pattern(10, 2))), P9_RCLUNK);
    Gen g2 = gen(store.path());
    EXPECT_TRUE(saved_once(g1, g2));
    EXPECT_EQ(read_file(img + ".prev"), first);
    EXPECT_EQ(read_file(img).size(), 38792u + 5010u);

    // A refused remove does not save; a successful one does.
    Bytes r = s.remove({"etc"});
    EXPECT_EQ(rerror_text(r), "tolvane: directory not empty");
    EXPECT_EQ(gen(store.path()), g2);
    std::string second = read_file(img);
    r = s.remove({"etc", "f"});
    EXPECT_EQ(type_of(r), tolvane::P9_RREMOVE) << rerror_text(r);
    Gen g3 = gen(store.path());
    EXPECT_TRUE(saved_once(g2, g3));
    EXPECT_EQ(read_file(img + ".prev"), second);
    EXPECT_EQ(read_file(img).size(), 38792u);

    // Tversion forgets the dirty mark of a fid written through.
    ASSERT_TRUE(s.walk(1, {"etc"}));
    ASSERT_EQ(type_of(s.call(tcreate(1, 1, "g", 0644, P9_ORDWR))), P9_RCREATE);
    ASSERT_EQ(type_of(s.call(tversion(1, MSIZE))), P9_RVERSION);
    EXPECT_EQ(gen(store.path()), g3);
    ASSERT_EQ(type_of(s.call(tattach(1, 0))), P9_RATTACH);

    // End of stream saves once: the file created above is in it.
    std::string err;
    EXPECT_EQ(s.finish(&err), 0);
    EXPECT_TRUE(saved_once(g3, gen(store.path())));
    EXPECT_FALSE(contains(err, PERSIST_FAILED)) << err;
    EXPECT_FALSE(contains(err, TOO_LARGE)) << err;
    Session again(store.path());
    EXPECT_TRUE(again.exists({"etc", "g"}));
    EXPECT_FALSE(again.exists({"etc", "f"}));
    EXPECT_EQ(again.finish(), 0);
}

TEST_F(Restart, WireErrorSavesWhatWasNotYetClunked) {
    Session s(store.path());
    ASSERT_EQ(type_of(s.create({"etc"}, "a", false, {{0, bytes_pattern(100, 1)}})), P9_RCLUNK);
    Gen g = gen(store.path());
    // Written through a fid that is never clunked.
    ASSERT_TRUE(s.walk(1, {"etc", "a"}));
    ASSERT_EQ(type_of(s.call(topen(1, 1, P9_OWRITE))), P9_ROPEN);
    ASSERT_TRUE(s.write(1, 100, bytes_pattern(50, 2)));
    // A size field of 3.
    Bytes bad = {3, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(::write(s.p.in_fd, bad.data(), bad.size()), 7);
    std::string err;
    EXPECT_EQ(proc_wait(s.p, &err), 1);
    EXPECT_TRUE(contains(err, WIRE)) << err;
    EXPECT_TRUE(saved_once(g, gen(store.path())));
    Session again(store.path());
    Bytes want = bytes_pattern(100, 1), more = bytes_pattern(50, 2);
    want.insert(want.end(), more.begin(), more.end());
    EXPECT_EQ(again.read_all({"etc", "a"}), want);
    EXPECT_EQ(again.finish(), 0);
}

TEST_F(Restart, NoStoreWritesNothing) {
    TempDir home;
    std::map<std::string, std::string> env = {{"HOME", home.path()},
                                              {"XDG_STATE_HOME", home.path() + "/state"}};
    Session s("", {}, env);
    EXPECT_EQ(type_of(s.create({"etc"}, "a", false, {{0, bytes_pattern(100, 1)}})), P9_RCLUNK);
    EXPECT_EQ(type_of(s.remove({"etc", "a"})), tolvane::P9_RREMOVE);
    EXPECT_EQ(type_of(s.create({"var"}, "d", true)), P9_RCLUNK);
    std::string err;
    EXPECT_EQ(s.finish(&err), 0);
    EXPECT_TRUE(contains(err, FRESH)) << err;
    EXPECT_FALSE(contains(err, PERSIST_FAILED)) << err;
    EXPECT_FALSE(contains(err, TOO_LARGE)) << err;
    EXPECT_TRUE(fs::is_empty(home.path())) << "nothing may be written anywhere";
    EXPECT_TRUE(fs::is_empty(store.path()));
}

// ---- Failures of the store and of the size ----

class StoreFault : public Restart, public ::testing::WithParamInterface<const char*> {};

TEST_P(StoreFault, ReachesTheClientAndKeepsThePreviousImage) {
    {
        Session s(store.path());
        ASSERT_EQ(type_of(s.create({"etc"}, "keep", false, {{0, bytes_pattern(1000, 1)}})),
                  P9_RCLUNK);
        ASSERT_EQ(s.finish(), 0);
    }
    const std::string img = img_path(store.path(), 0);
    std::string stored = read_file(img);
    ASSERT_EQ(stored.size(), 38792u + 1000u);

    Session s(store.path(), {}, {{"VELMOR_STORE_FAULT", GetParam()}});
    Bytes r = s.create({"etc"}, "new", false, {{0, bytes_pattern(10, 2)}});
    EXPECT_EQ(rerror_text(r), "tolvane: persist failed");
    EXPECT_EQ(rerror_text(s.call(tclunk(1, 1))), "tolvane: unknown fid") << "the fid is released";
    // Serving goes on, with the tree as changed in memory.
    EXPECT_EQ(s.read_all({"etc", "new"}), bytes_pattern(10, 2));
    r = s.remove({"etc", "keep"});
    EXPECT_EQ(rerror_text(r), "tolvane: remove not persisted");
    EXPECT_EQ(rerror_text(s.call(tclunk(1, 1))), "tolvane: unknown fid");
    EXPECT_FALSE(s.exists({"etc", "keep"})) << "removed in memory";
    EXPECT_EQ(read_file(img), stored);
    std::string err;
    EXPECT_EQ(s.finish(&err), 1) << "the save at end of stream failed too";
    ASSERT_TRUE(contains(err, PERSIST_FAILED)) << err;
    EXPECT_TRUE(err.size() >= EOF_LINE.size() &&
                err.compare(err.size() - EOF_LINE.size(), EOF_LINE.size(), EOF_LINE) == 0)
        << err;
    EXPECT_LT(err.rfind(PERSIST_FAILED), err.rfind(EOF_LINE));
    EXPECT_EQ(read_file(img), stored);

    // The previous image is intact and restores.
    Session again(store.path());
    EXPECT_EQ(again.read_all({"etc", "keep"}), bytes_pattern(1000, 1));
    EXPECT_FALSE(again.exists({"etc", "new"}));
    err.clear();
    EXPECT_EQ(again.finish(&err), 0);
    EXPECT_TRUE(contains(err, RESTORED)) << err;
}

INSTANTIATE_TEST_SUITE_P(Modes, StoreFault, ::testing::Values("fail", "short", "nospace"));

TEST_F(Restart, FaultAfterSomeSavesFailsOnlyTheLaterOnes) {
    Session s(store.path(), {},
              {{"VELMOR_STORE_FAULT", "fail"}, {"VELMOR_STORE_FAULT_AFTER", "1"}});
    EXPECT_EQ(type_of(s.create({"etc"}, "a", false, {{0, {1}}})), P9_RCLUNK);
    std::string stored = read_file(img_path(store.path(), 0));
    EXPECT_EQ(rerror_text(s.create({"etc"}, "b", false, {{0, {2}}})), "tolvane: persist failed");
    EXPECT_EQ(read_file(img_path(store.path(), 0)), stored);
    EXPECT_EQ(s.finish(), 1);
}

// Two files of FILE_CAP bytes with one slot each would need an image larger
// than SNAP_CAP: the write that would make the second one is refused, and
// every save goes through. After a restart the room left is counted again.
TEST_F(Restart, AWriteThatWouldOverfillTheImageIsRefusedAndEverySaveSucceeds) {
    const uint64_t room = tolvane::SNAP_CAP - 38792u - tolvane::FILE_CAP;
    const std::string full = "tolvane: snapshot capacity exhausted";
    std::string err;
    {
        Session s(store.path());
        EXPECT_EQ(type_of(s.create({"etc"}, "a", false, {{tolvane::FILE_CAP - 1, {1}}})),
                  P9_RCLUNK);
        EXPECT_EQ(read_file(img_path(store.path(), 0)).size(), 38792u + tolvane::FILE_CAP);
        ASSERT_TRUE(s.walk(1, {"etc"}));
        ASSERT_EQ(type_of(s.call(tcreate(1, 1, "b", 0644, P9_ORDWR))), P9_RCREATE);
        EXPECT_EQ(rerror_text(s.call(twrite(1, 1, tolvane::FILE_CAP - 1, {2}))), full);
        EXPECT_TRUE(s.write(1, 5, {2}));
        EXPECT_EQ(type_of(s.call(tclunk(1, 1))), P9_RCLUNK);
        EXPECT_EQ(read_file(img_path(store.path(), 0)).size(), 38792u + tolvane::FILE_CAP + 6);
        EXPECT_EQ(s.finish(&err), 0);
        EXPECT_FALSE(contains(err, TOO_LARGE)) << err;
        EXPECT_FALSE(contains(err, PERSIST_FAILED)) << err;
    }
    Session t(store.path());
    EXPECT_EQ(t.read_all({"etc", "b"}), (Bytes{0, 0, 0, 0, 0, 2}));
    ASSERT_TRUE(t.walk(1, {"etc", "b"}));
    ASSERT_EQ(type_of(t.call(topen(1, 1, P9_OWRITE))), P9_ROPEN);
    EXPECT_EQ(rerror_text(t.call(twrite(1, 1, room, {3}))), full);
    EXPECT_TRUE(t.write(1, room - 1, {3}));
    EXPECT_EQ(type_of(t.call(tclunk(1, 1))), P9_RCLUNK);
    EXPECT_EQ(read_file(img_path(store.path(), 0)).size(), tolvane::SNAP_CAP);
    EXPECT_EQ(t.finish(&err), 0);
    EXPECT_FALSE(contains(err, TOO_LARGE)) << err;
}

TEST_F(Restart, EndOfStreamSavesWhatTheRefusedWriteLeft) {
    Session s(store.path());
    for (const char* n : {"a", "b"}) {
        ASSERT_TRUE(s.walk(1, {"etc"}));
        ASSERT_EQ(type_of(s.call(tcreate(1, 1, n, 0644, P9_ORDWR))), P9_RCREATE);
        Bytes r = s.call(twrite(1, 1, tolvane::FILE_CAP - 1, {1}));
        if (std::string(n) == "a") {
            ASSERT_EQ(type_of(r), P9_RWRITE);
        } else {
            ASSERT_EQ(rerror_text(r), "tolvane: snapshot capacity exhausted");
        }
        ASSERT_EQ(type_of(s.call(tversion(1, MSIZE))), P9_RVERSION);  // drops the dirty fid
        ASSERT_EQ(type_of(s.call(tattach(1, 0))), P9_RATTACH);
    }
    std::string err;
    EXPECT_EQ(s.finish(&err), 0);
    EXPECT_TRUE(contains(err, EOF_LINE)) << err;
    EXPECT_FALSE(contains(err, TOO_LARGE)) << err;
    EXPECT_EQ(read_file(img_path(store.path(), 0)).size(), 38792u + tolvane::FILE_CAP);
}

// ---- Refused images at start ----

void write_bytes(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

TEST_F(Restart, RefusedImageIsKeptAsideAndNeverOverwritten) {
    // A parent cycle between /var/lib and /var/lib/dpkg, and a bad magic.
    persist_test::ImageDesc d = persist_test::skeleton_desc();
    d.rows[4].parent = 7;
    Bytes cyclic = d.encode();
    Bytes bad_magic = persist_test::skeleton_desc().encode();
    bad_magic[3] = 'X';
    for (const Bytes& image : {cyclic, bad_magic}) {
        TempDir dir;
        write_bytes(img_path(dir.path(), 0), image);
        std::string kept;
        {
            Session s(dir.path());
            EXPECT_EQ(type_of(s.create({"etc"}, "a", false, {{0, {1}}})), P9_RCLUNK);
            std::string err;
            EXPECT_EQ(s.finish(&err), 0);
            size_t at = err.find(REJECTED);
            ASSERT_NE(at, std::string::npos) << err;
            size_t end = err.find('\n', at);
            kept = err.substr(at + REJECTED.size(), end - at - REJECTED.size());
            EXPECT_TRUE(contains(err, FRESH)) << err;
        }
        ASSERT_TRUE(file_exists(kept)) << kept;
        EXPECT_EQ(fs::path(kept).parent_path(), fs::path(dir.path()));
        EXPECT_EQ(read_file(kept), std::string(image.begin(), image.end()));
        // Later starts and saves leave it alone.
        {
            Session s(dir.path());
            EXPECT_TRUE(s.exists({"etc", "a"}));
            EXPECT_EQ(type_of(s.create({"etc"}, "b", false, {{0, {2}}})), P9_RCLUNK);
            std::string err;
            EXPECT_EQ(s.finish(&err), 0);
            EXPECT_TRUE(contains(err, RESTORED)) << err;
        }
        EXPECT_EQ(read_file(kept), std::string(image.begin(), image.end()));
    }
}

// Sets or clears the immutable flag of a directory: nothing can be linked,
// renamed or created in it, not even by root. False when the file system or
// the process's capabilities do not allow it.
bool set_immutable(const std::string& dir, bool on) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

TEST_F(Restart, RefusedImageTheStoreCannotKeepTurnsSavesOff) {
    persist_test::ImageDesc d = persist_test::skeleton_desc();
    d.rows[12].kind = 7;
    Bytes image = d.encode();
    const std::string img = img_path(store.path(), 0);
    write_bytes(img, image);
    write_bytes(store.path() + "/tln-0.lock", {});
    if (!set_immutable(store.path(), true)) GTEST_SKIP() << "cannot make the store immutable here";
    std::string err;
    {
        Session s(store.path());
        EXPECT_EQ(type_of(s.create({"etc"}, "a", false, {{0, {1}}})), P9_RCLUNK)
            << "a skipped save is no failure";
        EXPECT_EQ(type_of(s.remove({"etc", "a"})), tolvane::P9_RREMOVE);
        EXPECT_EQ(s.finish(&err), 0);
    }
    ASSERT_TRUE(set_immutable(store.path(), false));
    EXPECT_TRUE(contains(err,
                         "[tolvane] snapshot rejected; the store could not keep it aside; "
                         "saves are off\n"))
        << err;
    EXPECT_TRUE(contains(err, FRESH)) << err;
    EXPECT_FALSE(contains(err, PERSIST_FAILED)) << err;
    EXPECT_EQ(read_file(img), std::string(image.begin(), image.end()));
    EXPECT_FALSE(file_exists(img + ".prev"));
}

// ---- Crash safety ----

// Writes every byte, ignoring failures (the peer may be killed meanwhile).
void raw_write(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = ::write(fd, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

TEST_F(Restart, KillAtAnyMomentLeavesAWholeImage) {
    constexpr size_t FILE_SIZE = 300000;
    {
        Session s(store.path());
        ASSERT_EQ(type_of(s.create({"etc"}, "c", false, {{0, Bytes(FILE_SIZE, 1)}})), P9_RCLUNK);
        ASSERT_EQ(s.finish(), 0);
    }
    std::mt19937 rng(20240611);
    std::vector<uint8_t> written = {1};
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        Proc p = spawn_server({}, {{"VELMOR_STORE", store.path()},
                                   {"VELMOR_STORE_FAULT", "<unset>"},
                                   {"VELMOR_STORE_FAULT_AFTER", "<unset>"}});
        // A stream of dirty clunks, each rewriting the whole file with one
        // value, sent without waiting for the replies.
        Bytes stream;
        auto add = [&](const Bytes& m) { stream.insert(stream.end(), m.begin(), m.end()); };
        add(tversion(1, MSIZE));
        add(tattach(1, 0));
        for (int k = 0; k < 6; k++) {
            uint8_t v = static_cast<uint8_t>(2 + (round * 6 + k) % 250);
            written.push_back(v);
            add(twalk(1, 0, 1, {"etc", "c"}));
            add(topen(1, 1, P9_OWRITE));
            for (size_t off = 0; off < FILE_SIZE; off += IO) {
                add(twrite(1, 1, off, Bytes(std::min<size_t>(IO, FILE_SIZE - off), v)));
            }
            add(tclunk(1, 1));
        }
        std::thread writer([&] { raw_write(p.in_fd, stream); });
        std::thread reader([&] {  // keeps the reply pipe from filling
            char buf[4096];
            while (::read(p.out_fd, buf, sizeof buf) > 0) {
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
        ::kill(p.pid, SIGKILL);
        writer.join();
        reader.join();
        proc_finish(p);

        // The stored image is whole: the reader accepts it in process...
        std::string img = read_file(img_path(store.path(), 0));
        reset_server();
        ASSERT_LE(img.size(), tolvane::SNAP_CAP);
        std::copy(img.begin(), img.end(), tolvane::snap_buf.begin());
        EXPECT_EQ(tolvane::tln_deserialize(img.size()), 1) << img.size() << " bytes";
        // ...and the binary restores it, with one of the values written.
        Session s(store.path());
        Bytes c = s.read_all({"etc", "c"});
        std::string err;
        EXPECT_EQ(s.finish(&err), 0);
        ASSERT_TRUE(contains(err, RESTORED)) << err;
        ASSERT_EQ(c.size(), FILE_SIZE);
        EXPECT_EQ(std::count(c.begin(), c.end(), c[0]), static_cast<long>(FILE_SIZE));
        EXPECT_NE(std::find(written.begin(), written.end(), c[0]), written.end());
    }
}

}  // namespace
