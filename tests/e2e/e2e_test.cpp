// tlnc against the real tolvane binary: trees of directories and files put and
// got back byte for byte, listings and stats, every refusal a user can meet,
// a stop and restart that keeps everything, a server on tlnc's own stdio, two
// servers at once, and servers that hang up, stay silent or talk garbage.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "9p/9p.h"
#include "client.h"
#include "e2e_util.h"

namespace e2e {
namespace {

using tolvane_test::file_exists;
using tolvane_test::read_file;

constexpr size_t SLOT = 65536;
constexpr size_t POOL_SLOTS = 63;
constexpr size_t FILE_LIMIT = 64 * SLOT;  // 4 MiB
constexpr size_t SKELETON_NODES = 11;     // root and the ten distro directories
constexpr size_t NODE_ROWS = 384;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::vector<std::string> host_dir_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class E2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::mkdir(host.c_str(), 0700), 0); }

    std::map<std::string, std::string> env() const {
        return {{"VELMOR_SRV", srv}, {"VELMOR_STORE", store}};
    }

    std::unique_ptr<PostedServer> start(const std::string& name = "t",
                                        const std::string& digit = "") {
        auto s = std::make_unique<PostedServer>(name, srv, store, digit);
        EXPECT_TRUE(s->ready());
        return s;
    }

    // tlnc -s NAME ARGS...
    Outcome on(const std::string& name, std::vector<std::string> args, const std::string& in = "") {
        args.insert(args.begin(), {"-s", name});
        return tlnc(args, in, env());
    }
    Outcome t(std::vector<std::string> args, const std::string& in = "") {
        return on("t", std::move(args), in);
    }

    // Runs and expects success with no complaint.
    std::string ok(std::vector<std::string> args, const std::string& in = "") {
        Outcome r = t(args, in);
        std::string cmd;
        for (const auto& a : args) cmd += a + " ";
        EXPECT_EQ(r.status, 0) << cmd << "\nstderr: " << r.err;
        EXPECT_EQ(r.err, "") << cmd;
        return r.out;
    }

    std::string h(const std::string& name) const { return host + "/" + name; }

    tolvane_test::TempDir tmp;
    std::string srv = tmp.path() + "/srv";
    std::string store = tmp.path() + "/store";
    std::string host = tmp.path() + "/host";
};

// ---- Files, directories, listings ----

