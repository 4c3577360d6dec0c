// sys_read and sys_write on the stand-in: buffered reads deliver exactly the
// stream's bytes, the stop request ends the stream only between messages,
// writes survive signals and vanished peers.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"
#include "kernel_test_util.h"

using namespace ktest;

namespace {

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        // These tests install the stop handlers, so SIGTERM no longer ends
        // the test binary; a stand-in that hangs is ended by the alarm.
        alarm(30);
        velmor_linux_reset();
        velmor_linux_start();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    }
    void TearDown() override {
        for (int fd : sv) {
            if (fd >= 0) close(fd);
        }
        velmor_linux_reset();
        alarm(0);
    }
    // Reads from the idle stream while another thread, after 30 ms, sends the
    // stop signal with send. A read still blocked 5 s later is given a
    // message, so the test fails instead of hanging.
    int64_t read_while_stopped(const std::function<void()>& send) {
        std::atomic<bool> returned{false};
        std::thread stopper([&] {
            poll(nullptr, 0, 30);
            send();
            for (int i = 0; i < 500 && !returned; i++) poll(nullptr, 0, 10);
            if (!returned) write_all(sv[0], message_of_size(7, 1));
        });
        uint8_t buf[7];
        int64_t r = sys_read(sv[1], buf, sizeof buf);
        returned = true;
        stopper.join();
        return r;
    }
    // Reads exactly n bytes of the server end through sys_read.
    Bytes sys_read_n(size_t n) {
        Bytes b(n);
        size_t got = 0;
        while (got < n) {
            int64_t r = sys_read(sv[1], b.data() + got, n - got);
            if (r <= 0) {
                ADD_FAILURE() << "sys_read answered " << r << " after " << got << " of " << n;
                b.resize(got);
                return b;
            }
            got += static_cast<size_t>(r);
        }
        return b;
    }
    // One message the way the server reads it: 7 header bytes, then the body.
    Bytes sys_read_message() {
        Bytes head = sys_read_n(7);
        if (head.size() != 7) return head;
        Bytes body = sys_read_n(size_field(head) - 7);
        head.insert(head.end(), body.begin(), body.end());
        return head;
    }
    int sv[2] = {-1, -1};  // [0] the client, [1] read by the server through sys_read
};

