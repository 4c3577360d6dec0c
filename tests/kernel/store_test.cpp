// sys_tln_load, sys_tln_save and sys_tln_reject on the stand-in: where images
// live, the .prev generation, the instance lock, refused and rejected images,
// injected faults and saves killed halfway.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"

using namespace ktest;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t CAP = 5242880;

// n bytes of a pattern seeded by seed.
Bytes image(size_t n, uint32_t seed) {
    Bytes m = message_of_size(static_cast<uint32_t>(n + 7), seed);
    return Bytes(m.begin() + 7, m.end());
}

Bytes file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void put_file(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

int64_t save(uint64_t instance, const Bytes& b) {
    return sys_tln_save(instance, b.data(), b.size());
}

// The load result and the bytes it placed.
std::pair<int64_t, Bytes> load(uint64_t instance, uint64_t cap = CAP) {
    Bytes b(cap);
    int64_t r = sys_tln_load(instance, b.data(), cap);
    b.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return {r, b};
}

class Store : public ::testing::Test {
protected:
    void SetUp() override { velmor_linux_reset(); }
    void TearDown() override { velmor_linux_reset(); }
    std::string at(const std::string& name) const { return dir / name; }

    TempDir dir;
    EnvSet env{"VELMOR_STORE", dir.path()};
    EnvSet no_fault{"VELMOR_STORE_FAULT", std::nullopt};
    EnvSet no_after{"VELMOR_STORE_FAULT_AFTER", std::nullopt};
};

TEST_F(Store, SaveThenLoadRoundTrips) {
    // Growing, then shrinking: a save reuses an older file in place, which
    // must end exactly where the new image does.
    for (size_t n : {size_t{1}, size_t{38792}, size_t{1000000}, size_t{CAP}, size_t{1000000},
                     size_t{38792}, size_t{1}, size_t{0}, size_t{40000}}) {
        SCOPED_TRACE(n);
        Bytes img = image(n, static_cast<uint32_t>(n));
        EXPECT_EQ(save(0, img), static_cast<int64_t>(n));
        auto [r, got] = load(0);
        EXPECT_EQ(r, static_cast<int64_t>(n));
        EXPECT_TRUE(got == img);
        EXPECT_TRUE(file_bytes(at("tln-0.img")) == img);
    }
    // What saves leave behind: the image, its predecessor, the next save's
    // temporary file and the lock.
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"tln-0.img", "tln-0.img.prev",
                                                              "tln-0.img.tmp", "tln-0.lock"}));
    struct stat st;
    ASSERT_EQ(stat(at("tln-0.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Store, AMissingImageLoadsAsNothing) {
    auto [r, got] = load(4);
    EXPECT_EQ(r, 0);
}

TEST_F(Store, InstancesKeepSeparateImages) {
    Bytes a = image(100, 1), b = image(200, 2);
    ASSERT_EQ(save(0, a), 100);
    ASSERT_EQ(save(7, b), 200);
    EXPECT_EQ(load(0).second, a);
    EXPECT_EQ(load(7).second, b);
    EXPECT_TRUE(file_bytes(at("tln-7.img")) == b);
    EXPECT_EQ(load(3).first, 0);
}

TEST_F(Store, AnEmptyStoreVariableMeansNoBackingStore) {
    EnvSet none("VELMOR_STORE", "");
    Bytes img = image(10, 1);
    EXPECT_LT(load(0).first, 0);
    EXPECT_LT(save(0, img), 0);
    char where[64];
    EXPECT_LT(sys_tln_reject(0, where, sizeof where), 0);
}

TEST_F(Store, TheStoreDirectoryIsCreatedPrivateOnDemand) {
    EnvSet nested("VELMOR_STORE", dir / "x/y/store");
    mode_t old = umask(0);
    EXPECT_EQ(load(0).first, 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((dir / "x/y/store").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir / "x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Store, DefaultLocationsFollowXdgThenHome) {
    EnvSet unset("VELMOR_STORE", std::nullopt);
    Bytes img = image(30, 3);
    {
        EnvSet state("XDG_STATE_HOME", dir / "state");
        ASSERT_EQ(save(0, img), 30);
        EXPECT_TRUE(file_bytes(dir / "state/velmor/tln-0.img") == img);
    }
    velmor_linux_reset();
    {
        EnvSet state("XDG_STATE_HOME", std::nullopt);
        EnvSet home("HOME", dir.path());
        ASSERT_EQ(save(1, img), 30);
        EXPECT_TRUE(file_bytes(dir / ".local/state/velmor/tln-1.img") == img);
        struct stat st;
        ASSERT_EQ(stat((dir / ".local/state/velmor").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

TEST_F(Store, AnImageLargerThanTheCapacityIsRefusedAndLeftAlone) {
    Bytes big = image(1001, 5);
    put_file(at("tln-0.img"), big);
    StderrCapture err;
    EXPECT_LT(load(0, 1000).first, 0);
    std::string text = err.text();
    EXPECT_NE(text.find("[velmor] store: "), std::string::npos) << text;
    EXPECT_NE(text.find(at("tln-0.img")), std::string::npos) << text;
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == big);
    // Exactly the capacity is fine.
    auto [r, got] = load(0, 1001);
    EXPECT_EQ(r, 1001);
    EXPECT_TRUE(got == big);
}

// Saves go by exchanging names, or (noexchange) the way of a file system
// that cannot: by a hard link and renames. Both keep the same files.
class StoreWay : public Store, public ::testing::WithParamInterface<const char*> {
protected:
    EnvSet way{"VELMOR_STORE_FAULT", std::string(GetParam())};
};

TEST_P(StoreWay, EachSaveKeepsTheImageItReplacesAsPrev) {
    const bool exchange = std::string(GetParam()) == "exchange";
    Bytes a = image(100, 1), b = image(50, 2), c = image(70, 3), d = image(90, 4);
    auto ino = [&](const char* name) {
        struct stat st;
        return ::stat(at(name).c_str(), &st) == 0 ? st.st_ino : ino_t{0};
    };
    ASSERT_EQ(save(0, a), 100);
    EXPECT_FALSE(fs::exists(at("tln-0.img.prev")));
    ino_t first = ino("tln-0.img");
    ASSERT_EQ(save(0, b), 50);
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == b);
    EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == a);
    EXPECT_EQ(ino("tln-0.img.prev"), first) << "the old image itself becomes .prev";
    ino_t second = ino("tln-0.img");
    EXPECT_NE(second, first);
    ASSERT_EQ(save(0, c), 70);
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == c);
    EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == b);
    EXPECT_EQ(ino("tln-0.img.prev"), second);
    ino_t third = ino("tln-0.img");
    if (!exchange) {
        EXPECT_EQ(names_in(dir.path()),
                  (std::vector<std::string>{"tln-0.img", "tln-0.img.prev", "tln-0.lock"}));
        return;
    }
    // The file that left .prev waits as the temporary file, and the next save
    // writes over it: from now on the three files only trade names.
    EXPECT_TRUE(file_bytes(at("tln-0.img.tmp")) == a);
    EXPECT_EQ(ino("tln-0.img.tmp"), first);
    ASSERT_EQ(save(0, d), 90);
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == d);
    EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == c);
    EXPECT_TRUE(file_bytes(at("tln-0.img.tmp")) == b);
    EXPECT_EQ(ino("tln-0.img"), first);
    EXPECT_EQ(ino("tln-0.img.prev"), third);
    EXPECT_EQ(ino("tln-0.img.tmp"), second);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"tln-0.img", "tln-0.img.prev",
                                                              "tln-0.img.tmp", "tln-0.lock"}));
}

