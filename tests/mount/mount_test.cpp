// tlnmount end to end: a real tolvane server posted under a name, mounted
// with the real tlnmount, used by ordinary programs (ls, cat, cp, cmp, dd,
// rm, mv, chmod, find, stat) and by single system calls whose errno is
// checked. Each test has its own registry, store and mount point; every
// mount is taken down in teardown even when the test failed.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mount_util.h"
#include "support.h"
#include "tolvane/tolvane.h"

namespace mount_test {
namespace {

constexpr uint64_t SKELETON_NODES = 11;  // the root and the ten skeleton directories
constexpr uint64_t USABLE_SLOTS = tolvane::DATA_SLOT_CAP - 1;

std::string shq(const std::string& s) {
    return "'" + s + "'";
}

class MountTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = fuse_unusable_reason();
        if (!why.empty()) GTEST_SKIP() << "FUSE mounts cannot be made here: " << why;
        dir_ = tmp_.path();
        srv_ = dir_ + "/srv";
        mnt_ = dir_ + "/mnt";
        host_ = dir_ + "/host";
        store_ = dir_ + "/store";
        for (const std::string& d : {srv_, mnt_, host_, store_}) {
            ASSERT_EQ(::mkdir(d.c_str(), 0700), 0) << d << ": " << std::strerror(errno);
        }
    }

    void TearDown() override {
        if (HasFailure()) {
            if (mount_) std::cerr << "--- tlnmount log:\n" << mount_->log();
            if (server_) std::cerr << "--- server log:\n" << server_->log();
        }
        mount_.reset();
        server_.reset();
    }

    // STORE empty: the server keeps no store and never saves.
    void start_server(const std::string& store = "",
                      const std::map<std::string, std::string>& env = {}) {
        server_.reset();
        server_ = std::make_unique<Server>("t", srv_, store, dir_ + "/server.log", env);
        ASSERT_TRUE(server_->ready());
    }

    void start_mount(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"-d", "-t", "10", "-s", "t"};
        args.insert(args.end(), extra.begin(), extra.end());
        mount_.reset();  // the old one's teardown must not meet the new mount
        mount_ = std::make_unique<Mounted>(args, mnt_,
                                           std::map<std::string, std::string>{{"VELMOR_SRV", srv_}},
                                           dir_ + "/mount.log");
        ASSERT_TRUE(mount_->ready());
    }

    // A shell command run in the mount point.
    Ran in_mnt(const std::string& cmd) { return sh("cd " + shq(mnt_) + " && " + cmd); }

    // As in_mnt, and it must succeed; its output.
    std::string ok(const std::string& cmd) {
        Ran r = in_mnt(cmd);
        EXPECT_EQ(r.status, 0) << cmd << "\n" << r.out;
        return r.out;
    }

    std::string at(const std::string& rel) const { return mnt_ + "/" + rel; }
    std::string host(const std::string& rel) const { return host_ + "/" + rel; }

    // tlnc CMD on the server, beside the mount.
    Ran tlnc(const std::string& cmd) {
        return sh(shq(TLNC_BINARY) + " -s t " + cmd, {{"VELMOR_SRV", srv_}});
    }

    void restart_under_a_loop(bool kill);

    tolvane_test::TempDir tmp_;
    std::string dir_, srv_, mnt_, host_, store_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<Mounted> mount_;
};

TEST_F(MountTest, ShellToolsWorkOnTheTree) {
    start_server();
    start_mount();
    std::string ls = ok("ls -la");
    for (const char* name : {" etc\n", " usr\n", " var\n", " .\n", " ..\n"}) {
        EXPECT_NE(ls.find(name), std::string::npos) << name << " missing from\n" << ls;
    }
    EXPECT_NE(ls.find("drwxrwxrwx"), std::string::npos) << ls;

    ok("mkdir -p a/b/c");
    ok("mkdir -p a/b/c");  // already there: still fine
    ok("echo hello > a/b/c/file");
    EXPECT_EQ(ok("cat a/b/c/file"), "hello\n");
    EXPECT_EQ(ok("stat -c '%s %F' a/b/c/file"), "6 regular file\n");
    EXPECT_EQ(ok("stat -c '%F' a/b"), "directory\n");

    // Redirection truncates, appending appends.
    ok("echo again, longer than before > a/b/c/file");
    ok("echo bye > a/b/c/file");
    EXPECT_EQ(ok("cat a/b/c/file"), "bye\n");
    ok("echo more >> a/b/c/file");
    EXPECT_EQ(ok("cat a/b/c/file"), "bye\nmore\n");

    ok("touch a/new");
    ok("touch a/new");  // times of an existing file: nothing to change
    EXPECT_EQ(ok("stat -c %s a/new"), "0\n");
    EXPECT_EQ(ok("find a | sort"), "a\na/b\na/b/c\na/b/c/file\na/new\n");
    EXPECT_EQ(ok("ls a"), "b\nnew\n");
}