// A stream of framed messages of the given sizes, concatenated.
Bytes stream_of(const std::vector<uint32_t>& sizes) {
    Bytes all;
    uint32_t seed = 1;
    for (uint32_t s : sizes) {
        Bytes m = message_of_size(s, seed++);
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

// Writes b to fd in pieces of random size (1 to max_piece) from a thread.
std::thread writer(int fd, Bytes b, uint32_t seed, size_t max_piece) {
    return std::thread([fd, b = std::move(b), seed, max_piece] {
        std::mt19937 rng(seed);
        size_t done = 0;
        while (done < b.size()) {
            size_t piece = std::uniform_int_distribution<size_t>(1, max_piece)(rng);
            if (piece > b.size() - done) piece = b.size() - done;
            ssize_t n = write(fd, b.data() + done, piece);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    });
}

TEST_F(Stream, BufferedReadsDeliverExactlyTheStreamForRandomChunkings) {
    // Random message sizes: mostly small requests, some larger than the
    // read-ahead, a few large ones.
    auto sizes_up_to = [](int count, uint32_t large) {
        std::mt19937 rng(7);
        std::vector<uint32_t> sizes;
        for (int i = 0; i < count; i++) {
            int kind = i % 10;
            uint32_t hi = kind < 7 ? 200 : kind < 9 ? large / 4 : large;
            sizes.push_back(std::uniform_int_distribution<uint32_t>(7, hi)(rng));
        }
        return sizes;
    };
    Bytes small = stream_of(sizes_up_to(60, 400));  // byte-sized pieces stay cheap
    Bytes large = stream_of(sizes_up_to(200, 140000));
    struct Case {
        uint32_t seed;
        const Bytes* stream;
        size_t max_write;  // largest piece the client writes at once
        size_t max_read;   // largest count one sys_read asks for
    };
    for (Case c : {Case{1, &small, 1, 9}, Case{2, &small, 3, 1}, Case{3, &large, 13000, 4096},
                   Case{4, &large, 70000, 7}, Case{5, &large, 300000, 200000},
                   Case{6, &large, 5000, 65536}}) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        const Bytes& all = *c.stream;
        int p[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
        std::thread w = writer(p[0], all, c.seed, c.max_write);
        std::mt19937 rng(c.seed * 31);
        Bytes got(all.size());
        size_t have = 0;
        while (have < all.size()) {
            size_t ask = std::uniform_int_distribution<size_t>(1, c.max_read)(rng);
            if (ask > all.size() - have) ask = all.size() - have;
            int64_t r = sys_read(p[1], got.data() + have, ask);
            if (r <= 0) break;
            EXPECT_LE(static_cast<size_t>(r), ask);
            have += static_cast<size_t>(r);
        }
        w.join();
        EXPECT_EQ(have, all.size());
        EXPECT_TRUE(got == all);
        shutdown(p[0], SHUT_WR);
        uint8_t extra[16];
        EXPECT_EQ(sys_read(p[1], extra, sizeof extra), 0) << "bytes beyond the stream";
        close(p[0]);
        close(p[1]);
        velmor_linux_reset();
    }
}

TEST_F(Stream, ServerStyleReadsSeeEveryMessageWhole) {
    std::vector<uint32_t> sizes = {7, 8, 23, 4119, 16390, 65559, 131072, 11, 7, 100000};
    Bytes all = stream_of(sizes);
    std::thread w = writer(sv[0], all, 9, 100000);
    size_t off = 0;
    for (uint32_t s : sizes) {
        Bytes m = sys_read_message();
        ASSERT_EQ(m.size(), s);
        EXPECT_TRUE(std::equal(m.begin(), m.end(), all.begin() + static_cast<long>(off)));
        off += s;
    }
    w.join();
}

// The body of a large message is the caller's to place: after the header and
// the 16 bytes of fixed fields of a write, its data must still be waiting in
// the socket, not copied into the read-ahead. Small messages still come in
// one read.
TEST_F(Stream, LargeBodiesAreLeftInTheSocketForTheCaller) {
    auto waiting = [&] {
        int n = -1;
        EXPECT_EQ(ioctl(sv[1], FIONREAD, &n), 0);
        return n;
    };
    auto send_all = [&](const Bytes& b) {
        ASSERT_EQ(write(sv[0], b.data(), b.size()), static_cast<ssize_t>(b.size()));
    };
    const Bytes first = message_of_size(100000, 1);
    const Bytes second = message_of_size(100000, 2);
    Bytes small = message_of_size(30, 3);
    const Bytes tiny = message_of_size(11, 4);
    small.insert(small.end(), tiny.begin(), tiny.end());

    // A first message: its header read takes the usual read-ahead with it.
    send_all(first);
    EXPECT_EQ(sys_read_n(7), Bytes(first.begin(), first.begin() + 7));
    EXPECT_EQ(waiting(), 100000 - 7 - 16384);
    EXPECT_EQ(sys_read_n(100000 - 7), Bytes(first.begin() + 7, first.end()));
    EXPECT_EQ(waiting(), 0);

    // After a large message: header and fixed fields only, then no
    // read-ahead while more than a read-ahead's worth of body is left.
    send_all(second);
    EXPECT_EQ(sys_read_n(7), Bytes(second.begin(), second.begin() + 7));
    EXPECT_EQ(waiting(), 100000 - 23);
    EXPECT_EQ(sys_read_n(16), Bytes(second.begin() + 7, second.begin() + 23));
    EXPECT_EQ(waiting(), 100000 - 23);
    EXPECT_EQ(sys_read_n(1000), Bytes(second.begin() + 23, second.begin() + 1023));
    EXPECT_EQ(waiting(), 100000 - 1023);
    EXPECT_EQ(sys_read_n(100000 - 1023), Bytes(second.begin() + 1023, second.end()));
    EXPECT_EQ(waiting(), 0);

    // Two small messages after it: the second read takes the rest of both.
    send_all(small);
    EXPECT_EQ(sys_read_message(), Bytes(small.begin(), small.begin() + 30));
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(sys_read_message(), tiny);
}

TEST_F(Stream, BuffersOfTwoDescriptorsNeverMix) {
    int other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    Bytes a = stream_of({30, 40, 50, 60});
    Bytes b = stream_of({7, 9, 200, 3000});
    write_all(sv[0], a);
    write_all(other[0], b);
    Bytes got_a, got_b;
    // Alternate small reads: each descriptor's read-ahead must stay its own.
    while (got_a.size() < a.size() || got_b.size() < b.size()) {
        uint8_t buf[5];
        if (got_a.size() < a.size()) {
            int64_t r = sys_read(sv[1], buf, std::min<size_t>(5, a.size() - got_a.size()));
            ASSERT_GT(r, 0);
            got_a.insert(got_a.end(), buf, buf + r);
        }
        if (got_b.size() < b.size()) {
            int64_t r = sys_read(other[1], buf, std::min<size_t>(5, b.size() - got_b.size()));
            ASSERT_GT(r, 0);
            got_b.insert(got_b.end(), buf, buf + r);
        }
    }
    EXPECT_TRUE(got_a == a);
    EXPECT_TRUE(got_b == b);
    close(other[0]);
    close(other[1]);
}

TEST_F(Stream, PipesAndMoreDescriptorsThanFrameSlotsReadCorrectly) {
    // Twelve pipes, read in turn: more descriptors than the stand-in tracks.
    constexpr int N = 12;
    int p[N][2];
    Bytes data[N];
    for (int i = 0; i < N; i++) {
        ASSERT_EQ(pipe(p[i]), 0);
        data[i] = stream_of({static_cast<uint32_t>(7 + i), static_cast<uint32_t>(100 + i * 7)});
        write_all(p[i][1], data[i]);
    }
    Bytes got[N];
    for (int round = 0; round < 200; round++) {
        for (int i = 0; i < N; i++) {
            if (got[i].size() == data[i].size()) continue;
            uint8_t buf[3];
            int64_t r = sys_read(p[i][0], buf, std::min<size_t>(3, data[i].size() - got[i].size()));
            ASSERT_GT(r, 0);
            got[i].insert(got[i].end(), buf, buf + r);
        }
    }
    for (int i = 0; i < N; i++) {
        EXPECT_TRUE(got[i] == data[i]) << "pipe " << i;
        close(p[i][0]);
        close(p[i][1]);
    }
}

TEST_F(Stream, EndOfStreamBetweenAndInsideMessages) {
    Bytes m = message_of_size(20, 1);
    write_all(sv[0], m);
    write_all(sv[0], Bytes(m.begin(), m.begin() + 10));  // half of the next one
    shutdown(sv[0], SHUT_WR);
    EXPECT_TRUE(sys_read_message() == m);
    Bytes half = sys_read_n(7);
    ASSERT_EQ(half.size(), 7u);
    uint8_t rest[64];
    EXPECT_EQ(sys_read(sv[1], rest, sizeof rest), 3);
    EXPECT_EQ(sys_read(sv[1], rest, sizeof rest), 0);
    EXPECT_EQ(sys_read(sv[1], rest, sizeof rest), 0);
}

TEST_F(Stream, StopBeforeAnyReadAnswersEndOfStream) {
    write_all(sv[0], message_of_size(30, 1));  // waiting, but never begun
    raise(SIGTERM);
    uint8_t buf[64];
    EXPECT_EQ(sys_read(sv[1], buf, sizeof buf), 0);
    EXPECT_EQ(sys_read(sv[1], buf, 7), 0);
}

TEST_F(Stream, StopDuringARequestLetsItFinishThenEndsAtTheBoundary) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        velmor_linux_reset();
        Bytes first = message_of_size(5000, 1);
        Bytes second = message_of_size(40, 2);
        write_all(sv[0], first);
        write_all(sv[0], second);
        Bytes head = sys_read_n(7);  // the server is now inside the first message
        raise(sig);
        Bytes body = sys_read_n(first.size() - 7);
        head.insert(head.end(), body.begin(), body.end());
        EXPECT_TRUE(head == first);
        uint8_t buf[7];
        EXPECT_EQ(sys_read(sv[1], buf, 7), 0) << "the second message must not be begun";
        // Drop what the stand-in may hold of the second message.
        velmor_linux_reset();
        uint8_t sink[256];
        while (!quiet(sv[1], 0)) ASSERT_GT(read(sv[1], sink, sizeof sink), 0);
    }
}

TEST_F(Stream, StopInsideAMessageWaitsForTheRestThenEnds) {
    Bytes m = message_of_size(1000, 3);
    write_all(sv[0], Bytes(m.begin(), m.begin() + 300));
    Bytes got = sys_read_n(300);
    raise(SIGTERM);
    // The rest comes later, from another thread; the read must wait for it.
    std::thread late([&] {
        poll(nullptr, 0, 20);
        write_all(sv[0], Bytes(m.begin() + 300, m.end()));
    });
    Bytes rest = sys_read_n(700);
    late.join();
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == m);
    uint8_t buf[7];
    EXPECT_EQ(sys_read(sv[1], buf, 7), 0);
}