TEST_P(StoreWay, LeftoversOfAKilledSaveDoNotGetInTheWay) {
    Bytes a = image(100, 1), b = image(60, 2);
    ASSERT_EQ(save(0, a), 100);
    // A save killed halfway leaves these; the next process to take the
    // instance finds them.
    put_file(at("tln-0.img.tmp"), image(999, 9));
    put_file(at("tln-0.img.prev.tmp"), image(998, 8));
    velmor_linux_reset();
    ASSERT_EQ(save(0, b), 60);
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == b);
    EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == a);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"tln-0.img", "tln-0.img.prev", "tln-0.lock"}));
}

// A save writes the temporary file in place, so one that is another name of
// the image or of .prev (as an older store layout or a hand could leave) is
// dropped when the next process takes the instance, never written through.
TEST_F(Store, ATemporaryFileThatNamesAnotherFileIsNeverWrittenThrough) {
    Bytes a = image(100, 1), b = image(60, 2), c = image(80, 3);
    for (const char* target : {"tln-0.img", "tln-0.img.prev"}) {
        for (bool symbolic : {false, true}) {
            SCOPED_TRACE(std::string(target) + (symbolic ? " symlink" : " hard link"));
            velmor_linux_reset();
            for (const auto& name : names_in(dir.path())) fs::remove(at(name));
            ASSERT_EQ(save(0, a), 100);
            ASSERT_EQ(save(0, b), 60);  // img b, .prev a, no temporary file
            if (symbolic) {
                fs::create_symlink(at(target), at("tln-0.img.tmp"));
            } else {
                fs::create_hard_link(at(target), at("tln-0.img.tmp"));
            }
            velmor_linux_reset();
            ASSERT_EQ(save(0, c), 80);
            EXPECT_TRUE(file_bytes(at("tln-0.img")) == c);
            EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == b);
        }
    }
}