TEST_F(MountTest, CopiesInAndOutCompareEqual) {
    start_server();
    start_mount();
    write_file(host("one"), pattern(1 << 20, 1));
    write_file(host("three"), pattern(3 << 20, 3));
    ok("mkdir d");
    // One at a time: both together need 64 slots of the 63 there are.
    for (const char* name : {"one", "three"}) {
        std::string in = host(name), there = at(std::string("d/") + name);
        ok("cp " + shq(in) + " " + shq(there));
        ok("cmp " + shq(in) + " " + shq(there));
        std::string back = host(std::string(name) + ".back");
        ok("cp " + shq(there) + " " + shq(back));
        ok("cmp " + shq(in) + " " + shq(back));
        EXPECT_EQ(ok("stat -c %s " + shq(there)),
                  std::to_string(std::stoul(ok("stat -c %s " + shq(in)))) + "\n");
        if (std::string(name) == "one") ok("rm d/one");
    }
    // Copying over an existing file truncates it first.
    ok("cp " + shq(host("one")) + " d/three");
    ok("cmp " + shq(host("one")) + " d/three");
    EXPECT_EQ(ok("stat -c %s d/three"), "1048576\n");
}

// The same dd writes on a host file and on a file in the mount, then the
// two compared: writes at offsets, across the 64-KiB chunk boundary, and the
// holes between them read as zeros.
TEST_F(MountTest, DdAtOffsetsLeavesHolesOfZeros) {
    start_server();
    start_mount();
    write_file(host("src"), pattern(300000, 9));
    const char* writes[] = {
        "bs=1 seek=70000 skip=5 count=10",   // a hole before it
        "bs=4096 seek=3 skip=1 count=20",    // 12288..94208, across 65536
        "bs=1000 seek=300 skip=2 count=1",   // well past the end
        "bs=1 seek=65535 skip=100 count=2",  // one byte each side of the boundary
        "bs=65536 seek=1 skip=0 count=1",    // exactly chunk 1
    };
    std::string mine = host("mirror"), theirs = at("f");
    ok(": > " + shq(mine) + " && : > f");
    for (const char* w : writes) {
        for (const std::string& target : {mine, theirs}) {
            ok("dd if=" + shq(host("src")) + " of=" + shq(target) + " " + w +
               " conv=notrunc status=none");
        }
        ok("cmp " + shq(mine) + " f");
    }
    EXPECT_EQ(ok("stat -c %s f"), "301000\n");
    // Bytes 0..12288 and 131072..300000 were never written: zeros, read
    // through the mount.
    ok("dd if=f bs=4096 count=3 status=none | cmp -n 12288 - /dev/zero");
    ok("dd if=f bs=4096 skip=32 count=41 status=none | cmp -n 167936 - /dev/zero");
}

TEST_F(MountTest, RemovesAndTheirErrors) {
    start_server();
    start_mount();
    ok("mkdir -p t/sub && echo x > t/sub/f && echo y > t/g");
    std::string sub = at("t/sub");
    EXPECT_EQ(errno_of([&] { return ::rmdir(sub.c_str()); }), ENOTEMPTY);
    Ran r = in_mnt("rmdir t/sub");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("Directory not empty"), std::string::npos) << r.out;

    // A file re-created under a removed one's name is another inode.
    std::string ino = ok("stat -c %i t/sub/f");
    ok("rm t/sub/f && echo z > t/sub/f");
    EXPECT_NE(ok("stat -c %i t/sub/f"), ino);
    ok("rm t/sub/f");
    EXPECT_EQ(errno_of([&] { return ::rmdir(sub.c_str()); }), 0);
    ok("mkdir -p t/x/y/z && echo deep > t/x/y/z/f");
    ok("rm -r t");
    EXPECT_EQ(ok("ls"), "etc\nusr\nvar\n");

    std::string missing = at("nosuch"), deeper = at("etc/nosuch/f");
    EXPECT_EQ(errno_of([&] {
                  struct stat st;
                  return ::stat(missing.c_str(), &st);
              }),
              ENOENT);
    EXPECT_EQ(errno_of([&] { return ::open(missing.c_str(), O_RDONLY); }), ENOENT);
    EXPECT_EQ(errno_of([&] { return ::unlink(missing.c_str()); }), ENOENT);
    EXPECT_EQ(errno_of([&] { return ::open(deeper.c_str(), O_CREAT | O_WRONLY, 0644); }), ENOENT);
    r = in_mnt("cat nosuch");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("No such file or directory"), std::string::npos) << r.out;

    // A file removed while open: the remove happens at once, and the handle
    // then reads "file removed".
    ok("echo open > open");
    std::string open_path = at("open");
    std::string r2 = in_child([&](std::string& out) {
        int fd = ::open(open_path.c_str(), O_RDONLY);
        int removed = ::unlink(open_path.c_str());
        char buf[8];
        int got = static_cast<int>(::pread(fd, buf, sizeof buf, 0));
        out = std::to_string(fd >= 0) + " " + std::to_string(removed) + " " + std::to_string(got) +
              " " + strerrorname_np(errno);
        ::close(fd);
    });
    EXPECT_EQ(r2, "1 0 -1 ESTALE");
    EXPECT_EQ(in_mnt("ls open").status, 2);

    std::string etc = at("etc");
    EXPECT_EQ(errno_of([&] { return ::mkdir(etc.c_str(), 0755); }), EEXIST);
    ok("echo 1 > one");
    std::string one = at("one");
    EXPECT_EQ(errno_of([&] { return ::open(one.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644); }),
              EEXIST);

    // Names: 64 bytes are fine, 65 are too long for the server.
    std::string n64 = at(std::string(64, 'n')), n65 = at(std::string(65, 'n'));
    EXPECT_EQ(errno_of([&] { return ::open(n64.c_str(), O_CREAT | O_WRONLY, 0644); }), 0);
    EXPECT_EQ(errno_of([&] { return ::open(n65.c_str(), O_CREAT | O_WRONLY, 0644); }),
              ENAMETOOLONG);
    EXPECT_EQ(errno_of([&] { return ::mkdir(n65.c_str(), 0755); }), ENAMETOOLONG);
}