TEST_F(Stream, StopInsideAMessageGivesUpWhenTheClientSendsNothing) {
    velmor_linux_set_stop_grace_ms(50);
    Bytes m = message_of_size(1000, 4);
    write_all(sv[0], Bytes(m.begin(), m.begin() + 10));
    EXPECT_EQ(sys_read_n(10).size(), 10u);
    raise(SIGTERM);
    uint8_t buf[100];
    EXPECT_LT(sys_read(sv[1], buf, sizeof buf), 0);
}

TEST_F(Stream, StopWakesAReadBlockedBetweenMessages) {
    pthread_t main_thread = pthread_self();
    EXPECT_EQ(read_while_stopped([&] { pthread_kill(main_thread, SIGTERM); }), 0);
}

TEST_F(Stream, ASignalFromAnotherThreadStillWakesTheRead) {
    // The handler may run on any thread; the self-pipe wakes the reader.
    EXPECT_EQ(read_while_stopped([] { kill(getpid(), SIGTERM); }), 0);
}

// Spins for about us microseconds (a sleep would be far coarser).
void spin_us(int us) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// A stop signal sent at a random moment around a read that waits for the
// next message, while a message may be arriving at the same time: the read
// either answers 0 or begins that message, which is then delivered whole,
// and the read after it answers 0. It never stays blocked. The signal is
// handled on the reading thread (pthread_kill) or on another one (raise in
// that thread), which must hand it on.
TEST_F(Stream, AStopAtAnyMomentAroundAWaitForTheNextMessageEndsTheStream) {
    std::mt19937 rng(11);
    const Bytes m = message_of_size(60, 7);
    pthread_t reader = pthread_self();
    for (int round = 0; round < 400; round++) {
        SCOPED_TRACE(round);
        velmor_linux_reset();
        bool on_reader = round % 2 == 0;
        bool with_message = round % 4 >= 2;
        int stop_after = std::uniform_int_distribution<int>(0, 120)(rng);
        int send_after = std::uniform_int_distribution<int>(0, 120)(rng);
        std::atomic<bool> done{false};
        std::thread other([&] {
            if (with_message && send_after < stop_after) {
                spin_us(send_after);
                write_all(sv[0], m);
            }
            spin_us(stop_after);
            if (on_reader) {
                pthread_kill(reader, SIGTERM);
            } else {
                raise(SIGTERM);
            }
            if (with_message && send_after >= stop_after) {
                spin_us(send_after - stop_after);
                write_all(sv[0], m);
            }
            // Bound the test: a read still blocked after 5 s gets a message of
            // another size, which the checks below report.
            for (int i = 0; i < 500 && !done; i++) poll(nullptr, 0, 10);
            if (!done) write_all(sv[0], message_of_size(9, 1));
        });
        uint8_t buf[64];
        int64_t r = sys_read(sv[1], buf, 7);
        if (r == 7) {
            // The message was begun before the stop: it comes whole.
            Bytes body(m.size() - 7);
            int64_t b = sys_read(sv[1], body.data(), body.size());
            EXPECT_EQ(b, static_cast<int64_t>(body.size()));
            EXPECT_TRUE(std::equal(buf, buf + 7, m.begin()));
            EXPECT_TRUE(std::equal(body.begin(), body.end(), m.begin() + 7));
            r = sys_read(sv[1], buf, 7);
        }
        done = true;
        other.join();
        EXPECT_EQ(r, 0);
        // Drop whatever of the message is left in the socket.
        velmor_linux_reset();
        uint8_t sink[256];
        while (!quiet(sv[1], 0)) ASSERT_GT(read(sv[1], sink, sizeof sink), 0);
        if (HasFailure()) return;
    }
}