// A child saves two images in turn without end; it is killed at random
// moments. Every time, the stored image is one of the two, whole, so is a
// .prev when there is one, and the next save puts everything in order.
TEST_P(StoreWay, AnImageKilledInTheMiddleOfASaveIsNeverTorn) {
    Bytes a = image(900000, 1), b = image(1300000, 2), c = image(700, 3);
    std::mt19937 rng(42);
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            velmor_linux_reset();
            if (save(0, a) != static_cast<int64_t>(a.size())) _exit(1);
            (void)!write(ready[1], "r", 1);
            for (int i = 0;; i++) save(0, i % 2 ? a : b);
        }
        close(ready[1]);
        char ch;
        ASSERT_EQ(read(ready[0], &ch, 1), 1);
        close(ready[0]);
        poll(nullptr, 0, std::uniform_int_distribution<int>(0, 15)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        velmor_linux_reset();  // as a new process: take the lock again
        auto [n, got] = load(0);
        EXPECT_TRUE(got == a || got == b) << "loaded " << n << " bytes";
        if (fs::exists(at("tln-0.img.prev"))) {
            Bytes prev = file_bytes(at("tln-0.img.prev"));
            // c is the image the previous round ended with.
            EXPECT_TRUE(prev == a || prev == b || (round > 0 && prev == c))
                << ".prev of " << prev.size() << " bytes";
        }
        ASSERT_EQ(save(0, c), 700);
        EXPECT_TRUE(file_bytes(at("tln-0.img")) == c);
        EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == got);
        // A temporary file left is one of the saves' own files, not a second
        // name of another.
        struct stat st;
        if (::lstat(at("tln-0.img.tmp").c_str(), &st) == 0) {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
        }
        EXPECT_FALSE(fs::exists(at("tln-0.img.prev.tmp")));
        velmor_linux_reset();  // let the next child take the lock
    }
}

// A save killed between the two renames of a file system without the
// exchange leaves .prev as a second name of the image, and the new image
// waiting as the temporary file. The exchanges can then give the temporary
// name to a file that has another name; no later save writes through it.
TEST_P(StoreWay, NamesSharedByAKilledSaveAreNeverWrittenThrough) {
    Bytes a = image(100, 1), b = image(60, 2), c = image(80, 3);
    ASSERT_EQ(save(0, a), 100);
    ASSERT_EQ(save(0, b), 60);
    fs::remove(at("tln-0.img.prev"));
    fs::create_hard_link(at("tln-0.img"), at("tln-0.img.prev"));
    put_file(at("tln-0.img.tmp"), c);
    velmor_linux_reset();  // a new process
    auto ino = [&](const char* name) {
        struct stat st;
        return ::lstat(at(name).c_str(), &st) == 0 ? st.st_ino : ino_t{0};
    };
    Bytes last = b;
    for (uint32_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        Bytes next = image(90 + i, 10 + i);
        ASSERT_EQ(save(0, next), static_cast<int64_t>(next.size()));
        EXPECT_TRUE(file_bytes(at("tln-0.img")) == next);
        EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == last);
        EXPECT_NE(ino("tln-0.img.tmp"), ino("tln-0.img"));
        EXPECT_NE(ino("tln-0.img.prev"), ino("tln-0.img"));
        last = next;
    }
    velmor_linux_reset();
    EXPECT_TRUE(load(0).second == last);
}

INSTANTIATE_TEST_SUITE_P(Ways, StoreWay, ::testing::Values("exchange", "noexchange"));