TEST_F(E2E, TreeOfFilesRoundTripsByteForByte) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    for (const char* d : {"/work", "/work/a", "/work/a/b", "/work/empty"}) ok({"mkdir", d});

    // Sizes around the 64 KiB slot and the 131048-byte request: 28 slots.
    const size_t sizes[] = {0, 1, 4095, 65535, 65536, 65537, 131047, 131048, 131049, 1000000};
    std::vector<std::string> names;
    for (size_t i = 0; i < std::size(sizes); i++) {
        std::string name = "f" + std::to_string(sizes[i]);
        names.push_back(name);
        write_file(h(name), pattern(sizes[i], static_cast<uint32_t>(i)));
        EXPECT_EQ(ok({"put", h(name), "/work/a/b/" + name}), "");
    }
    for (size_t i = 0; i < std::size(sizes); i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(ok({"get", "/work/a/b/" + names[i], h("back-" + names[i])}), "");
        std::string back = read_file(h("back-" + names[i]));
        ASSERT_EQ(back.size(), sizes[i]);
        EXPECT_TRUE(back == pattern(sizes[i], static_cast<uint32_t>(i)));
        EXPECT_TRUE(ok({"cat", "/work/a/b/" + names[i]}) == back);
    }

    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    std::string want;
    for (const auto& n : sorted) want += n + "\n";
    EXPECT_EQ(ok({"ls", "/work/a/b"}), want);
    EXPECT_EQ(ok({"ls", "/work/empty"}), "");
    EXPECT_EQ(ok({"ls", "/work/a/b/f1"}), "/work/a/b/f1\n");

    // ls -l: MODE UID GID LENGTH (QIDPATH VERS TYPE) NAME
    std::vector<std::string> long_lines = lines(ok({"ls", "-l", "/work/a/b"}));
    ASSERT_EQ(long_lines.size(), sorted.size());
    for (size_t i = 0; i < sorted.size(); i++) {
        std::istringstream in(long_lines[i]);
        std::string mode, uid, gid, qpath, qvers, qtype, name;
        uint64_t length = 0;
        in >> mode >> uid >> gid >> length >> qpath >> qvers >> qtype >> name;
        EXPECT_EQ(mode, "--rwxrwxrwx") << long_lines[i];
        EXPECT_EQ(uid, "velmor");
        EXPECT_EQ(gid, "velmor");
        EXPECT_EQ(std::to_string(length), sorted[i].substr(1));
        EXPECT_EQ(qpath.size(), 17u);  // "(" and sixteen hex digits
        EXPECT_EQ(qtype, "00)");
        EXPECT_EQ(name, sorted[i]);
    }
    std::vector<std::string> root_long = lines(ok({"ls", "-l", "/"}));
    ASSERT_EQ(root_long.size(), 4u);
    EXPECT_EQ(root_long[3].substr(0, 37), "d-rwxrwxrwx velmor velmor          0 ");
    EXPECT_EQ(root_long[3].substr(root_long[3].size() - 9), " 80) work");

    std::vector<std::string> st = lines(ok({"stat", "/work/a/b/f65537"}));
    ASSERT_EQ(st.size(), 11u);
    EXPECT_EQ(st[0], "name   f65537");
    EXPECT_EQ(st[1].substr(st[1].size() - 9), " 00) file");
    EXPECT_EQ(st[2], "mode   --rwxrwxrwx (0x000001ff)");
    EXPECT_EQ(st[3], "length 65537");
    EXPECT_EQ(st[4], "uid    velmor");
    EXPECT_EQ(st[5], "gid    velmor");
    EXPECT_EQ(st[6], "muid   velmor");
    std::vector<std::string> dst = lines(ok({"stat", "/work"}));
    ASSERT_EQ(dst.size(), 11u);
    EXPECT_EQ(dst[1].substr(dst[1].size() - 14), " 80) directory");
    EXPECT_EQ(dst[2], "mode   d-rwxrwxrwx (0x800001ff)");

    want = "/work/\n/work/a/\n/work/a/b/\n";
    for (const auto& n : sorted) want += "/work/a/b/" + n + "\n";
    want += "/work/empty/\n";
    EXPECT_EQ(ok({"tree", "/work"}), want);
    EXPECT_EQ(ok({"tree", "/work/a/b/f1"}), "/work/a/b/f1\n");

    // write: from standard input, then truncated by a shorter one.
    std::string w = pattern(70000, 99);
    EXPECT_EQ(ok({"write", "/work/w"}, w), "");
    EXPECT_TRUE(ok({"cat", "/work/w"}) == w);
    EXPECT_EQ(ok({"write", "/work/w"}, "short\n"), "");
    EXPECT_EQ(ok({"cat", "/work/w"}), "short\n");
    EXPECT_EQ(ok({"write", "/work/empty-file"}), "");
    EXPECT_EQ(ok({"cat", "/work/empty-file"}), "");

    // put into a directory keeps the host file's name; put over a file truncates.
    write_file(h("named"), "abc");
    ok({"put", h("named"), "/work/empty"});
    EXPECT_EQ(ok({"cat", "/work/empty/named"}), "abc");
    ok({"put", h("f1"), "/work/empty/named"});
    EXPECT_TRUE(ok({"cat", "/work/empty/named"}) == read_file(h("f1")));
    // get into a host directory keeps the file's name.
    ok({"get", "/work/empty/named", host});
    EXPECT_TRUE(read_file(h("named")) == read_file(h("f1")));

    // rm a file and an emptied directory.
    ok({"rm", "/work/a/b/f0"});
    EXPECT_EQ(ok({"ls", "/work/a/b"}).find("f0\n"), std::string::npos);
    ok({"rm", "/work/empty/named"});
    ok({"rm", "/work/empty"});
    EXPECT_EQ(ok({"ls", "/work"}), "a\nempty-file\nw\n");
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, PathsDeeperThanOneTwalk) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    std::string path;
    for (int i = 0; i < 20; i++) {
        path += "/d" + std::to_string(i);
        ok({"mkdir", path});
    }
    ok({"write", path + "/leaf"}, "deep\n");
    EXPECT_EQ(ok({"cat", path + "/leaf"}), "deep\n");
    EXPECT_EQ(ok({"ls", path}), "leaf\n");
    Outcome r = t({"cat", path + "/nosuch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: cat " + path + "/nosuch: tolvane: no such file or directory\n");
    EXPECT_EQ(s->stop(), 0);
}

// ---- Limits ----

