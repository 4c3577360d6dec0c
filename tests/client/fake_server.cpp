#include "fake_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include "9p/9p.h"
#include "host.h"

namespace client_test {

using tolvane_test::build;
using tolvane_test::read_fully;

namespace {

const uint8_t* u8(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

}  // namespace

FakeServer::FakeServer(Handler handler, uint32_t msize, bool raw_version)
    : handler_(std::move(handler)), msize_(msize), raw_version_(raw_version) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
        client_fd_ = sv[0];
        server_fd_ = sv[1];
        thread_ = std::thread([this] { loop(); });
    }
}

FakeServer::~FakeServer() {
    if (client_fd_ >= 0) ::close(client_fd_);
    if (server_fd_ >= 0) ::shutdown(server_fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (server_fd_ >= 0) ::close(server_fd_);
}

int FakeServer::take_client_fd() {
    int fd = client_fd_;
    client_fd_ = -1;
    return fd;
}

std::vector<Bytes> FakeServer::requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

void FakeServer::loop() {
    for (;;) {
        Bytes req(4);
        if (!read_fully(server_fd_, req.data(), 4)) return;
        uint32_t size = u32_at(req, 0);
        if (size < 7 || size > (1u << 24)) return;
        req.resize(size);
        if (!read_fully(server_fd_, req.data() + 4, size - 4)) return;
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(req);
        }
        Reply r;
        if (req_type(req) == P9_TVERSION && !raw_version_) {
            uint32_t asked = u32_at(req, 7);
            r.bytes = build([&](p9_cursor* c) {
                return p9_emit_rversion(c, req_tag(req), asked < msize_ ? asked : msize_,
                                        u8("9P2000"), 6);
            });
        } else {
            r = handler_(req);
        }
        // A client that went away sees that in its own test.
        (void)tolvane_test::write_fully(server_fd_, r.bytes.data(), r.bytes.size());
        if (r.hang_up) {
            ::shutdown(server_fd_, SHUT_RDWR);
            return;
        }
    }
}

Reply rerror(uint16_t tag, std::string_view text) {
    return {build([&](p9_cursor* c) { return p9_emit_rerror(c, tag, u8(text), text.size()); })};
}

Reply rwalk(uint16_t tag, uint16_t nwqid, uint8_t qtype) {
    uint8_t types[P9_MAX_WELEM];
    uint32_t vers[P9_MAX_WELEM] = {};
    uint64_t paths[P9_MAX_WELEM];
    for (uint16_t i = 0; i < P9_MAX_WELEM; i++) {
        types[i] = qtype;
        paths[i] = 100 + i;
    }
    return {build([&](p9_cursor* c) { return p9_emit_rwalk(c, tag, nwqid, types, vers, paths); })};
}

Reply ropen(uint16_t tag, uint8_t qtype) {
    return {build([&](p9_cursor* c) { return p9_emit_ropen(c, tag, qtype, 0, 7, 0); })};
}

Reply rread(uint16_t tag, const Bytes& data) {
    return {build([&](p9_cursor* c) {
        return p9_emit_rread(c, tag, data.data(), static_cast<uint32_t>(data.size()));
    })};
}

Reply rwrite(uint16_t tag, uint32_t count) {
    return {build([&](p9_cursor* c) { return p9_emit_rwrite(c, tag, count); })};
}

Reply rclunk(uint16_t tag) {
    return {build([&](p9_cursor* c) { return p9_emit_rclunk(c, tag); })};
}

Reply rremove(uint16_t tag) {
    return {Bytes{7, 0, 0, 0, 123, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8)}};
}

Reply rattach(uint16_t tag) {
    return {build([&](p9_cursor* c) { return p9_emit_rattach(c, tag, P9_QTDIR, 0, 1); })};
}

uint8_t req_type(const Bytes& r) {
    return r.size() > 4 ? r[4] : 0;
}

uint16_t req_tag(const Bytes& r) {
    return r.size() > 6 ? static_cast<uint16_t>(r[5] | r[6] << 8) : 0;
}

uint32_t u32_at(const Bytes& r, size_t off) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && off + i < r.size(); i++)
        v |= static_cast<uint32_t>(r[off + i]) << (8 * i);
    return v;
}

uint64_t u64_at(const Bytes& r, size_t off) {
    return u32_at(r, off) | static_cast<uint64_t>(u32_at(r, off + 4)) << 32;
}

std::vector<std::string> twalk_names(const Bytes& r) {
    std::vector<std::string> names;
    if (r.size() < 17) return names;
    uint16_t n = static_cast<uint16_t>(r[15] | r[16] << 8);
    size_t off = 17;
    for (uint16_t i = 0; i < n && off + 2 <= r.size(); i++) {
        size_t len = r[off] | r[off + 1] << 8;
        off += 2;
        if (off + len > r.size()) break;
        names.emplace_back(r.begin() + static_cast<std::ptrdiff_t>(off),
                           r.begin() + static_cast<std::ptrdiff_t>(off + len));
        off += len;
    }
    return names;
}

Bytes stat_record(std::string_view name, uint64_t length, bool dir, uint64_t qpath) {
    Bytes b(1024);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    int32_t n = p9_emit_stat(&c, 0, 0, dir ? P9_QTDIR : P9_QTFILE, 3, qpath,
                             dir ? 0x800001FF : 0x1FF, 0, 0, length, u8(name), name.size(),
                             u8("velmor"), 6, u8("velmor"), 6, u8("velmor"), 6);
    b.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return b;
}

}  // namespace client_test