// Once the new image has taken tln-N.img's name, a failure to keep the old
// one as .prev loses nothing the save promised: the save stands. A failure
// of the directory's fsync means the new name may not last: the save is
// reported failed. Either way the temporary name, which now holds the
// previous image, is kept, and the image loads.
TEST_F(Store, AFailureAfterTheNewImageIsInPlaceTellsTheTruth) {
    for (const char* mode : {"keepprev", "dirsync"}) {
        SCOPED_TRACE(mode);
        for (const auto& name : names_in(dir.path())) fs::remove(at(name));
        EnvSet fault("VELMOR_STORE_FAULT", mode);
        EnvSet after("VELMOR_STORE_FAULT_AFTER", "3");
        velmor_linux_reset();
        Bytes a = image(1000, 1), b = image(2000, 2), c = image(3001, 3);
        ASSERT_EQ(save(0, a), 1000);
        ASSERT_EQ(save(0, b), 2000);
        ASSERT_EQ(save(0, c), 3001);  // a now waits as the temporary file
        Bytes d = image(1500, 4);
        int64_t r = save(0, d);
        if (std::string(mode) == "keepprev") {
            EXPECT_EQ(r, 1500);
            EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == b);
            EXPECT_TRUE(file_bytes(at("tln-0.img.tmp")) == c);
        } else {
            EXPECT_EQ(r, -EIO);
            EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == c);
            EXPECT_TRUE(file_bytes(at("tln-0.img.tmp")) == b);
        }
        EXPECT_TRUE(file_bytes(at("tln-0.img")) == d);
        velmor_linux_reset();
        EXPECT_TRUE(load(0).second == d);
        velmor_linux_reset();
    }
}

TEST_F(Store, AStoreDirectoryMovedAwayIsMadeAgainAtTheNextSave) {
    EnvSet nested("VELMOR_STORE", dir / "store");
    Bytes a = image(100, 1), b = image(60, 2);
    ASSERT_EQ(save(0, a), 100);
    fs::rename(dir / "store", dir / "gone");
    ASSERT_EQ(save(0, b), 60);
    EXPECT_TRUE(file_bytes(dir / "store/tln-0.img") == b);
    EXPECT_FALSE(fs::exists(dir / "store/tln-0.img.prev"));
    EXPECT_TRUE(file_bytes(dir / "gone/tln-0.img") == a);
    EXPECT_EQ(names_in(dir / "gone"), (std::vector<std::string>{"tln-0.img", "tln-0.lock"}));
    // A file where the directory was: the save fails and touches nothing.
    fs::rename(dir / "store", dir / "gone2");
    put_file(dir / "store", image(5, 5));
    EXPECT_LT(save(0, a), 0);
    EXPECT_TRUE(file_bytes(dir / "gone2/tln-0.img") == b);
}

// Runs fn in a child that holds the instance lock meanwhile.
template <class Fn>
void with_lock_held_elsewhere(const std::string& lock_path, Fn fn) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(done[1]);  // so that the parent's close ends the wait below
        int fd = open(lock_path.c_str(), O_RDWR | O_CREAT, 0600);
        char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1) << "the child could not take the lock";
    fn();
    close(done[1]);
    close(ready[0]);
    int status;
    waitpid(pid, &status, 0);
}

TEST_F(Store, AnInstanceLockedByAnotherProcessServesFromMemory) {
    Bytes a = image(100, 1);
    put_file(at("tln-3.img"), a);
    with_lock_held_elsewhere(at("tln-3.lock"), [&] {
        StderrCapture err;
        EXPECT_LT(load(3).first, 0);
        EXPECT_EQ(err.text(), "[velmor] store: instance 3 is in use by another server (lock " +
                                  at("tln-3.lock") + "); serving from memory only\n");
        EXPECT_LT(save(3, image(10, 2)), 0);
        char where[256];
        EXPECT_LT(sys_tln_reject(3, where, sizeof where), 0);
        // Other instances are not affected.
        EXPECT_EQ(save(4, image(10, 3)), 10);
    });
    EXPECT_TRUE(file_bytes(at("tln-3.img")) == a);
    EXPECT_FALSE(fs::exists(at("tln-3.img.tmp")));
}