TEST_F(E2E, TheLargestFileFillsThePoolAndMoreIsRefused) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    std::string big = pattern(POOL_SLOTS * SLOT, 7);
    write_file(h("big"), big);
    EXPECT_EQ(ok({"put", h("big"), "/var/big"}), "");
    ok({"get", "/var/big", h("big-back")});
    EXPECT_TRUE(read_file(h("big-back")) == big);
    EXPECT_NE(ok({"stat", "/var/big"}).find("length 4128768\n"), std::string::npos);

    // Every slot is taken: one byte more anywhere is refused, and nothing is kept.
    write_file(h("one"), "1");
    Outcome r = t({"put", h("one"), "/etc/one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: put /etc/one: tolvane: file-data pool exhausted\n");
    r = t({"write", "/etc/two"}, "2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: write /etc/two: tolvane: file-data pool exhausted\n");
    EXPECT_EQ(ok({"ls", "/etc"}), "");
    // An empty file takes no slot.
    ok({"write", "/etc/empty"});

    ok({"rm", "/var/big"});
    ok({"put", h("one"), "/etc/one"});
    EXPECT_EQ(ok({"cat", "/etc/one"}), "1");
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, FilesOverTheLimitAreRefusedAndNotKept) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    // 63 slots of 64 KiB are less than the 4 MiB a file may hold, so a file of
    // 4 MiB or more always runs out of slots: put says so and keeps nothing.
    for (size_t size : {FILE_LIMIT, FILE_LIMIT + 1, FILE_LIMIT + SLOT * 16}) {
        SCOPED_TRACE(size);
        write_file(h("huge"), pattern(size, 3));
        Outcome r = t({"put", h("huge"), "/huge"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tlnc: put /huge: tolvane: file-data pool exhausted\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ok({"ls", "/"}), "etc\nusr\nvar\n");
        r = t({"write", "/huge"}, pattern(size, 4));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tlnc: write /huge: tolvane: file-data pool exhausted\n");
        EXPECT_EQ(ok({"ls", "/"}), "etc\nusr\nvar\n");
    }
    // The refused copies gave their slots back.
    write_file(h("big"), pattern(POOL_SLOTS * SLOT, 5));
    ok({"put", h("big"), "/big"});
    ok({"get", "/big", h("big-back")});
    EXPECT_TRUE(read_file(h("big-back")) == pattern(POOL_SLOTS * SLOT, 5));
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, NodeTableFull) {
    // No backing store (VELMOR_STORE set but empty): each of the 373 creates
    // below would otherwise save the whole tree, and nothing here needs it.
    auto s = std::make_unique<PostedServer>("t", srv, "");
    ASSERT_TRUE(s->ready());
    // Fill the table through one connection; the refusals then come through tlnc.
    {
        auto c = tlnclient::Client::connect_socket(srv + "/t");
        ASSERT_TRUE(c.ok()) << c.error().text;
        auto& cl = *c.value();
        auto root = cl.attach("");
        ASSERT_TRUE(root.ok());
        for (size_t i = SKELETON_NODES; i < NODE_ROWS; i++) {
            auto dir = cl.walk(root.value(), "/usr");
            ASSERT_TRUE(dir.ok()) << dir.error().text;
            auto made = cl.create(dir.value(), "n" + std::to_string(i), P9_DMDIR | 0777, P9_OREAD);
            ASSERT_TRUE(made.ok()) << i << ": " << made.error().text;
            ASSERT_TRUE(cl.clunk(dir.value()).ok());
        }
        ASSERT_TRUE(cl.clunk(root.value()).ok());
        ASSERT_TRUE(cl.close().ok());
    }
    Outcome r = t({"mkdir", "/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: mkdir /full: tolvane: node table full\n");
    write_file(h("x"), "x");
    r = t({"put", h("x"), "/etc/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: put /etc/x: tolvane: node table full\n");
    r = t({"write", "/etc/x"}, "x");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: write /etc/x: tolvane: node table full\n");
    EXPECT_EQ(lines(ok({"ls", "/usr"})).size(), NODE_ROWS - SKELETON_NODES);

    ok({"rm", "/usr/n200"});
    ok({"mkdir", "/full"});
    r = t({"mkdir", "/full2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, WholeDirectoriesGoInAndComeBackOut) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    for (const char* d : {"src", "src/a", "src/a/b", "src/empty"})
        ASSERT_EQ(::mkdir(h(d).c_str(), 0700), 0);
    const std::pair<const char*, size_t> files[] = {
        {"src/a/x", 100}, {"src/a/b/y", 70000}, {"src/z", 0}};
    for (const auto& [f, n] : files) write_file(h(f), pattern(n, static_cast<uint32_t>(n)));

    // Into an existing directory, under the host directory's own name.
    EXPECT_EQ(ok({"put", "-r", h("src"), "/var"}), "");
    EXPECT_EQ(ok({"tree", "/var/src"}),
              "/var/src/\n/var/src/a/\n/var/src/a/b/\n/var/src/a/b/y\n/var/src/a/x\n"
              "/var/src/empty/\n/var/src/z\n");
    // Out to a host directory that does not exist yet: made, under that name.
    EXPECT_EQ(ok({"get", "-r", "/var/src", h("back")}), "");
    EXPECT_EQ(host_dir_names(h("back")), (std::vector<std::string>{"a", "empty", "z"}));
    for (const auto& [f, n] : files) {
        EXPECT_TRUE(read_file(h("back") + std::string(f).substr(3)) ==
                    pattern(n, static_cast<uint32_t>(n)))
            << f;
    }

    // Running out of room stops the copy at the file that did not fit, removed;
    // what came before it stays and is counted.
    ASSERT_EQ(::mkdir(h("big").c_str(), 0700), 0);
    write_file(h("big/f1"), pattern(40 * SLOT, 1));
    write_file(h("big/f2"), pattern(40 * SLOT, 2));
    Outcome r = t({"put", "-r", h("big"), "/etc/big"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "tlnc: put /etc/big/f2: tolvane: file-data pool exhausted\n"
              "tlnc: put -r: stopped at /etc/big/f2; copied before it: 1 files (2621440 "
              "bytes) and 1 directories\n");
    EXPECT_EQ(ok({"ls", "/etc/big"}), "f1\n");
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, GetOfADirectoryWritesNothingOutsideIt) {
    std::string fake = "'" + self_binary() + "' --fake-server escaping-names";
    Outcome r = tlnc({"-c", fake, "get", "-r", "/", h("out")}, "", env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "tlnc: get /../escape: a name that is no host file name\n"
              "tlnc: get -r: stopped at /../escape; copied before it: 0 files (0 bytes) "
              "and 1 directories\n");
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{"out"});
    EXPECT_EQ(host_dir_names(h("out")), std::vector<std::string>{});
}

TEST_F(E2E, DfCountsNodesSlotsAndTheImageTheNextSaveWrites) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    EXPECT_EQ(ok({"df"}),
              "        used     free    total\n"
              "nodes       11      373      384\n"
              "slots        0       63       63\n"
              "image    38792  5204088  5242880\n");
    write_file(h("f"), pattern(SLOT + 1, 3));
    ok({"put", h("f"), "/etc/f"});
    ok({"mkdir", "/etc/d"});
    EXPECT_EQ(ok({"df"}),
              "        used     free    total\n"
              "nodes       13      371      384\n"
              "slots        2       61       63\n"
              "image   104329  5138551  5242880\n");
    EXPECT_EQ(s->stop(), 0);
    EXPECT_EQ(read_file(store + "/tln-0.img").size(), 104329u);
}

TEST_F(E2E, CatOfSeveralFilesGoesOnPastOneThatFails) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    ok({"write", "/etc/a"}, "A");
    ok({"write", "/etc/b"}, "B");
    EXPECT_EQ(ok({"cat", "/etc/a", "/etc/b", "/etc/a"}), "ABA");
    Outcome r = t({"cat", "/etc/a", "/etc/nosuch", "/etc/b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "AB");
    EXPECT_EQ(r.err, "tlnc: cat /etc/nosuch: tolvane: no such file or directory\n");
    EXPECT_EQ(s->stop(), 0);
}

// ---- Refusals ----

TEST_F(E2E, EveryRefusalNamesTheCommandThePathAndTheReason) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    ok({"write", "/etc/file"}, "0123456789");
    ok({"mkdir", "/etc/dir"});
    ok({"write", "/etc/dir/inner"}, "x");
    std::string name64(64, 'n'), name65(65, 'n');
    write_file(h("src"), "data");

    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string nsf = "tolvane: no such file or directory";
    const Case cases[] = {
        {{"cat", "/nosuch"}, "tlnc: cat /nosuch: " + nsf},
        {{"cat", "/var/lib/nosuch"}, "tlnc: cat /var/lib/nosuch: " + nsf},
        {{"ls", "/etc/file/x"}, "tlnc: ls /etc/file/x: " + nsf},
        {{"ls", "-l", "/nosuch"}, "tlnc: ls /nosuch: " + nsf},
        {{"stat", "/nosuch"}, "tlnc: stat /nosuch: " + nsf},
        {{"tree", "/nosuch"}, "tlnc: tree /nosuch: " + nsf},
        {{"rm", "/etc/nosuch"}, "tlnc: rm /etc/nosuch: " + nsf},
        {{"get", "/nosuch", h("got")}, "tlnc: get /nosuch: " + nsf},
        {{"mkdir", "/nosuch/d"}, "tlnc: mkdir /nosuch/d: " + nsf},
        {{"put", h("src"), "/nosuch/f"}, "tlnc: put /nosuch/f: " + nsf},
        {{"write", "/nosuch/f"}, "tlnc: write /nosuch/f: " + nsf},
        {{"rm", "/etc/dir"}, "tlnc: rm /etc/dir: tolvane: directory not empty"},
        {{"rm", "/"}, "tlnc: rm /: tolvane: cannot remove root"},
        {{"mkdir", "/etc"}, "tlnc: mkdir /etc: tolvane: name exists"},
        {{"mkdir", "/etc/file"}, "tlnc: mkdir /etc/file: tolvane: name exists"},
        {{"mkdir", "/etc/file/d"}, "tlnc: mkdir /etc/file/d: tolvane: create in a non-directory"},
        {{"mkdir", "/etc/" + name65}, "tlnc: mkdir /etc/" + name65 + ": tolvane: bad name length"},
        {{"put", h("src"), "/etc/" + name65},
         "tlnc: put /etc/" + name65 + ": tolvane: bad name length"},
        {{"cat", "/etc"}, "tlnc: cat /etc: is a directory"},
        {{"get", "/etc", h("got")}, "tlnc: get /etc: is a directory"},
        {{"write", "/etc/dir"}, "tlnc: write /etc/dir: is a directory"},
        {{"mkdir", "/etc/.."}, "tlnc: mkdir /etc/..: '..' cannot be created"},
        {{"put", h("missing"), "/etc/x"},
         "tlnc: put /etc/x: " + h("missing") + ": No such file or directory"},
        {{"put", host, "/etc/x"}, "tlnc: put /etc/x: " + host + ": is a directory"},
        {{"-A", "nosuch", "ls", "/"}, "tlnc: attach nosuch: tolvane: unknown attach tree"},
        {{"-A", "etc/dir", "ls", "/"}, "tlnc: attach etc/dir: tolvane: unknown attach tree"},
    };
    for (const Case& c : cases) {
        std::string cmd;
        for (const auto& a : c.args) cmd += a + " ";
        SCOPED_TRACE(cmd);
        Outcome r = t(c.args, c.args[0] == "write" ? "w" : "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err + "\n");
        EXPECT_EQ(r.out, "");
    }
    // Nothing was left behind by any of them.
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{"src"});
    EXPECT_EQ(ok({"tree", "/etc"}), "/etc/\n/etc/dir/\n/etc/dir/inner\n/etc/file\n");
    EXPECT_EQ(ok({"cat", "/etc/file"}), "0123456789");

    // The 64-byte name is the longest accepted; -A selects a tree.
    ok({"mkdir", "/etc/" + name64});
    EXPECT_EQ(ok({"-A", "etc", "ls", "/"}), "dir\nfile\n" + name64 + "\n");
    EXPECT_EQ(ok({"-A", "/etc", "cat", "file"}), "0123456789");
    EXPECT_EQ(s->stop(), 0);
}

TEST_F(E2E, UsageErrorsExitWith2) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frob"},
        {"stat"},
        {"cat"},  // cat takes several files, but at least one
        {"df", "a"},
        {"put", "-r", "a"},
        {"put", "a"},
        {"get", "a", "b", "c"},
        {"tree", "a", "b"},
        {"ls", "-x", "/"},
        {"-s", "a", "-a", "b", "ls"},
        {"-s"},
        {"-t", "0", "ls"},
        {"-t", "x", "ls"},
        {"-q", "ls"},
        {"help", "frob"},
    };
    for (const auto& args : cases) {
        std::string cmd;
        for (const auto& a : args) cmd += a + " ";
        SCOPED_TRACE(cmd);
        Outcome r = tlnc(args, "", env());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("tlnc: ", 0), 0u) << r.err;
    }
}

