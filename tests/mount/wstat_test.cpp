// Client::wstat, the client library's Twstat added for the mount: the bytes
// it sends, the replies it takes, and the real server's answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "9p/9p.h"
#include "client.h"
#include "support.h"

namespace {

using tlnclient::Client;
using tlnclient::ErrorKind;
using tlnclient::Stat;
using tolvane_test::build;

const std::string VERSION = "9P2000";

// A connected client whose peer (this test) has already queued the Rversion
// and REPLY, so the client's first request after Tversion is answered
// without a thread.
struct Scripted {
    int peer = -1;
    std::unique_ptr<Client> client;

    explicit Scripted(const std::vector<uint8_t>& reply) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            ADD_FAILURE() << "socketpair";
            return;
        }
        peer = sv[1];
        send_all(build([](p9_cursor* c) {
            return p9_emit_rversion(c, P9_NOTAG, 8192,
                                    reinterpret_cast<const uint8_t*>(VERSION.data()),
                                    VERSION.size());
        }));
        send_all(reply);
        auto r = Client::over_fds(sv[0], sv[0]);
        if (!r) {
            ADD_FAILURE() << r.error().text;
            return;
        }
        client = std::move(r).value();
    }
    ~Scripted() {
        client.reset();
        if (peer >= 0) ::close(peer);
    }
    void send_all(const std::vector<uint8_t>& b) {
        ASSERT_FALSE(b.empty());
        ASSERT_EQ(::write(peer, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // The next whole message the client sent.
    std::vector<uint8_t> next_request() {
        uint8_t size[4];
        if (::read(peer, size, 4) != 4) return {};
        uint32_t n = size[0] | size[1] << 8 | size[2] << 16 | static_cast<uint32_t>(size[3]) << 24;
        std::vector<uint8_t> m(n);
        std::copy(size, size + 4, m.begin());
        size_t got = 4;
        while (got < n) {
            ssize_t k = ::read(peer, m.data() + got, n - got);
            if (k <= 0) return {};
            got += static_cast<size_t>(k);
        }
        return m;
    }
};

TEST(ClientWstat, SendsEveryFieldAndTakesRwstat) {
    Scripted s(build([](p9_cursor* c) { return p9_emit_rwstat(c, 0); }));
    ASSERT_TRUE(s.client);
    Stat st = tlnclient::unchanged_stat();
    st.name = "renamed";
    st.mtime = 1234567;
    tlnclient::Status r = s.client->wstat(7, st);
    ASSERT_TRUE(r) << r.error().text;
    EXPECT_TRUE(s.client->usable());

    ASSERT_FALSE(s.next_request().empty());  // Tversion
    std::vector<uint8_t> m = s.next_request();
    uint16_t tag, type;
    uint32_t fid, dev, qvers, mode, atime, mtime;
    uint8_t qtype;
    uint64_t qpath, length, name_len, uid_len, gid_len, muid_len;
    const uint8_t *name, *uid, *gid, *muid;
    ASSERT_EQ(p9_decode_twstat(m.data(), m.size(), &tag, &fid, &type, &dev, &qtype, &qvers, &qpath,
                               &mode, &atime, &mtime, &length, &name, &name_len, &uid, &uid_len,
                               &gid, &gid_len, &muid, &muid_len),
              static_cast<int64_t>(m.size()));
    EXPECT_EQ(tag, 0);
    EXPECT_EQ(fid, 7u);
    EXPECT_EQ(type, P9_WSTAT_TYPE_UNCHANGED);
    EXPECT_EQ(dev, P9_WSTAT_DEV_UNCHANGED);
    EXPECT_EQ(qtype, P9_WSTAT_QIDTYPE_UNCHANGED);
    EXPECT_EQ(qvers, P9_WSTAT_QIDVERS_UNCHANGED);
    EXPECT_EQ(qpath, P9_WSTAT_QIDPATH_UNCHANGED);
    EXPECT_EQ(mode, P9_WSTAT_MODE_UNCHANGED);
    EXPECT_EQ(atime, P9_WSTAT_TIME_UNCHANGED);
    EXPECT_EQ(mtime, 1234567u);
    EXPECT_EQ(length, P9_WSTAT_LENGTH_UNCHANGED);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), name_len), "renamed");
    EXPECT_EQ(uid_len + gid_len + muid_len, 0u);
}

TEST(ClientWstat, RerrorIsARefusalAndTheConnectionStays) {
    const std::string text = "tolvane: Twstat not supported";
    Scripted s(build([&](p9_cursor* c) {
        return p9_emit_rerror(c, 0, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }));
    ASSERT_TRUE(s.client);
    tlnclient::Status r = s.client->wstat(1, tlnclient::unchanged_stat());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::refused);
    EXPECT_EQ(r.error().text, text);
    EXPECT_TRUE(s.client->usable());
}

TEST(ClientWstat, AWrongReplyTypeBreaksTheConnection) {
    Scripted s(build([](p9_cursor* c) { return p9_emit_rclunk(c, 0); }));
    ASSERT_TRUE(s.client);
    tlnclient::Status r = s.client->wstat(1, tlnclient::unchanged_stat());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::protocol);
    EXPECT_FALSE(s.client->usable());
}

TEST(ClientWstat, TheServerRefusesAndChangesNothing) {
    auto c =
        Client::spawn("VELMOR_STORE= exec '" + tolvane_test::server_binary() + "' 2>/dev/null");
    ASSERT_TRUE(c) << c.error().text;
    Client& client = *c.value();
    auto root = client.attach("");
    ASSERT_TRUE(root) << root.error().text;
    auto etc = client.walk(root.value(), "etc");
    ASSERT_TRUE(etc) << etc.error().text;
    Stat st = tlnclient::unchanged_stat();
    st.name = "renamed";
    tlnclient::Status r = client.wstat(etc.value(), st);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::refused);
    EXPECT_EQ(r.error().text, "tolvane: Twstat not supported");
    auto after = client.stat(etc.value());
    ASSERT_TRUE(after) << after.error().text;
    EXPECT_EQ(after.value().name, "etc");
    EXPECT_TRUE(client.clunk(etc.value()));
    tlnclient::Status down = client.close();
    EXPECT_TRUE(down) << down.error().text;
}

}  // namespace