TEST_F(MountTest, MetadataChangesGiveClearErrors) {
    start_server();
    start_mount();
    ok("mkdir d && echo data > d/f");
    Ran mv = in_mnt("mv d/f d/g");
    EXPECT_NE(mv.status, 0);
    EXPECT_NE(mv.out.find("Operation not supported"), std::string::npos) << mv.out;
    EXPECT_EQ(ok("cat d/f"), "data\n");
    Ran chmod = in_mnt("chmod 644 d/f");
    EXPECT_NE(chmod.status, 0);
    EXPECT_NE(chmod.out.find("Operation not supported"), std::string::npos) << chmod.out;

    std::string f = at("d/f"), g = at("d/g"), other = at("etc/f");
    EXPECT_EQ(errno_of([&] { return ::rename(f.c_str(), g.c_str()); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::rename(f.c_str(), other.c_str()); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::chmod(f.c_str(), 0600); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::chmod(f.c_str(), 0777); }), 0);  // the mode it has
    EXPECT_EQ(errno_of([&] { return ::chown(f.c_str(), 4321, 4321); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::chown(f.c_str(), ::getuid(), ::getgid()); }), 0);
    const timespec past[2] = {{1000000, 0}, {1000000, 0}};
    EXPECT_EQ(errno_of([&] { return ::utimensat(AT_FDCWD, f.c_str(), past, 0); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::utimensat(AT_FDCWD, f.c_str(), nullptr, 0); }), 0);
    // Through descriptors: a file's and a directory's.
    std::string dir = at("d");
    auto fchmod_of = [](const std::string& p, int flags, mode_t mode) {
        return errno_of([&] {
            int fd = ::open(p.c_str(), flags);
            return fd < 0 ? -1 : ::fchmod(fd, mode);
        });
    };
    EXPECT_EQ(fchmod_of(f, O_RDWR, 0600), ENOTSUP);
    EXPECT_EQ(fchmod_of(f, O_RDWR, 0777), 0);
    EXPECT_EQ(fchmod_of(dir, O_RDONLY | O_DIRECTORY, 0700), ENOTSUP);
    EXPECT_EQ(fchmod_of(dir, O_RDONLY | O_DIRECTORY, 0777), 0);
    EXPECT_EQ(errno_of([&] {
                  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
                  return fd < 0 ? -1 : ::futimens(fd, past);
              }),
              ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::symlink("f", g.c_str()); }), EPERM);
    EXPECT_EQ(errno_of([&] { return ::link(f.c_str(), g.c_str()); }), EPERM);
    EXPECT_EQ(errno_of([&] { return ::mkfifo(g.c_str(), 0644); }), EPERM);
    EXPECT_EQ(ok("ls d"), "f\n");
}

TEST_F(MountTest, TruncateToZeroOrLonger) {
    start_server();
    start_mount();
    ok("echo some data > f");
    ok("truncate -s 0 f");
    EXPECT_EQ(ok("stat -c %s f"), "0\n");
    ok("truncate -s 100000 f");
    EXPECT_EQ(ok("stat -c %s f"), "100000\n");
    ok("cmp -n 100000 f /dev/zero");
    ok("truncate -s 100000 f");  // the length it has

    std::string f = at("f");
    EXPECT_EQ(errno_of([&] { return ::truncate(f.c_str(), 10); }), ENOTSUP);
    EXPECT_EQ(errno_of([&] { return ::truncate(f.c_str(), (5 << 20)); }), EFBIG);
    EXPECT_EQ(ok("stat -c %s f"), "100000\n");
    // ftruncate through an open handle.
    EXPECT_EQ(errno_of([&] {
                  int fd = ::open(f.c_str(), O_RDWR);
                  if (fd < 0) return -1;
                  int r = ::ftruncate(fd, 0);
                  if (r == 0 && ::write(fd, "xyz", 3) != 3) r = -1;
                  ::close(fd);
                  return r;
              }),
              0);
    EXPECT_EQ(ok("cat f"), "xyz");
}