TEST_F(E2E, NoServerIsAConnectionFailure) {
    Outcome r = t({"ls", "/"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(lines(r.err)[0], "tlnc: connect t: " + srv + "/t: No such file or directory");
    EXPECT_EQ(r.out, "");

    // A server killed outright leaves its socket file behind, with nobody on it.
    auto s = start();
    ASSERT_TRUE(s->ready());
    ok({"ls", "/"});
    s->kill_hard();
    r = t({"ls", "/"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("tlnc: connect t: "), std::string::npos) << r.err;

    EXPECT_NE(r.err.find("tlnc: no server is posted as 't'"), std::string::npos) << r.err;

    r = tlnc({"-a", tmp.path() + "/no-socket", "ls"}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tlnc: connect " + tmp.path() + "/no-socket: " + tmp.path() +
                         "/no-socket: No such file or directory\n");

    // Something listens under the name but never answers.
    int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = srv + "/mute";
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(mute, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(mute, 4), 0);
    r = on("mute", {"-t", "1", "ls", "/"});
    ::close(mute);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(lines(r.err).back(), "tlnc: the server posted as 'mute' did not answer in 1 s");
}

// ---- Many clients on one posted server ----

// One client's work in a directory of its own, written down as a transcript
// of what each step answered (no qids: rows are shared by everybody).
std::string own_directory_work(tlnclient::Client& c, int k) {
    std::ostringstream log;
    auto step = [&](const char* what, const auto& r) {
        log << what << ": " << (r ? std::string("ok") : r.error().text) << "\n";
        return static_cast<bool>(r);
    };
    auto root = c.attach("");
    if (!step("attach", root)) return log.str();
    std::string dir = "c" + std::to_string(k);
    for (int round = 0; round < 3; round++) {
        auto www = c.walk(root.value(), "/var/www");
        if (!step("walk", www)) break;
        step("mkdir", c.create(www.value(), dir, P9_DMDIR | 0755, P9_OREAD));
        step("clunk", c.clunk(www.value()));
        for (int j = 0; j < 4; j++) {
            auto d = c.walk(root.value(), "/var/www/" + dir);
            if (!step("walk", d)) break;
            std::string data = pattern(9000 + 5000 * j, static_cast<uint32_t>(100 * k + j));
            step("create", c.create(d.value(), "f" + std::to_string(j), 0644, P9_OWRITE));
            step("write", c.write_full(d.value(), 0, reinterpret_cast<const uint8_t*>(data.data()),
                                       data.size()));
            step("clunk", c.clunk(d.value()));
            auto f = c.walk(root.value(), "/var/www/" + dir + "/f" + std::to_string(j));
            if (!step("walk", f)) break;
            step("open", c.open(f.value(), P9_OREAD));
            std::string back(data.size() + 10, '\0');
            auto n =
                c.read_full(f.value(), 0, reinterpret_cast<uint8_t*>(back.data()), back.size());
            log << "read " << (n ? n.value() : 0) << " same "
                << (back.substr(0, data.size()) == data) << "\n";
            step("clunk", c.clunk(f.value()));
        }
        auto d = c.walk(root.value(), "/var/www/" + dir);
        if (!step("walk", d)) break;
        step("open", c.open(d.value(), P9_OREAD));
        auto list = c.readdir(d.value());
        if (step("readdir", list)) {  // in name order: rows are shared, so their order is not ours
            std::vector<std::string> names;
            for (const auto& st : list.value())
                names.push_back(st.name + " " + std::to_string(st.length));
            std::sort(names.begin(), names.end());
            for (const auto& n : names) log << n << "\n";
        }
        step("clunk", c.clunk(d.value()));
        for (int j = 0; j < 4; j++) {
            auto f = c.walk(root.value(), "/var/www/" + dir + "/f" + std::to_string(j));
            if (step("walk", f)) step("remove", c.remove(f.value()));
        }
        auto gone = c.walk(root.value(), "/var/www/" + dir);
        if (step("walk", gone)) step("rmdir", c.remove(gone.value()));
    }
    step("clunk", c.clunk(root.value()));
    return log.str();
}

TEST_F(E2E, EightClientsAtOnceEachGetWhatTheyGetAlone) {
    auto s = start();
    constexpr int N = 8;
    tlnclient::Options opts;
    opts.timeout_ms = 20000;
    std::string registry = srv;
    auto connect = [&] { return tlnclient::Client::connect_socket(registry + "/t", opts); };
    std::vector<std::string> alone(N), together(N);
    for (int k = 0; k < N; k++) {
        auto c = connect();
        ASSERT_TRUE(c) << c.error().text;
        alone[k] = own_directory_work(*c.value(), k);
    }
    std::vector<std::unique_ptr<tlnclient::Client>> clients;
    for (int k = 0; k < N; k++) {
        auto c = connect();
        ASSERT_TRUE(c) << c.error().text;
        clients.push_back(std::move(c).value());
    }
    std::vector<std::thread> threads;
    for (int k = 0; k < N; k++) {
        threads.emplace_back([&, k] { together[k] = own_directory_work(*clients[k], k); });
    }
    // Meanwhile tlnc comes and goes on the same server.
    for (int i = 0; i < 5; i++) EXPECT_EQ(ok({"ls", "/"}), "etc\nusr\nvar\n");
    for (auto& t : threads) t.join();
    for (int k = 0; k < N; k++) {
        EXPECT_EQ(together[k], alone[k]) << "client " << k;
        EXPECT_EQ(alone[k].find(": tolvane"), std::string::npos) << alone[k];
    }
}

// ---- Persistence ----

TEST_F(E2E, StopAndRestartKeepsEverything) {
    auto s = start();
    ASSERT_TRUE(s->ready());
    ok({"mkdir", "/keep"});
    ok({"mkdir", "/keep/sub"});
    const size_t sizes[] = {0, 100, 200000, 1048576};
    for (size_t i = 0; i < std::size(sizes); i++) {
        write_file(h("k" + std::to_string(i)), pattern(sizes[i], 40 + static_cast<uint32_t>(i)));
        ok({"put", h("k" + std::to_string(i)), "/keep/sub/k" + std::to_string(i)});
    }
    ok({"write", "/keep/note"}, "kept\n");
    ok({"rm", "/etc"});  // removes persist too
    ok({"write", "/keep/gone"}, "x");
    ok({"rm", "/keep/gone"});
    std::string tree = ok({"tree"});
    std::string listing = ok({"ls", "-l", "/keep/sub"});
    EXPECT_EQ(s->stop(), 0);
    EXPECT_NE(s->log().find("[tolvane] EOF, exiting\n"), std::string::npos) << s->log();
    EXPECT_TRUE(file_exists(store + "/tln-0.img"));

    auto again = start();
    ASSERT_TRUE(again->ready());
    EXPECT_NE(again->log().find("[tolvane] restored snapshot"), std::string::npos) << again->log();
    EXPECT_EQ(ok({"tree"}), tree);
    EXPECT_EQ(ok({"ls", "-l", "/keep/sub"}), listing);
    EXPECT_EQ(ok({"ls", "/"}), "keep\nusr\nvar\n");
    EXPECT_EQ(ok({"cat", "/keep/note"}), "kept\n");
    for (size_t i = 0; i < std::size(sizes); i++) {
        ok({"get", "/keep/sub/k" + std::to_string(i), h("r" + std::to_string(i))});
        EXPECT_TRUE(read_file(h("r" + std::to_string(i))) ==
                    pattern(sizes[i], 40 + static_cast<uint32_t>(i)));
    }
    EXPECT_EQ(again->stop(), 0);
}

TEST_F(E2E, ServerOnTlncsOwnStdio) {
    std::string cmd = "'" + tolvane_test::server_binary() + "' 3 2>/dev/null";
    write_file(h("in"), pattern(150000, 11));
    Outcome r = tlnc({"-c", cmd, "put", h("in"), "/var/www/index"}, "", env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(file_exists(store + "/tln-3.img"));  // saved on hang-up, as instance 3

    r = tlnc({"-c", cmd, "get", "/var/www/index", h("out")}, "", env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(h("out")) == pattern(150000, 11));
    r = tlnc({"-c", cmd, "ls", "-l", "/var/www"}, "", env());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("     150000 ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(") index\n"), std::string::npos) << r.out;
    r = tlnc({"-c", cmd, "rm", "/var/www"}, "", env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: rm /var/www: tolvane: directory not empty\n");

    // A command that is no server.
    r = tlnc({"-c", "exit 4", "ls"}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "tlnc: connect exit 4: the server hung up (server command exited with status 4)\n");
}

TEST_F(E2E, TwoInstancesAtOnce) {
    auto a = start("alpha", "1");
    auto b = start("beta", "2");
    ASSERT_TRUE(a->ready());
    ASSERT_TRUE(b->ready());
    ASSERT_EQ(on("alpha", {"write", "/etc/who"}, "alpha\n").status, 0);
    ASSERT_EQ(on("beta", {"write", "/etc/who"}, "beta\n").status, 0);
    ASSERT_EQ(on("alpha", {"mkdir", "/only-alpha"}).status, 0);
    EXPECT_EQ(on("alpha", {"cat", "/etc/who"}).out, "alpha\n");
    EXPECT_EQ(on("beta", {"cat", "/etc/who"}).out, "beta\n");
    EXPECT_EQ(on("beta", {"ls"}).out, "etc\nusr\nvar\n");
    // The same server by its socket path.
    Outcome r = tlnc({"-a", srv + "/beta", "cat", "/etc/who"}, "", env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "beta\n");

    EXPECT_EQ(a->stop(), 0);
    EXPECT_EQ(b->stop(), 0);
    EXPECT_TRUE(file_exists(store + "/tln-1.img"));
    EXPECT_TRUE(file_exists(store + "/tln-2.img"));
    auto a2 = start("alpha", "1");
    auto b2 = start("beta", "2");
    EXPECT_EQ(on("alpha", {"cat", "/etc/who"}).out, "alpha\n");
    EXPECT_EQ(on("beta", {"cat", "/etc/who"}).out, "beta\n");
    EXPECT_EQ(on("alpha", {"ls"}).out, "etc\nonly-alpha\nusr\nvar\n");
    EXPECT_EQ(on("beta", {"ls"}).out, "etc\nusr\nvar\n");
    EXPECT_EQ(a2->stop(), 0);
    EXPECT_EQ(b2->stop(), 0);
}

// ---- Hostile servers ----

TEST_F(E2E, AFailedGetLeavesTheHostFileAsItWas) {
    std::string fake = "'" + self_binary() + "' --fake-server hangup-mid-get";
    write_file(h("target"), "old contents\n");
    Outcome r = tlnc({"-c", fake, "get", "/f", h("target")}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tlnc: get /f: the server hung up\n");
    EXPECT_EQ(read_file(h("target")), "old contents\n");
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{"target"});

    r = tlnc({"-c", fake, "get", "/f", h("new")}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{"target"});

    // A file that ends before the length its stat gave is not taken whole.
    std::string short_file = "'" + self_binary() + "' --fake-server short-file";
    r = tlnc({"-c", short_file, "get", "/f", h("target")}, "", env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tlnc: get /f: the server ended the file after 65536 of 200000 bytes\n");
    EXPECT_EQ(read_file(h("target")), "old contents\n");
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{"target"});
    r = tlnc({"-c", short_file, "cat", "/f"}, "", env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(65536, 'd'));
}

TEST_F(E2E, AnInterruptedGetLeavesNoTemporaryFile) {
    std::string fake = "'" + self_binary() + "' --fake-server stall-mid-get";
    pid_t pid = tlnc_start({"-t", "60", "-c", fake, "get", "/f", h("target")}, env());
    ASSERT_GT(pid, 0);
    // Wait until the first 64 KiB sit in the temporary file: the get is then
    // waiting for a reply that never comes.
    std::string tmpname;
    for (int i = 0; i < 5000 && tmpname.empty(); i++) {
        for (const auto& n : host_dir_names(host)) {
            struct stat st;
            if (n.rfind("target.tlnc-", 0) == 0 && ::stat(h(n).c_str(), &st) == 0 &&
                st.st_size == 65536) {
                tmpname = n;
            }
        }
        if (tmpname.empty()) ::usleep(2000);
    }
    ASSERT_FALSE(tmpname.empty()) << "the get never got under way";
    ::kill(pid, SIGINT);
    EXPECT_EQ(wait_pid(pid, 10000), 128 + SIGINT);
    EXPECT_EQ(host_dir_names(host), std::vector<std::string>{});
}

TEST_F(E2E, SilentAndGarbageServersGiveErrorsNotHangs) {
    std::string self = "'" + self_binary() + "' --fake-server ";
    Outcome r = tlnc({"-t", "1", "-c", self + "silent", "ls", "/"}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tlnc: attach /: timed out after 1000 ms waiting for the server's reply\n");

    r = tlnc({"-c", self + "garbage", "cat", "/x"}, "", env());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tlnc: attach /: protocol error: reply size 5 outside 7..131072\n");
}

// ---- Help ----

TEST(E2EHelp, TheProgramAndEveryCommandHaveHelp) {
    Outcome main_help = tlnc({"--help"});
    EXPECT_EQ(main_help.status, 0);
    EXPECT_EQ(main_help.err, "");
    EXPECT_EQ(main_help.out.rfind("usage: tlnc ", 0), 0u);
    EXPECT_EQ(tlnc({"help"}).out, main_help.out);
    EXPECT_EQ(tlnc({"-h"}).out, main_help.out);
    for (const char* cmd :
         {"ls", "stat", "cat", "write", "mkdir", "rm", "put", "get", "tree", "df"}) {
        SCOPED_TRACE(cmd);
        EXPECT_NE(main_help.out.find(std::string("\n  ") + cmd + " "), std::string::npos);
        Outcome a = tlnc({"help", cmd});
        Outcome b = tlnc({cmd, "--help"});
        Outcome c = tlnc({"-s", "nosuch", cmd, "x", "-h"});
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(b.status, 0);
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(a.out.rfind(std::string("usage: tlnc ") + cmd, 0), 0u) << a.out;
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(a.out, c.out);
        EXPECT_EQ(b.err, "");
    }
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--fake-server") {
        return e2e::fake_server_main(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