TEST_F(Store, TheLockIsHeldFromTheFirstCallOn) {
    EXPECT_EQ(load(2).first, 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(at("tln-2.lock").c_str(), O_RDWR);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process took the lock";
    // And this process goes on using the instance.
    EXPECT_EQ(save(2, image(5, 1)), 5);
    EXPECT_EQ(load(2).first, 5);
}

struct FaultCase {
    const char* mode;
    bool exactly_minus_one;  // fail answers -1
    bool half;               // short answers half the length
};

class StoreFault : public Store, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StoreFault, AFailedSaveLeavesThePreviousImageIntactAndLoadable) {
    const FaultCase& fc = GetParam();
    EnvSet mode("VELMOR_STORE_FAULT", fc.mode);
    EnvSet after("VELMOR_STORE_FAULT_AFTER", "2");
    Bytes a = image(1000, 1), b = image(2000, 2), c = image(3001, 3);
    ASSERT_EQ(save(0, a), 1000);
    ASSERT_EQ(save(0, b), 2000);  // the fault begins after two good saves
    int64_t r = save(0, c);
    EXPECT_NE(r, 3001);
    if (fc.exactly_minus_one) {
        EXPECT_EQ(r, -1);
    } else if (fc.half) {
        EXPECT_EQ(r, 1500);
    } else {
        EXPECT_LT(r, 0);
    }
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == b);
    EXPECT_TRUE(file_bytes(at("tln-0.img.prev")) == a);
    EXPECT_FALSE(fs::exists(at("tln-0.img.tmp")));
    auto [n, got] = load(0);
    EXPECT_EQ(n, 2000);
    EXPECT_TRUE(got == b);
    // The fault stays in force.
    EXPECT_NE(save(0, c), 3001);
    EXPECT_TRUE(file_bytes(at("tln-0.img")) == b);
}

TEST_P(StoreFault, WithoutACountTheFirstSaveFails) {
    EnvSet mode("VELMOR_STORE_FAULT", GetParam().mode);
    EXPECT_NE(save(5, image(100, 1)), 100);
    EXPECT_FALSE(fs::exists(at("tln-5.img")));
    EXPECT_FALSE(fs::exists(at("tln-5.img.tmp")));
}

INSTANTIATE_TEST_SUITE_P(Modes, StoreFault,
                         ::testing::Values(FaultCase{"fail", true, false},
                                           FaultCase{"short", false, true},
                                           FaultCase{"nospace", false, false}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST_F(Store, FailTouchesNoFileAtAll) {
    EnvSet mode("VELMOR_STORE_FAULT", "fail");
    EXPECT_EQ(save(0, image(10, 1)), -1);
    EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST_F(Store, AnUnknownFaultNameChangesNothing) {
    EnvSet mode("VELMOR_STORE_FAULT", "sometimes");
    EXPECT_EQ(save(0, image(10, 1)), 10);
}

TEST_F(Store, ARejectedImageIsKeptUnderANewNameThatLaterSavesNeverTouch) {
    Bytes a = image(100, 1), b = image(200, 2), c = image(300, 3);
    ASSERT_EQ(save(0, a), 100);
    char where[4096];
    int64_t n = sys_tln_reject(0, where, sizeof where);
    ASSERT_GT(n, 0);
    std::string kept(where);
    EXPECT_EQ(static_cast<int64_t>(kept.size()), n);
    EXPECT_EQ(kept.rfind(at("tln-0.img.rejected-"), 0), 0u) << kept;
    EXPECT_TRUE(file_bytes(kept) == a);
    EXPECT_FALSE(fs::exists(at("tln-0.img")));
    EXPECT_EQ(load(0).first, 0);

    ASSERT_EQ(save(0, b), 200);
    ASSERT_EQ(save(0, c), 300);
    EXPECT_TRUE(file_bytes(kept) == a);
    // Rejecting again (within the same second, as likely here) picks a new name.
    int64_t n2 = sys_tln_reject(0, where, sizeof where);
    ASSERT_GT(n2, 0);
    std::string kept2(where);
    EXPECT_NE(kept2, kept);
    EXPECT_TRUE(file_bytes(kept2) == c);
    EXPECT_TRUE(file_bytes(kept) == a);
}

TEST_F(Store, ARejectedNameIsTruncatedToTheBuffer) {
    ASSERT_EQ(save(0, image(10, 1)), 10);
    char where[11];
    memset(where, 'x', sizeof where);
    EXPECT_EQ(sys_tln_reject(0, where, sizeof where), 10);
    EXPECT_EQ(where[10], '\0');
    EXPECT_EQ(std::string(where), at("").substr(0, 10));
}

TEST_F(Store, NothingToRejectAnswersNegative) {
    char where[256];
    EXPECT_LT(sys_tln_reject(0, where, sizeof where), 0);
}

}  // namespace