TEST_F(MountTest, FullNodeTableIsEnospc) {
    start_server();
    start_mount();
    ok("mkdir many");
    std::string dir = at("many");
    std::string r = in_child([&](std::string& out) {
        int made = 0, err = 0;
        for (int i = 0; i < 500; i++) {
            std::string p = dir + "/f" + std::to_string(i);
            int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
            if (fd < 0) {
                err = errno;
                break;
            }
            ::close(fd);
            made++;
        }
        out = std::to_string(made) + " " + strerrorname_np(err);
    });
    EXPECT_EQ(r, std::to_string(tolvane::NODE_CAP - SKELETON_NODES - 1) + " ENOSPC");
    EXPECT_EQ(errno_of([&] { return ::mkdir((dir + "/d").c_str(), 0755); }), ENOSPC);
    EXPECT_EQ(ok("stat -f -c '%c %d' ."), std::to_string(tolvane::NODE_CAP) + " 0\n");
    ok("rm many/f0");
    ok("mkdir many/d");
    EXPECT_EQ(ok("ls many | wc -l"), std::to_string(tolvane::NODE_CAP - SKELETON_NODES - 1) + "\n");
}

TEST_F(MountTest, FullDataPoolIsEnospcAndLongFilesEfbig) {
    start_server();
    start_mount();
    write_file(host("three"), pattern(3 << 20, 3));
    write_file(host("one"), pattern(1 << 20, 1));
    ok("cp " + shq(host("three")) + " a");
    // 48 slots taken, 15 left: a 1-MiB copy (16 slots) runs dry.
    Ran cp = in_mnt("cp " + shq(host("one")) + " b");
    EXPECT_NE(cp.status, 0);
    EXPECT_NE(cp.out.find("No space left on device"), std::string::npos) << cp.out;
    EXPECT_EQ(ok("stat -f -c %a ."), "0\n");
    EXPECT_EQ(ok("stat -c %s b"), std::to_string((USABLE_SLOTS - 48) * tolvane::SLOT_CAP) + "\n");
    ok("cmp -n " + std::to_string((USABLE_SLOTS - 48) * tolvane::SLOT_CAP) + " b " +
       shq(host("one")));
    ok("cmp a " + shq(host("three")));
    ok("rm b");
    EXPECT_EQ(ok("stat -f -c %a ."), std::to_string(USABLE_SLOTS - 48) + "\n");

    // Nothing is written at or past the largest file length.
    Ran dd = in_mnt("dd if=/dev/zero of=a bs=1 count=1 seek=" + std::to_string(tolvane::FILE_CAP) +
                    " conv=notrunc status=none");
    EXPECT_NE(dd.status, 0);
    EXPECT_NE(dd.out.find("File too large"), std::string::npos) << dd.out;
}

TEST_F(MountTest, FidsAreReleasedAndNeverRunOut) {
    start_server();
    start_mount();
    ok("echo content > f && mkdir d");
    std::string f = at("f"), d = at("d");
    std::string r = in_child([&](std::string& out) {
        // Handles up to the mount's limit, then EMFILE; path operations keep
        // working while they are open.
        std::vector<int> fds;
        int err = 0;
        for (int i = 0; i < 80; i++) {
            int fd = ::open(f.c_str(), O_RDONLY);
            if (fd < 0) {
                err = errno;
                break;
            }
            fds.push_back(fd);
        }
        struct stat st;
        int stat_ok = ::stat(d.c_str(), &st);
        for (int fd : fds) ::close(fd);
        // Every fid came back: the limit is reached again, at once.
        size_t again = 0;
        fds.clear();
        for (size_t i = 0; i < tolvane::FID_CAP; i++) {
            int fd = ::open(f.c_str(), O_RDONLY);
            if (fd < 0) break;
            fds.push_back(fd);
        }
        again = fds.size();
        for (int fd : fds) ::close(fd);
        // A thousand open, read, close cycles, reading and writing.
        int cycles = 0;
        for (int i = 0; i < 1000; i++) {
            int fd = ::open(f.c_str(), i % 2 ? O_RDONLY : O_RDWR);
            if (fd < 0) break;
            char c;
            bool good = ::pread(fd, &c, 1, 0) == 1 && c == 'c';
            ::close(fd);
            if (!good) break;
            cycles++;
        }
        out = std::to_string(fds.size() == again ? again : 0) + " " + strerrorname_np(err) + " " +
              std::to_string(stat_ok) + " " + std::to_string(cycles);
    });
    EXPECT_EQ(r, "61 EMFILE 0 1000");
    EXPECT_EQ(ok("cat f"), "content\n");
    EXPECT_EQ(ok("ls"), "d\netc\nf\nusr\nvar\n");
}

