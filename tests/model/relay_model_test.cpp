// Two clients on one posted server, through the Linux stand-in's
// multiplexer, their requests interleaved (one at a time, and the second
// arriving while the first is in the server's hands): every reply must be the
// reference model's, byte for byte, where each client's fids are its own and
// the tree is shared. The multiplexer and the real request step run in one
// thread (mux_rig.h); the tables are checked after every request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "kernel/linux/standin.h"
#include "model.h"
#include "mux_rig.h"
#include "support.h"
#include "tree_check.h"

namespace {

using model::Bytes;
namespace tt = tolvane_test;

constexpr int kClients = 2;
constexpr uint32_t kFids = 6;             // fid numbers each client uses, the same on both
constexpr uint32_t kModelFidBase = 1000;  // client k's fid f is fid k * base + f in the model
constexpr int kSteps = 3000;
constexpr int kTurnCap = 2000;  // turns a reply may take

struct Client {
    int fd = -1;
    Bytes in;
};

class TwoClients {
public:
    explicit TwoClients(uint64_t seed) : rng_(seed), m_(false) {}
    ~TwoClients() {
        for (Client& c : c_) {
            if (c.fd >= 0) close(c.fd);
        }
        mux_rig::close_rig(rig_);
    }

    void run() {
        ASSERT_TRUE(mux_rig::open(rig_));
        for (Client& c : c_) {
            c.fd = mux_rig::connect(rig_);
            ASSERT_GE(c.fd, 0);
        }
        for (step_ = 0; step_ < kSteps && !::testing::Test::HasFailure(); step_++) {
            if (r(2) == 0) {
                one_at_a_time(static_cast<int>(r(kClients)));
            } else {
                both_at_the_server();
            }
        }
    }

private:
    uint64_t r(uint64_t n) { return rng_() % n; }
    uint32_t mfid(int k, uint32_t fid) { return static_cast<uint32_t>(k) * kModelFidBase + fid; }

    // Mostly one of client k's fids in use (used) or one it does not use.
    uint32_t pick_fid(int k, bool used) {
        std::vector<uint32_t> pool;
        for (uint32_t f = 0; f < kFids; f++) {
            if ((m_.fid_slot(mfid(k, f)) >= 0) == used) pool.push_back(f);
        }
        if (pool.empty() || r(8) == 0) return static_cast<uint32_t>(r(kFids));
        return pool[r(pool.size())];
    }

    // A random request of client k and the model's reply to it.
    std::pair<Bytes, Bytes> next(int k) {
        static const std::vector<std::string> names = {"f0", "f1", "d0", "d1", "var", "nope", ".."};
        uint16_t tag = static_cast<uint16_t>(r(4));
        uint32_t fid = pick_fid(k, r(5) != 0);
        const std::string& name = names[r(names.size())];
        switch (r(11)) {
            case 0:
            case 10: {
                fid = pick_fid(k, r(5) == 0);
                std::string aname = r(4) == 0 ? "var" : "";
                return {tt::tattach(tag, fid, aname), m_.attach(tag, mfid(k, fid), aname)};
            }
            case 1:
            case 2: {
                uint32_t newfid = pick_fid(k, r(5) == 0);
                std::vector<std::string> path;
                for (uint64_t n = r(3); n > 0; n--) path.push_back(names[r(names.size())]);
                return {tt::twalk(tag, fid, newfid, path),
                        m_.walk(tag, mfid(k, fid), mfid(k, newfid), path)};
            }
            case 3: {
                uint8_t mode = static_cast<uint8_t>(r(3));
                return {tt::topen(tag, fid, mode), m_.open(tag, mfid(k, fid), mode)};
            }
            case 4: {
                uint32_t perm = name[0] == 'd' ? tolvane::DM_DIR | 0755 : 0644;
                uint8_t mode = name[0] == 'd' ? 0 : 2;
                return {tt::tcreate(tag, fid, name, perm, mode),
                        m_.create(tag, mfid(k, fid), name, perm, mode)};
            }
            case 5: {
                Bytes data(r(3000), static_cast<uint8_t>('a' + k));
                uint64_t off = r(5000);
                return {tt::twrite(tag, fid, off, data), m_.write(tag, mfid(k, fid), off, data)};
            }
            case 6: {
                uint64_t off = r(3) == 0 ? 0 : r(6000);
                uint32_t count = static_cast<uint32_t>(r(9000));
                return {tt::tread(tag, fid, off, count), m_.read(tag, mfid(k, fid), off, count)};
            }
            case 7:
                return {tt::tclunk(tag, fid), m_.clunk(tag, mfid(k, fid))};
            case 8:
                return {tt::tremove(tag, fid), m_.remove(tag, mfid(k, fid))};
            default:
                return {tt::tstat(tag, fid), m_.stat(tag, mfid(k, fid))};
        }
    }

    void send(int k, const Bytes& req) {
        ASSERT_EQ(::send(c_[k].fd, req.data(), req.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(req.size()));
    }

    // Runs multiplexer and server until client k holds a whole message; returns it.
    Bytes reply(int k) {
        Client& c = c_[k];
        for (int t = 0; t < kTurnCap; t++) {
            if (c.in.size() >= 4 && c.in.size() >= mux_rig::le32(c.in.data())) {
                size_t len = mux_rig::le32(c.in.data());
                Bytes msg(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(len));
                c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(len));
                return msg;
            }
            if (mux_rig::turn(rig_) == mux_rig::SERVED) {
                EXPECT_EQ(rig_.result, 1) << "step " << step_;
                std::string broken = tree_check::check_tree();
                EXPECT_EQ(broken, "") << "step " << step_;
            }
            uint8_t buf[65536];
            ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) c.in.insert(c.in.end(), buf, buf + n);
        }
        ADD_FAILURE() << "step " << step_ << ": no reply for client " << k;
        return {};
    }

    void expect(int k, const Bytes& want, const char* how) {
        Bytes got = reply(k);
        EXPECT_EQ(got, want) << "step " << step_ << " (" << how << ") client " << k << ": got "
                             << tt::to_hex(got) << "\n  model " << tt::to_hex(want);
    }

    void one_at_a_time(int k) {
        if (r(40) == 0) {  // a new session: this client's fids are clunked at the server
            for (const model::Fid& f : m_.fids()) {
                if (f.used && f.id / kModelFidBase == static_cast<uint32_t>(k)) m_.clunk(0, f.id);
            }
            send(k, tt::tversion(9, 8192));
            expect(k, tt::build([](p9_cursor* c) {
                       return p9_emit_rversion(c, 9, 8192, model::u8("9P2000"), 6);
                   }),
                   "Tversion");
            return;
        }
        auto [req, want] = next(k);
        send(k, req);
        expect(k, want, "alone");
    }

    // Client 0's request is taken for the server first, then client 1's
    // arrives while it is in the server's hands.
    void both_at_the_server() {
        auto [req0, want0] = next(0);
        auto [req1, want1] = next(1);
        send(0, req0);
        ASSERT_TRUE(mux_wait(rig_.mux, 1000));
        send(1, req1);
        expect(0, want0, "first of two");
        expect(1, want1, "second of two");
    }

    std::mt19937_64 rng_;
    model::Model m_;
    mux_rig::Rig rig_;
    Client c_[kClients];
    int step_ = 0;
};

TEST(ModelRelay, TwoClientsInterleavedMatchTheModel) {
    velmor_linux_reset();
    TwoClients(0x746c6e0013ull).run();
    velmor_linux_reset();
}

}  // namespace