// A forked child is another thread of another process; the stop request
// must still end its wait for the next message, also after the parent read.
TEST_F(Stream, AStopEndsTheWaitOfAForkedChild) {
    write_all(sv[0], message_of_size(20, 3));
    Bytes first = sys_read_message();  // the parent has read through the stand-in
    ASSERT_EQ(first.size(), 20u);
    pid_t pid = fork();
    if (pid == 0) {
        uint8_t buf[7];
        _exit(sys_read(sv[1], buf, sizeof buf) == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    poll(nullptr, 0, 30);
    kill(pid, SIGTERM);
    int status = 0;
    pid_t got = 0;
    for (int i = 0; i < 500 && got == 0; i++) {
        got = waitpid(pid, &status, WNOHANG);
        if (got == 0) poll(nullptr, 0, 10);
    }
    if (got == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the child's read did not end";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Stream, ResetForgetsTheStopRequestAndBufferedBytes) {
    Bytes m = message_of_size(50, 5);
    write_all(sv[0], m);
    raise(SIGTERM);
    velmor_linux_reset();
    EXPECT_TRUE(sys_read_message() == m);
}

TEST_F(Stream, WritesReachThePeerWholeAndFailWhenItIsGone) {
    Bytes big = message_of_size(3 << 20, 6);  // far more than the socket buffer
    Bytes got;
    std::thread reader([&] {
        auto r = read_n(sv[0], big.size(), 10000);
        if (r) got = *r;
    });
    EXPECT_EQ(sys_write(sv[1], big.data(), big.size()), static_cast<int64_t>(big.size()));
    reader.join();
    EXPECT_TRUE(got == big);

    close(sv[0]);
    sv[0] = -1;
    // SIGPIPE is ignored by velmor_linux_start: the write fails instead.
    uint8_t x = 1;
    EXPECT_LT(sys_write(sv[1], &x, 1), 0);
}

TEST(StreamCalls, BadArgumentsAndUnknownCallsAnswerNegative) {
    uint8_t buf[4];
    EXPECT_LT(sys_read(-1, buf, sizeof buf), 0);
    EXPECT_LT(sys_write(-1, buf, sizeof buf), 0);
    EXPECT_LT(sys_read(0x7fffffffll + 1, buf, sizeof buf), 0);
    for (int64_t n : {0ll, 2ll, 7ll, 100ll, 282ll, 286ll, -1ll, 1ll << 40}) {
        EXPECT_LT(syscall6(n, 0, 0, 0, 0, 0, 0), 0) << "call " << n;
    }
}

}  // namespace