TEST_F(MountTest, ListsAndWalksThreeHundredEntries) {
    start_server();
    start_mount();
    // Empty files: each file with data takes a slot of its own, and there
    // are 63.
    ok("mkdir d && i=0; while [ $i -lt 300 ]; do : > d/file$i; i=$((i+1)); done");
    ok("echo 299 > d/file299 && echo 7 > d/file7");
    EXPECT_EQ(ok("ls d | wc -l"), "300\n");
    EXPECT_EQ(ok("find d | wc -l"), "301\n");
    EXPECT_EQ(ok("find d -type f -empty | wc -l"), "298\n");
    EXPECT_EQ(ok("cat d/file299 d/file7"), "299\n7\n");
    EXPECT_EQ(ok("stat -c %s d/* | sort | uniq -c | tr -s ' '"), " 298 0\n 1 2\n 1 4\n");

    // An open directory lists what it held when opened; rewinding reads it
    // afresh.
    std::string d = at("d");
    std::string r = in_child([&](std::string& out) {
        auto count = [](DIR* dir) {
            int n = 0;
            while (::readdir(dir)) n++;
            return n;
        };
        DIR* dir = ::opendir(d.c_str());
        if (!dir) return;
        int before = count(dir);
        int fd = ::open((d + "/late").c_str(), O_CREAT | O_WRONLY, 0644);
        ::close(fd);
        ::rewinddir(dir);
        int after = count(dir);
        ::closedir(dir);
        out = std::to_string(before) + " " + std::to_string(after);
    });
    EXPECT_EQ(r, "302 303");
}

// With a small msize, every listing, read and write takes many requests.
TEST_F(MountTest, SmallMessagesSplitEveryTransfer) {
    start_server();
    start_mount({"-m", "512"});
    ok("mkdir d && i=0; while [ $i -lt 300 ]; do : > d/entry-with-a-longer-name-$i; "
       "i=$((i+1)); done");
    EXPECT_EQ(ok("ls d | wc -l"), "300\n");
    EXPECT_EQ(ok("ls d | sort | tail -1"), "entry-with-a-longer-name-99\n");
    write_file(host("one"), pattern(1 << 20, 5));
    ok("cp " + shq(host("one")) + " big");
    ok("cmp " + shq(host("one")) + " big");
    ok("cp big " + shq(host("back")));
    ok("cmp " + shq(host("one")) + " " + shq(host("back")));
}

TEST_F(MountTest, StatfsReportsTheCapacities) {
    start_server();
    start_mount();
    auto expect = [&](uint64_t slots_used, uint64_t nodes_used) {
        return std::to_string(tolvane::SLOT_CAP) + " " + std::to_string(USABLE_SLOTS) + " " +
               std::to_string(USABLE_SLOTS - slots_used) + " " + std::to_string(tolvane::NODE_CAP) +
               " " + std::to_string(tolvane::NODE_CAP - nodes_used) + " " +
               std::to_string(tolvane::NAME_CAP) + "\n";
    };
    const std::string query = "stat -f -c '%S %b %a %c %d %l' .";
    EXPECT_EQ(ok(query), expect(0, SKELETON_NODES));
    write_file(host("one"), pattern(1 << 20, 1));
    ok("mkdir etc/x && cp " + shq(host("one")) + " etc/x/one && echo 1 > small");
    EXPECT_EQ(ok(query), expect(16 + 1, SKELETON_NODES + 3));
}

TEST_F(MountTest, EverythingSurvivesUnmountAndServerRestart) {
    start_server(store_);
    start_mount();
    write_file(host("one"), pattern(1 << 20, 7));
    ok("mkdir -p keep/deep/er");
    ok("cp " + shq(host("one")) + " keep/one");
    ok("echo note > keep/deep/er/note");
    ok("echo data > keep/emptied");
    ok("echo x > keep/gone && rm keep/gone");
    ok("echo 1 > keep/grown && truncate -s 70000 keep/grown");
    ok("dd if=" + shq(host("one")) + " of=keep/synced bs=4096 count=3 status=none");
    // Last, as every save writes the whole tree: a truncation alone must
    // make its own save.
    ok(": > keep/emptied");

    auto check = [&] {
        ok("cmp keep/one " + shq(host("one")));
        EXPECT_EQ(ok("cat keep/deep/er/note"), "note\n");
        EXPECT_EQ(ok("stat -c %s keep/emptied keep/grown keep/synced"), "0\n70000\n12288\n");
        EXPECT_EQ(ok("ls keep"), "deep\nemptied\ngrown\none\nsynced\n");
    };
    EXPECT_EQ(mount_->unmount(), 0) << mount_->log();
    EXPECT_FALSE(mounted(mnt_));

    // The server kept serving: mount again at once.
    ASSERT_TRUE(server_->running());
    start_mount();
    check();
    EXPECT_EQ(mount_->unmount(), 0) << mount_->log();

    // Killed without a last save, then restarted on the same store: every
    // change was saved when its fid was clunked.
    server_->kill_hard();
    start_server(store_);
    EXPECT_NE(server_->log().find("[tolvane] restored snapshot"), std::string::npos)
        << server_->log();
    start_mount();
    check();
}

