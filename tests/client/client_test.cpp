// tlnclient against a scripted server: negotiation, the checks on every
// reply, fid and tag use, walks in several Twalks, short reads and writes,
// directory records split across replies, and a server that hangs up, stays
// silent or answers garbage.
#include "client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "9p/9p.h"
#include "fake_server.h"
#include "host.h"

namespace client_test {
namespace {

using tlnclient::Client;
using tlnclient::ErrorKind;
using tlnclient::Options;
using tolvane_test::build;
using tolvane_test::hex;
using tolvane_test::to_hex;

std::unique_ptr<Client> connect(FakeServer& fs, Options o = {}) {
    int fd = fs.take_client_fd();
    auto r = Client::over_fds(fd, fd, o);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text);
    if (!r.ok()) return nullptr;
    return std::move(r).value();
}

// A server holding one file, answering reads and writes at most CAP bytes at
// a time, as a server with small buffers would.
struct OneFile {
    std::string data;
    uint32_t read_cap = 1000;
    uint32_t write_cap = 7000;
    Reply operator()(const Bytes& r) {
        uint16_t tag = req_tag(r);
        switch (req_type(r)) {
            case P9_TATTACH:
                return rattach(tag);
            case P9_TWALK:
                return rwalk(tag, static_cast<uint16_t>(twalk_names(r).size()), P9_QTFILE);
            case P9_TOPEN:
                return ropen(tag);
            case P9_TREAD: {
                uint64_t off = u64_at(r, 11);
                uint32_t count = std::min(u32_at(r, 19), read_cap);
                if (off >= data.size()) return rread(tag, {});
                size_t n = std::min<size_t>(count, data.size() - off);
                return rread(tag, Bytes(data.begin() + static_cast<std::ptrdiff_t>(off),
                                        data.begin() + static_cast<std::ptrdiff_t>(off + n)));
            }
            case P9_TWRITE: {
                uint64_t off = u64_at(r, 11);
                uint32_t count = std::min(u32_at(r, 19), write_cap);
                if (data.size() < off + count) data.resize(off + count);
                for (uint32_t i = 0; i < count; i++) data[off + i] = static_cast<char>(r[23 + i]);
                return rwrite(tag, count);
            }
            case P9_TCLUNK:
                return rclunk(tag);
        }
        return rerror(tag, "fake: unexpected request");
    }
};

// ---- Paths and the registry ----

TEST(ClientPaths, SplitPath) {
    struct Case {
        const char* path;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"", {}},
        {"/", {}},
        {"///", {}},
        {"a", {"a"}},
        {"/a/b", {"a", "b"}},
        {"a//b/", {"a", "b"}},
        {"/./../x", {".", "..", "x"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tlnclient::split_path(c.path), c.names) << "path '" << c.path << "'";
    }
}

// Sets (or, for nullopt, unsets) environment variables for one scope.
class EnvScope {
public:
    explicit EnvScope(const std::map<std::string, std::optional<std::string>>& vars) {
        for (const auto& [k, v] : vars) {
            const char* old = std::getenv(k.c_str());
            saved_[k] = old ? std::optional<std::string>(old) : std::nullopt;
            if (v) {
                ::setenv(k.c_str(), v->c_str(), 1);
            } else {
                ::unsetenv(k.c_str());
            }
        }
    }
    ~EnvScope() {
        for (const auto& [k, v] : saved_) {
            if (v) {
                ::setenv(k.c_str(), v->c_str(), 1);
            } else {
                ::unsetenv(k.c_str());
            }
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(ClientPaths, RegistryDirFollowsTheServersRule) {
    tolvane_test::TempDir tmp;
    std::string nodir = tmp.path() + "/missing";
    std::string fallback = "/tmp/velmor-srv-" + std::to_string(::geteuid());
    struct Case {
        std::optional<std::string> srv, xdg;
        std::string want;
    };
    const Case cases[] = {
        {"/some/where", tmp.path(), "/some/where"},
        {"", tmp.path(), tmp.path() + "/velmor-srv"},
        {std::nullopt, tmp.path(), tmp.path() + "/velmor-srv"},
        {std::nullopt, nodir, fallback},           // not a directory
        {std::nullopt, "relative/dir", fallback},  // not absolute
        {std::nullopt, "", fallback},
        {std::nullopt, std::nullopt, fallback},
    };
    for (const Case& c : cases) {
        EnvScope env({{"VELMOR_SRV", c.srv}, {"XDG_RUNTIME_DIR", c.xdg}});
        EXPECT_EQ(tlnclient::registry_dir(), c.want);
        EXPECT_EQ(tlnclient::posted_path("tolvane"), c.want + "/tolvane");
    }
}

// ---- Version negotiation and reply checks ----

TEST(ClientVersion, OffersMsize131072AndUsesTheAnswer) {
    FakeServer fs([](const Bytes& r) { return rerror(req_tag(r), "x"); }, 8192);
    auto c = connect(fs);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->msize(), 8192u);
    EXPECT_EQ(c->iounit(), 8192u - 24);
    ASSERT_EQ(fs.requests().size(), 1u);
    EXPECT_EQ(to_hex(fs.requests()[0]), to_hex(hex("13 00 00 00 64 FF FF 00 00 02 00 06 00 39 50 "
                                                   "32 30 30 30")));
}

TEST(ClientVersion, BadAnswersFailTheConnection) {
    auto rver = [](uint16_t tag, uint32_t msize, std::string_view v) {
        return build([&](p9_cursor* c) {
            return p9_emit_rversion(c, tag, msize, reinterpret_cast<const uint8_t*>(v.data()),
                                    v.size());
        });
    };
    struct Case {
        const char* what;
        Reply reply;
        ErrorKind kind;
        const char* text;  // a part of the error text
    };
    const Case cases[] = {
        {"msize above the offer", {rver(0xFFFF, 200000, "9P2000")}, ErrorKind::protocol, "msize"},
        {"msize below 256", {rver(0xFFFF, 100, "9P2000")}, ErrorKind::protocol, "msize"},
        {"other version", {rver(0xFFFF, 8192, "9P2000.L")}, ErrorKind::protocol, "9P2000.L"},
        {"unknown version", {rver(0xFFFF, 8192, "unknown")}, ErrorKind::protocol, "unknown"},
        {"wrong tag", {rver(1, 8192, "9P2000")}, ErrorKind::protocol, "tag"},
        {"Rerror", rerror(0xFFFF, "go away"), ErrorKind::protocol, "go away"},
        {"wrong type", rattach(0xFFFF), ErrorKind::protocol, "expected Rversion"},
        {"size below 7", {hex("03 00 00 00 65 FF FF")}, ErrorKind::protocol, "reply size 3"},
        {"size above msize", {hex("00 00 10 00 65 FF FF")}, ErrorKind::protocol, "reply size"},
        {"trailing byte",
         {[&] {
             Bytes b = rver(0xFFFF, 8192, "9P2000");
             b.push_back(0);
             b[0]++;
             return b;
         }()},
         ErrorKind::protocol,
         "malformed Rversion"},
        {"hang-up", {{}, true}, ErrorKind::connection, "hung up"},
        {"hang-up inside the reply",
         {hex("13 00 00 00 65 FF"), true},
         ErrorKind::connection,
         "middle of a reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reply reply = c.reply;
        FakeServer fs([reply](const Bytes&) { return reply; }, 131072, true);
        int fd = fs.take_client_fd();
        auto r = Client::over_fds(fd, fd);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, c.kind);
        EXPECT_NE(r.error().text.find(c.text), std::string::npos) << r.error().text;
    }
}

TEST(ClientVersion, SilentServerTimesOut) {
    FakeServer fs([](const Bytes&) { return Reply{}; }, 131072, true);
    int fd = fs.take_client_fd();
    Options o;
    o.timeout_ms = 100;
    auto r = Client::over_fds(fd, fd, o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::connection);
    EXPECT_NE(r.error().text.find("timed out"), std::string::npos) << r.error().text;
}

TEST(ClientReplies, ABrokenReplyPoisonsTheConnection) {
    struct Case {
        const char* what;
        std::function<Reply(const Bytes&)> answer;  // to the Tattach
        const char* text;
    };
    const Case cases[] = {
        {"wrong tag", [](const Bytes& r) { return rattach(req_tag(r) + 1); }, "tag"},
        {"wrong type", [](const Bytes& r) { return rclunk(req_tag(r)); }, "expected Rattach"},
        {"short body",
         [](const Bytes& r) {
             Reply x = rattach(req_tag(r));
             x.bytes.pop_back();
             x.bytes[0]--;
             return x;
         },
         "malformed Rattach"},
        {"malformed Rerror",
         [](const Bytes& r) {
             Reply x = rerror(req_tag(r), "abc");
             x.bytes[7] = 9;
             return x;
         },
         "malformed Rerror"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeServer fs(c.answer);
        auto cl = connect(fs);
        ASSERT_TRUE(cl);
        auto a = cl->attach("");
        ASSERT_FALSE(a.ok());
        EXPECT_EQ(a.error().kind, ErrorKind::protocol);
        EXPECT_NE(a.error().text.find(c.text), std::string::npos) << a.error().text;
        EXPECT_FALSE(cl->usable());
        // Nothing more is sent on a stream whose framing is lost.
        size_t sent = fs.requests().size();
        auto again = cl->attach("");
        ASSERT_FALSE(again.ok());
        EXPECT_EQ(again.error().text, a.error().text);
        EXPECT_EQ(fs.requests().size(), sent);
    }
}

TEST(ClientReplies, RerrorIsARefusalAndTheFidIsReused) {
    int n = 0;
    FakeServer fs([&n](const Bytes& r) {
        return n++ == 0 ? rerror(req_tag(r), "tolvane: unknown attach tree") : rattach(req_tag(r));
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    auto a = c->attach("nosuch");
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error().kind, ErrorKind::refused);
    EXPECT_EQ(a.error().text, "tolvane: unknown attach tree");
    EXPECT_TRUE(c->usable());
    auto b = c->attach("");
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b.value(), 0u);
    auto reqs = fs.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(u32_at(reqs[1], 7), 0u);
    EXPECT_EQ(u32_at(reqs[2], 7), 0u);
    EXPECT_NE(req_tag(reqs[1]), req_tag(reqs[2]));
}

TEST(ClientReplies, CountsLargerThanAskedAreProtocolErrors) {
    {
        FakeServer fs([](const Bytes& r) {
            if (req_type(r) == P9_TREAD) return rread(req_tag(r), Bytes(u32_at(r, 19) + 1, 'x'));
            return OneFile{}(r);
        });
        auto c = connect(fs);
        ASSERT_TRUE(c);
        uint8_t buf[200];
        auto r = c->read(0, 0, buf, 100);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::protocol);
        EXPECT_NE(r.error().text.find("Rread of 101 bytes"), std::string::npos) << r.error().text;
    }
    {
        FakeServer fs([](const Bytes& r) { return rwrite(req_tag(r), u32_at(r, 19) + 1); });
        auto c = connect(fs);
        ASSERT_TRUE(c);
        uint8_t buf[10] = {};
        auto w = c->write(0, 0, buf, 10);
        ASSERT_FALSE(w.ok());
        EXPECT_EQ(w.error().kind, ErrorKind::protocol);
    }
    {
        FakeServer fs([](const Bytes& r) { return rwalk(req_tag(r), 3); });
        auto c = connect(fs);
        ASSERT_TRUE(c);
        auto w = c->walk(0, "a/b");
        ASSERT_FALSE(w.ok());
        EXPECT_EQ(w.error().kind, ErrorKind::protocol);
        EXPECT_NE(w.error().text.find("3 qids for 2 names"), std::string::npos);
    }
}

TEST(ClientReplies, ServerHangsUpMidSession) {
    FakeServer fs([](const Bytes& r) {
        if (req_type(r) == P9_TATTACH) return rattach(req_tag(r));
        return Reply{{}, true};
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->attach("").ok());
    auto s = c->stat(0);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, ErrorKind::connection);
    EXPECT_EQ(s.error().text, "the server hung up");
    EXPECT_FALSE(c->usable());
}

// Between requests a server that hung up is found out without sending
// anything, and the connection is then as dead as after a failed request.
TEST(ClientReplies, CheckIdleFindsAServerThatHungUpBetweenRequests) {
    FakeServer fs([](const Bytes& r) {
        Reply attached = rattach(req_tag(r));
        attached.hang_up = true;
        return attached;
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->check_idle().ok());
    ASSERT_TRUE(c->attach("").ok());
    // The server closes its end right after the Rattach.
    tlnclient::Status idle = c->check_idle();
    for (int i = 0; i < 2500 && idle.ok(); i++) {
        tolvane_test::pause_ms(2);
        idle = c->check_idle();
    }
    ASSERT_FALSE(idle.ok());
    EXPECT_EQ(idle.error().kind, ErrorKind::connection);
    EXPECT_EQ(idle.error().text, "the server hung up");
    EXPECT_FALSE(c->usable());
    EXPECT_FALSE(c->stat(0).ok());
    EXPECT_EQ(fs.requests().size(), 2u);  // Tversion, Tattach: the Tstat was never sent
}

// ---- Walks ----

TEST(ClientWalk, LongPathsTakeSeveralTwalks) {
    FakeServer fs([](const Bytes& r) {
        if (req_type(r) == P9_TWALK) {
            return rwalk(req_tag(r), static_cast<uint16_t>(twalk_names(r).size()));
        }
        return rclunk(req_tag(r));
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    std::string path;
    std::vector<std::string> names;
    for (int i = 0; i < 35; i++) {
        names.push_back("d" + std::to_string(i));
        path += "/" + names.back();
    }
    tlnclient::Qid last;
    auto w = c->walk(7, path, &last);
    ASSERT_TRUE(w.ok()) << w.error().text;
    EXPECT_EQ(w.value(), 0u);
    EXPECT_EQ(last.path, 102u);  // the third of the last Twalk's qids
    EXPECT_TRUE(last.is_dir());
    auto reqs = fs.requests();
    ASSERT_EQ(reqs.size(), 4u);
    struct Want {
        uint32_t fid, newfid;
        size_t from, count;
    };
    const Want want[] = {{7, 0, 0, 16}, {0, 0, 16, 16}, {0, 0, 32, 3}};
    for (size_t i = 0; i < 3; i++) {
        const Bytes& r = reqs[i + 1];
        EXPECT_EQ(req_type(r), P9_TWALK);
        EXPECT_EQ(u32_at(r, 7), want[i].fid);
        EXPECT_EQ(u32_at(r, 11), want[i].newfid);
        EXPECT_EQ(twalk_names(r),
                  std::vector<std::string>(names.begin() + want[i].from,
                                           names.begin() + want[i].from + want[i].count));
    }
    // An empty path clones.
    auto clone = c->walk(7, "/");
    ASSERT_TRUE(clone.ok());
    EXPECT_EQ(clone.value(), 1u);
    EXPECT_EQ(twalk_names(fs.requests().back()).size(), 0u);
}

TEST(ClientWalk, AWalkThatStopsReportsTheServersRefusal) {
    // a/b/c: the server walks "a" only. The client walks a spare fid to "a" and
    // asks for "b" alone to learn the server's words for it.
    FakeServer fs([](const Bytes& r) {
        uint16_t tag = req_tag(r);
        if (req_type(r) == P9_TCLUNK) return rclunk(tag);
        auto names = twalk_names(r);
        if (names.size() == 3) return rwalk(tag, 1);
        if (names == std::vector<std::string>{"a"}) return rwalk(tag, 1);
        if (names == std::vector<std::string>{"b"}) {
            return rerror(tag, "tolvane: no such file or directory");
        }
        return rerror(tag, "fake: unexpected walk");
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    auto w = c->walk(5, "a/b/c");
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().kind, ErrorKind::refused);
    EXPECT_EQ(w.error().text, "tolvane: no such file or directory");
    EXPECT_TRUE(c->usable());
    auto reqs = fs.requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(u32_at(reqs[1], 7), 5u);  // fid 5 to new fid 0, three names
    EXPECT_EQ(u32_at(reqs[1], 11), 0u);
    EXPECT_EQ(u32_at(reqs[2], 7), 5u);  // probe: fid 5 to new fid 1, "a"
    EXPECT_EQ(u32_at(reqs[2], 11), 1u);
    EXPECT_EQ(u32_at(reqs[3], 7), 1u);  // probe 1 to itself, "b"
    EXPECT_EQ(u32_at(reqs[3], 11), 1u);
    EXPECT_EQ(req_type(reqs[4]), P9_TCLUNK);
    EXPECT_EQ(u32_at(reqs[4], 7), 1u);
    // Both fids are free again.
    auto again = c->walk(5, "a");
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), 0u);
}

TEST(ClientWalk, ARefusalAfterTheFirstTwalkClunksTheNewFid) {
    FakeServer fs([](const Bytes& r) {
        uint16_t tag = req_tag(r);
        if (req_type(r) == P9_TCLUNK) return rclunk(tag);
        if (u32_at(r, 7) == u32_at(r, 11)) return rerror(tag, "fake: refused");
        return rwalk(tag, static_cast<uint16_t>(twalk_names(r).size()));
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    std::string path;
    for (int i = 0; i < 20; i++) path += "/x";
    auto w = c->walk(9, path);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().text, "fake: refused");
    auto reqs = fs.requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(req_type(reqs[3]), P9_TCLUNK);
    EXPECT_EQ(u32_at(reqs[3], 7), 0u);
}

// ---- Reads and writes ----

TEST(ClientIO, ReadFullAndWriteFullContinueAfterShortCounts) {
    OneFile file;
    FakeServer fs([&file](const Bytes& r) { return file(r); });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    Bytes data(300000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    auto w = c->write_full(0, 0, data.data(), data.size());
    ASSERT_TRUE(w.ok()) << w.error().text;

    size_t writes = 0;
    for (const Bytes& r : fs.requests()) {
        if (req_type(r) != P9_TWRITE) continue;
        // Each request offers everything still to go, up to what the msize allows.
        uint32_t count = u32_at(r, 19);
        uint64_t off = u64_at(r, 11);
        EXPECT_EQ(count, std::min<uint64_t>(c->iounit(), data.size() - off));
        EXPECT_EQ(r.size(), 23u + count);
        writes++;
    }
    EXPECT_EQ(writes, (data.size() + 6999) / 7000);
    ASSERT_EQ(file.data.size(), data.size());
    EXPECT_TRUE(Bytes(file.data.begin(), file.data.end()) == data);

    Bytes back(data.size() + 10);
    auto r = c->read_full(0, 0, back.data(), back.size());
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(r.value(), data.size());
    back.resize(data.size());
    EXPECT_EQ(back, data);
}

TEST(ClientIO, AWriteTakingNothingIsARefusal) {
    OneFile file;
    FakeServer fs([&file](const Bytes& r) {
        // Nothing at or past 5000 bytes: the way a full file answers.
        if (req_type(r) == P9_TWRITE) {
            uint64_t off = u64_at(r, 11);
            uint32_t room = off >= 5000 ? 0 : static_cast<uint32_t>(5000 - off);
            return rwrite(req_tag(r), std::min(u32_at(r, 19), room));
        }
        return file(r);
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    Bytes data(6000, 'z');
    auto w = c->write_full(0, 0, data.data(), data.size());
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().kind, ErrorKind::refused);
    EXPECT_EQ(w.error().text,
              "the server took no more bytes at offset 5000 (5000 of 6000 written)");
    EXPECT_TRUE(c->usable());
}

TEST(ClientIO, ReadAndWriteAreBoundedByTheMsize) {
    OneFile file;
    file.data = std::string(20000, 'q');
    file.read_cap = 1u << 30;
    FakeServer fs([&file](const Bytes& r) { return file(r); }, 4096);
    auto c = connect(fs);
    ASSERT_TRUE(c);
    Bytes buf(20000);
    auto r = c->read(0, 0, buf.data(), 20000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 4096u - 24);
    EXPECT_EQ(u32_at(fs.requests().back(), 19), 4096u - 24);
}

// ---- Directories, stat, remove ----

TEST(ClientDir, RecordsSplitAcrossRepliesAreJoined) {
    Bytes listing;
    const char* names[] = {
        "alpha", "b", "a-much-longer-name-of-sixty-four-bytes-xxxxxxxxxxxxxxxxxxxxxxxx", "dir", ""};
    for (int i = 0; i < 5; i++) {
        Bytes rec = stat_record(names[i], static_cast<uint64_t>(i) * 1000, i == 3, 10 + i);
        listing.insert(listing.end(), rec.begin(), rec.end());
    }
    FakeServer fs([&listing](const Bytes& r) {
        // Seven bytes a reply, so nearly every record is split.
        uint64_t off = u64_at(r, 11);
        size_t n = off >= listing.size() ? 0 : std::min<size_t>(7, listing.size() - off);
        return rread(req_tag(r), Bytes(listing.begin() + static_cast<std::ptrdiff_t>(off),
                                       listing.begin() + static_cast<std::ptrdiff_t>(off + n)));
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    auto d = c->readdir(0);
    ASSERT_TRUE(d.ok()) << d.error().text;
    ASSERT_EQ(d.value().size(), 5u);
    for (int i = 0; i < 5; i++) {
        const auto& st = d.value()[i];
        EXPECT_EQ(st.name, names[i]);
        EXPECT_EQ(st.length, static_cast<uint64_t>(i) * 1000);
        EXPECT_EQ(st.is_dir(), i == 3);
        EXPECT_EQ(st.qid.is_dir(), i == 3);
        EXPECT_EQ(st.qid.path, 10u + i);
        EXPECT_EQ(st.qid.version, 3u);
        EXPECT_EQ(st.uid, "velmor");
        EXPECT_EQ(st.gid, "velmor");
        EXPECT_EQ(st.muid, "velmor");
    }
}

TEST(ClientDir, BrokenListingsAreProtocolErrors) {
    Bytes rec = stat_record("abc", 1, false, 2);
    struct Case {
        const char* what;
        Bytes listing;
        const char* text;
    };
    Bytes cut(rec.begin(), rec.end() - 1);
    Bytes bad_size = rec;
    bad_size[0] = static_cast<uint8_t>(bad_size[0] + 1);  // one byte past the strings
    bad_size.push_back(0);
    const Case cases[] = {
        {"ends inside a record", cut, "ends inside a stat record"},
        {"size disagrees with the strings", bad_size, "malformed stat record"},
        {"a lone byte", Bytes{5}, "ends inside a stat record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes listing = c.listing;
        FakeServer fs([listing](const Bytes& r) {
            uint64_t off = u64_at(r, 11);
            return rread(req_tag(r), off == 0 ? listing : Bytes{});
        });
        auto cl = connect(fs);
        ASSERT_TRUE(cl);
        auto d = cl->readdir(0);
        ASSERT_FALSE(d.ok());
        EXPECT_EQ(d.error().kind, ErrorKind::protocol);
        EXPECT_NE(d.error().text.find(c.text), std::string::npos) << d.error().text;
    }
}

TEST(ClientStat, DecodesEveryField) {
    FakeServer fs([](const Bytes& r) {
        return Reply{build([&](p9_cursor* c) {
            auto s = [](const char* t) { return reinterpret_cast<const uint8_t*>(t); };
            return p9_emit_rstat(c, req_tag(r), 3, 4, P9_QTFILE, 5, 6, 0x1A4, 7, 8, 9, s("nm"), 2,
                                 s("u"), 1, s("gg"), 2, s("mmm"), 3);
        })};
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    auto s = c->stat(4);
    ASSERT_TRUE(s.ok());
    const auto& st = s.value();
    EXPECT_EQ(st.type, 3);
    EXPECT_EQ(st.dev, 4u);
    EXPECT_EQ(st.qid.type, P9_QTFILE);
    EXPECT_EQ(st.qid.version, 5u);
    EXPECT_EQ(st.qid.path, 6u);
    EXPECT_EQ(st.mode, 0x1A4u);
    EXPECT_EQ(st.atime, 7u);
    EXPECT_EQ(st.mtime, 8u);
    EXPECT_EQ(st.length, 9u);
    EXPECT_EQ(st.name, "nm");
    EXPECT_EQ(st.uid, "u");
    EXPECT_EQ(st.gid, "gg");
    EXPECT_EQ(st.muid, "mmm");
    EXPECT_EQ(u32_at(fs.requests().back(), 7), 4u);
}

TEST(ClientRemove, SendsTremoveAndChecksRremove) {
    int n = 0;
    FakeServer fs([&n](const Bytes& r) {
        Reply x = rremove(req_tag(r));
        if (n++ == 1) {  // the second answer carries a spare byte
            x.bytes.push_back(0);
            x.bytes[0] = 8;
        }
        return x;
    });
    auto c = connect(fs);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->remove(0x01020304).ok());
    Bytes sent = fs.requests().back();
    // Tag 0: the first tag after the Tversion's NOTAG.
    EXPECT_EQ(to_hex(sent), "0B 00 00 00 7A 00 00 04 03 02 01");
    auto bad = c->remove(1);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::protocol);
}

// ---- Spawned servers ----

TEST(ClientSpawn, ACommandThatExitsIsReportedWithItsStatus) {
    Options o;
    o.timeout_ms = 5000;
    auto r = Client::spawn("exit 3", o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::connection);
    EXPECT_NE(r.error().text.find("hung up"), std::string::npos) << r.error().text;
    EXPECT_NE(r.error().text.find("exited with status 3"), std::string::npos) << r.error().text;
}

TEST(ClientSpawn, ACommandThatEchoesIsNotA9PServer) {
    // cat sends our Tversion straight back: a T-message where Rversion belongs.
    Options o;
    o.timeout_ms = 5000;
    auto r = Client::spawn("cat", o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::protocol);
    EXPECT_EQ(r.error().text, "expected Rversion, got Tversion");
}

TEST(ClientSpawn, ACommandThatIgnoresHangUpIsStopped) {
    // Answers Tversion with a canned Rversion, then ignores end of stream.
    Bytes rv = build([](p9_cursor* c) {
        return p9_emit_rversion(c, P9_NOTAG, 8192, reinterpret_cast<const uint8_t*>("9P2000"), 6);
    });
    std::string printf_arg;
    for (uint8_t b : rv) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\%03o", b);
        printf_arg += esc;
    }
    Options o;
    o.timeout_ms = 300;
    auto r = Client::spawn("printf '" + printf_arg + "'; trap '' TERM; exec sleep 30", o);
    ASSERT_TRUE(r.ok()) << r.error().text;
    auto c = std::move(r).value();
    EXPECT_EQ(c->msize(), 8192u);
    auto down = c->close();
    ASSERT_FALSE(down.ok());
    EXPECT_NE(down.error().text.find("killed"), std::string::npos) << down.error().text;
}

}  // namespace
}  // namespace client_test
