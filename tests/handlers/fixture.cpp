#include "fixture.h"

#include <ostream>

std::ostream& tlnclient::operator<<(std::ostream& os, const Qid& q) {
    return os << "{type " << int(q.type) << ", vers " << q.version << ", path " << q.path << "}";
}

namespace tolvane_test {

std::vector<Stat> parse_listing(const Bytes& data) {
    std::vector<Stat> out;
    uint64_t off = 0;
    while (off < data.size()) {
        Stat s;
        int64_t len = tlnclient::decode_stat(data.data(), data.size(), off, s);
        if (len <= 0) {
            ADD_FAILURE() << "no whole stat record at listing offset " << off;
            return out;
        }
        s.record_len = static_cast<size_t>(len);
        out.push_back(s);
        off += static_cast<uint64_t>(len);
    }
    return out;
}

std::vector<std::string> names_of(const std::vector<Stat>& list) {
    std::vector<std::string> names;
    for (const auto& s : list) names.push_back(s.name);
    return names;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}

void HandlerTest::SetUp() {
    reset_server();
    wire = std::make_unique<Wire>();
    attach(ROOT_FID);
}

void HandlerTest::TearDown() {
    wire.reset();
}

Bytes HandlerTest::call(const Bytes& request) {
    Bytes reply = wire->call(request);
    EXPECT_EQ(tag_of(reply), tag_of(request)) << "reply does not echo the request's tag";
    return reply;
}

static void expect_type(const Bytes& reply, uint8_t type) {
    EXPECT_EQ(type_of(reply), type) << "unexpected reply: " << rerror_text(reply);
}

Qid HandlerTest::attach(uint32_t fid, std::string_view aname) {
    Bytes r = call(tattach(tag(), fid, aname));
    expect_type(r, P9_RATTACH);
    Qid q;
    uint16_t t;
    EXPECT_GT(p9_decode_rattach(r.data(), r.size(), &t, &q.type, &q.version, &q.path), 0);
    return q;
}

std::vector<Qid> HandlerTest::walk(uint32_t fid, uint32_t newfid,
                                   const std::vector<std::string>& names) {
    Bytes r = call(twalk(tag(), fid, newfid, names));
    expect_type(r, P9_RWALK);
    uint16_t t, n = 0;
    uint8_t types[P9_MAX_WELEM];
    uint32_t vers[P9_MAX_WELEM];
    uint64_t paths[P9_MAX_WELEM];
    EXPECT_GT(p9_decode_rwalk(r.data(), r.size(), &t, &n, types, vers, paths), 0);
    std::vector<Qid> out;
    for (uint16_t i = 0; i < n && i < P9_MAX_WELEM; i++)
        out.push_back({types[i], vers[i], paths[i]});
    return out;
}

// The qid of an Ropen or Rcreate (the same layout), whose iounit must be 0.
static Qid opened_qid(const Bytes& r, uint8_t type) {
    expect_type(r, type);
    Qid q;
    uint16_t t;
    uint32_t iounit = 1;
    auto decode = type == P9_ROPEN ? p9_decode_ropen : p9_decode_rcreate;
    EXPECT_GT(decode(r.data(), r.size(), &t, &q.type, &q.version, &q.path, &iounit), 0);
    EXPECT_EQ(iounit, 0u);
    return q;
}

Qid HandlerTest::open(uint32_t fid, uint8_t mode) {
    return opened_qid(call(topen(tag(), fid, mode)), P9_ROPEN);
}

Qid HandlerTest::create(uint32_t fid, std::string_view name, uint32_t perm, uint8_t mode) {
    return opened_qid(call(tcreate(tag(), fid, name, perm, mode)), P9_RCREATE);
}

uint32_t HandlerTest::write(uint32_t fid, uint64_t offset, const Bytes& data) {
    Bytes r = call(twrite(tag(), fid, offset, data));
    expect_type(r, P9_RWRITE);
    uint16_t t;
    uint32_t count = 0xFFFFFFFF;
    EXPECT_GT(p9_decode_rwrite(r.data(), r.size(), &t, &count), 0);
    return count;
}

Bytes HandlerTest::read(uint32_t fid, uint64_t offset, uint32_t count) {
    return rread_data(call(tread(tag(), fid, offset, count)));
}

void HandlerTest::clunk(uint32_t fid) {
    Bytes r = call(tclunk(tag(), fid));
    expect_type(r, P9_RCLUNK);
    EXPECT_EQ(r.size(), 7u);
}

void HandlerTest::remove(uint32_t fid) {
    Bytes r = call(tremove(tag(), fid));
    expect_type(r, tolvane::P9_RREMOVE);
    EXPECT_EQ(r.size(), 7u);
}

Stat HandlerTest::stat(uint32_t fid) {
    Bytes r = call(tstat(tag(), fid));
    expect_type(r, P9_RSTAT);
    Stat s;
    uint16_t t;
    if (tlnclient::decode_rstat(r.data(), r.size(), t, s) < 0) {
        ADD_FAILURE() << "not a valid Rstat: " << rerror_text(r);
        return s;
    }
    s.record_len = r.size() - 9;
    return s;
}

void HandlerTest::walk_new(uint32_t newfid, const std::vector<std::string>& names) {
    EXPECT_EQ(walk(ROOT_FID, newfid, names).size(), names.size());
}

Qid HandlerTest::create_in(uint32_t fid, const std::vector<std::string>& dir, std::string_view name,
                           uint8_t mode, uint32_t perm) {
    walk_new(fid, dir);
    return create(fid, name, perm, mode);
}

Qid HandlerTest::make(const std::vector<std::string>& dir, std::string_view name, uint32_t perm) {
    constexpr uint32_t tmp = 0x7fff0001;
    Qid q = create_in(tmp, dir, name, OREAD, perm);
    clunk(tmp);
    return q;
}

std::vector<Stat> HandlerTest::list(const std::vector<std::string>& dir) {
    constexpr uint32_t tmp = 0x7fff0002;
    walk_new(tmp, dir);
    open(tmp, OREAD);
    Bytes data = read(tmp, 0, 0xFFFFFFFF);
    clunk(tmp);
    return parse_listing(data);
}

}  // namespace tolvane_test