// fsync makes the server save while the file is still open: the server is
// killed before the close, and the data is there after a restart.
TEST_F(MountTest, FsyncSavesWhileTheFileIsOpen) {
    start_server(store_);
    start_mount({"-o", "noreconnect"});
    std::string f = at("synced"), unsynced = at("unsynced");
    pid_t server = server_->pid();
    std::string r = in_child([&](std::string& out) {
        int a = ::open(f.c_str(), O_CREAT | O_WRONLY, 0644);
        bool wrote = a >= 0 && ::write(a, "kept\n", 5) == 5;
        int synced = ::fsync(a);
        int b = ::open(unsynced.c_str(), O_CREAT | O_WRONLY, 0644);
        wrote = wrote && b >= 0 && ::write(b, "lost\n", 5) == 5;
        ::kill(server, SIGKILL);
        out = std::string(wrote ? "wrote" : "failed") + " " + std::to_string(synced);
        // The closes find the connection gone; the mount goes away.
        ::close(a);
        ::close(b);
    });
    EXPECT_EQ(r, "wrote 0");
    EXPECT_EQ(mount_->wait_exit(15000), 1) << mount_->log();
    start_server(store_);
    start_mount();
    EXPECT_EQ(ok("cat synced"), "kept\n");
    // Created after the last save.
    EXPECT_EQ(in_mnt("ls unsynced").status, 2);
}

// A shell loop writes a new file and reads back an older one through the
// mount on every round while the server is stopped (SIGKILL when KILL, else
// SIGTERM) and started again on its store. dd reports a failed close, so a
// file it wrote without complaint was saved. Only the one request in flight
// at the stop may fail, and as EIO.
void MountTest::restart_under_a_loop(bool kill) {
    start_server(store_);
    start_mount();
    ok("mkdir d");
    // Files with data take a slot each (63 in all): 50 rounds, and the last
    // ten only once the server is back.
    constexpr long ROUNDS = 50;
    const std::string loop = R"(cd "$M" && i=0
        while [ $i -lt $N ]; do
            i=$((i + 1))
            if [ $i -eq $((N - 9)) ]; then
                while [ ! -e "$H/restarted" ]; do sleep 0.01; done
            fi
            if echo $i | dd of=d/f$i status=none; then
                echo $i >> "$H/closed"
            else
                echo "write $i" >> "$H/failed"
            fi
            j=$((i / 2))
            if grep -qx $j "$H/closed"; then
                if got=$(cat d/f$j); then
                    [ "$got" = $j ] || echo "f$j: $got" >> "$H/wrong"
                else
                    echo "read $j" >> "$H/failed"
                fi
            fi
        done)";
    Ran ran;
    std::thread rounds([&] {
        ran = sh(loop, {{"M", mnt_}, {"H", host_}, {"N", std::to_string(ROUNDS)}}, 120);
    });
    auto lines = [&](const std::string& name) {
        std::string text = tolvane_test::read_file(host(name));
        return std::count(text.begin(), text.end(), '\n');
    };
    for (int i = 0; i < 10000 && lines("closed") < 10; i++) tolvane_test::pause_ms(2);
    if (kill) {
        server_->kill_hard();
    } else {
        EXPECT_EQ(server_->stop(), 0);
    }
    long before = lines("closed");
    start_server(store_);
    write_file(host("restarted"), "");
    rounds.join();

    EXPECT_EQ(ran.status, 0) << ran.out;
    EXPECT_GE(before, 10);
    EXPECT_LE(lines("failed"), 1) << tolvane_test::read_file(host("failed"));
    EXPECT_GE(lines("closed"), ROUNDS - 1);
    std::istringstream said(ran.out);
    for (std::string line; std::getline(said, line);) {
        EXPECT_NE(line.find("Input/output error"), std::string::npos) << ran.out;
    }
    EXPECT_EQ(tolvane_test::read_file(host("wrong")), "");
    // Every file written, read back from the server that was started again.
    EXPECT_EQ(ok("for i in $(cat " + shq(host("closed")) +
                 "); do [ \"$(cat d/f$i)\" = $i ] || echo f$i; done"),
              "");
    EXPECT_NE(mount_->log().find("tlnmount: reconnected"), std::string::npos) << mount_->log();
}

TEST_F(MountTest, ALoopCarriesOnThroughAServerRestart) {
    restart_under_a_loop(false);
}

TEST_F(MountTest, ALoopCarriesOnThroughAServerKilledAndStartedAgain) {
    restart_under_a_loop(true);
}

// Descriptors opened before a restart are opened again by their path: one
// reads what was saved and writes on; one whose file was removed meanwhile
// is stale, and so is a directory removed meanwhile when it is read again.
TEST_F(MountTest, OpenFilesAreOpenedAgainAfterARestart) {
    start_server(store_);
    start_mount();
    ok("echo saved > kept && echo doomed > gone && mkdir gone_dir");
    std::string kept = at("kept"), gone = at("gone"), gone_dir = at("gone_dir");
    int kept_fd = -1, gone_fd = -1;
    DIR* dir = nullptr;
    Steps child({
        [&](std::string& out) {
            kept_fd = ::open(kept.c_str(), O_RDWR);
            gone_fd = ::open(gone.c_str(), O_RDONLY);
            dir = ::opendir(gone_dir.c_str());
            while (dir && ::readdir(dir)) {
            }
            out = std::to_string(kept_fd >= 0 && gone_fd >= 0 && dir);
        },
        [&](std::string& out) {
            char buf[16] = {};
            ssize_t got = ::pread(kept_fd, buf, sizeof buf - 1, 0);
            bool wrote = ::pwrite(kept_fd, "more\n", 5, 6) == 5;
            int closed = ::close(kept_fd);
            errno = 0;
            ssize_t stale = ::pread(gone_fd, buf, 1, 0);
            out = std::string(buf, got > 0 ? static_cast<size_t>(got) : 0) + std::to_string(wrote) +
                  " " + std::to_string(closed) + " " + std::to_string(stale) + " " +
                  strerrorname_np(errno);
            ::rewinddir(dir);
            errno = 0;
            bool listed = ::readdir(dir) != nullptr;
            out += " " + std::to_string(listed) + " " + strerrorname_np(errno);
        },
    });
    EXPECT_EQ(child.next(), "1");
    EXPECT_EQ(server_->stop(), 0);
    start_server(store_);
    EXPECT_EQ(tlnc("rm /gone").status, 0);
    EXPECT_EQ(tlnc("rm /gone_dir").status, 0);
    EXPECT_EQ(child.next(), "saved\n1 0 -1 ESTALE 0 ESTALE");
    EXPECT_EQ(ok("cat kept"), "saved\nmore\n");
    EXPECT_EQ(errno_of([&] {
                  struct stat st;
                  return ::stat(gone.c_str(), &st);
              }),
              ENOENT);
}

// Writes the stop cut off before any save covered them may be lost: the
// close of their descriptor says EIO; the next file written is saved as ever.
TEST_F(MountTest, WritesUnsavedAtAStopFailTheirClose) {
    start_server(store_);
    start_mount();
    ok("echo saved > f");
    std::string f = at("f");
    int fd = -1;
    Steps child({
        [&](std::string& out) {
            fd = ::open(f.c_str(), O_WRONLY);
            out = std::to_string(::pwrite(fd, "unsaved", 7, 0));
        },
        [&](std::string& out) {
            int closed = ::close(fd);
            out = std::to_string(closed) + " " + strerrorname_np(errno);
        },
    });
    EXPECT_EQ(child.next(), "7");
    server_->kill_hard();
    start_server(store_);
    EXPECT_EQ(child.next(), "-1 EIO");
    EXPECT_EQ(ok("cat f"), "saved\n");
    ok("echo after > f");
    server_->kill_hard();
    start_server(store_);
    EXPECT_EQ(ok("cat f"), "after\n");
}

// Past the limit (here none at all) a request fails at once with ENOTCONN,
// until the server is back.
TEST_F(MountTest, AServerThatStaysAwayIsNotConnectedUntilItIsBack) {
    start_server(store_);
    start_mount({"-o", "reconnect_limit=0"});
    ok("echo x > f");
    EXPECT_EQ(server_->stop(), 0);
    std::string f = at("f");
    EXPECT_EQ(errno_of([&] { return ::open(f.c_str(), O_RDONLY); }), ENOTCONN);
    EXPECT_EQ(errno_of([&] { return ::open(f.c_str(), O_RDONLY); }), ENOTCONN);
    start_server(store_);
    EXPECT_EQ(ok("cat f"), "x\n");
    EXPECT_NE(mount_->log().find("fails with ENOTCONN until it is back"), std::string::npos)
        << mount_->log();
}

TEST_F(MountTest, FailedSavesReachProgramsAsEio) {
    start_server(store_, {{"VELMOR_STORE_FAULT", "fail"}});
    start_mount();
    std::string d = at("d"), etc = at("etc");
    EXPECT_EQ(errno_of([&] { return ::mkdir(d.c_str(), 0755); }), EIO);
    EXPECT_EQ(errno_of([&] { return ::rmdir(d.c_str()); }), EIO);
    EXPECT_EQ(errno_of([&] { return ::rmdir(etc.c_str()); }), EIO);
    EXPECT_EQ(ok("ls"), "usr\nvar\n");  // removed in memory, not on the store
    std::string log = mount_->log();
    EXPECT_NE(log.find("mkdir /d: tolvane: persist failed (EIO)"), std::string::npos) << log;
    EXPECT_NE(log.find("rmdir /etc: tolvane: remove not persisted (EIO)"), std::string::npos)
        << log;
}

TEST_F(MountTest, LosingTheServerUnmountsWithNoreconnect) {
    start_server();
    start_mount({"-o", "noreconnect"});
    ok("echo x > f");
    server_->kill_hard();
    Ran r = in_mnt("cat f");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(mount_->wait_exit(15000), 1) << mount_->log();
    EXPECT_FALSE(mounted(mnt_));
    EXPECT_NE(mount_->log().find("tlnmount: connection lost"), std::string::npos) << mount_->log();
}

TEST_F(MountTest, ServerCommandOnStdio) {
    std::string cmd = "exec " + shq(tolvane_test::server_binary()) + " 4";
    std::map<std::string, std::string> env{{"VELMOR_STORE", store_}};
    {
        Mounted m({"-d", "-t", "10", "-c", cmd}, mnt_, env, dir_ + "/mount.log");
        ASSERT_TRUE(m.ready()) << m.log();
        ok("echo on stdio > var/www-file");
        // At unmount the server reads end of stream, saves and exits 0.
        EXPECT_EQ(m.unmount(), 0) << m.log();
    }
    Mounted m({"-d", "-t", "10", "-c", cmd}, mnt_, env, dir_ + "/mount.log");
    ASSERT_TRUE(m.ready()) << m.log();
    EXPECT_EQ(ok("cat var/www-file"), "on stdio\n");
    EXPECT_EQ(m.unmount(), 0) << m.log();
}

TEST_F(MountTest, DetachesOnceMountedAndReportsStartupFailures) {
    start_server();
    std::map<std::string, std::string> env{{"VELMOR_SRV", srv_}};
    std::string bin = shq(tlnmount_binary());
    Ran r = sh(bin + " -s t " + shq(mnt_), env, 30);
    ASSERT_EQ(r.status, 0) << r.out;
    // Mounted before the starting process exited.
    EXPECT_TRUE(mounted(mnt_));
    EXPECT_EQ(ok("ls"), "etc\nusr\nvar\n");
    EXPECT_EQ(sh("fusermount3 -u " + shq(mnt_), {}, 10).status, 0);
    EXPECT_FALSE(mounted(mnt_));

    r = sh(bin + " -s nosuch " + shq(mnt_), env, 30);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("no server is posted as 'nosuch'"), std::string::npos) << r.out;
    r = sh(bin + " -f -s nosuch " + shq(mnt_), env, 30);
    EXPECT_EQ(r.status, 3) << r.out;
    r = sh(bin + " -s t -A nosuch " + shq(mnt_), env, 30);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("tolvane: unknown attach tree"), std::string::npos) << r.out;
    r = sh(bin + " -s t " + shq(dir_ + "/absent"), env, 30);
    EXPECT_EQ(r.status, 4) << r.out;
    r = sh(bin + " -c true -o reconnect " + shq(mnt_), env, 30);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("-c cannot reconnect"), std::string::npos) << r.out;
    for (const char* bad : {"", "-q ", "-t 0 ", "-m 10 ", "-s a -a b ", "-t",
                            "-c true -o reconnect_limit=5 ", "-o reconnect_limit=x "}) {
        r = sh(bin + " " + bad + (std::string(bad) == "" ? "" : shq(mnt_)), env, 30);
        EXPECT_EQ(r.status, 2) << "'" << bad << "': " << r.out;
    }
    EXPECT_FALSE(mounted(mnt_));

    // The server is still serving: mount it once more, in the foreground.
    start_mount({"-A", "var"});
    EXPECT_EQ(ok("ls"), "cache\nlib\nwww\n");
}

TEST_F(MountTest, AMountInUseSharesTheServerWithTlncAndASecondMount) {
    start_server();
    start_mount();
    std::string mnt2 = dir_ + "/mnt2";
    ASSERT_EQ(::mkdir(mnt2.c_str(), 0700), 0);
    std::map<std::string, std::string> env{{"VELMOR_SRV", srv_}};
    Mounted second({"-d", "-t", "10", "-s", "t"}, mnt2, env, dir_ + "/mount2.log");
    ASSERT_TRUE(second.ready()) << second.log();
    write_file(host_ + "/in", pattern(300000, 7));

    std::thread tools([&] {
        for (int i = 0; i < 4; i++) {
            std::string m = "etc/m" + std::to_string(i);
            ok("cp " + shq(host_ + "/in") + " " + m + " && cmp " + shq(host_ + "/in") + " " + m);
            ok("ls -l etc >/dev/null");
        }
    });
    std::string tlnc = shq(TLNC_BINARY) + " -s t ";
    for (int i = 0; i < 4; i++) {
        std::string t = "/var/www/t" + std::to_string(i), out = host_ + "/out" + std::to_string(i);
        Ran r = sh(tlnc + "put " + shq(host_ + "/in") + " " + t + " && " + tlnc + "get " + t + " " +
                       shq(out) + " && cmp " + shq(host_ + "/in") + " " + shq(out) + " && " + tlnc +
                       "ls / >/dev/null",
                   env, 60);
        EXPECT_EQ(r.status, 0) << r.out;
    }
    tools.join();
    // Everybody sees everybody's files.
    EXPECT_EQ(sh("ls " + shq(mnt2 + "/etc")).out, "m0\nm1\nm2\nm3\n");
    EXPECT_EQ(ok("ls var/www"), "t0\nt1\nt2\nt3\n");
    EXPECT_EQ(sh("cmp " + shq(host_ + "/in") + " " + shq(mnt2 + "/var/www/t2")).status, 0);
    EXPECT_EQ(second.unmount(), 0);
}

}  // namespace
}  // namespace mount_test
