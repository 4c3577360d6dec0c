// The 9P2000 operations of a Client: version, attach, walk, open, create,
// read, write, stat, directory reads, remove and clunk, each one request and
// one checked reply.
#include "client.h"

#include <algorithm>
#include <cstring>

#include "9p/9p.h"

namespace tlnclient {

namespace {

// A directory listing larger than this is taken for a server that never ends
// its reads.
constexpr uint64_t READDIR_LIMIT = 64ull << 20;

constexpr uint32_t MSIZE_CEILING = 16u << 20;

const uint8_t* bytes_of(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string string_of(const uint8_t* p, uint64_t n) {
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

// Runs DECODE, a codec decoder of a stat record or of a message holding one,
// on LEAD (its arguments before the record's fields), filling ST.
template <typename Decode, typename... Lead>
int64_t decode_into(Decode decode, Stat& st, Lead... lead) {
    const uint8_t *name, *uid, *gid, *muid;
    uint64_t name_len, uid_len, gid_len, muid_len;
    int64_t r = decode(lead..., &st.type, &st.dev, &st.qid.type, &st.qid.version, &st.qid.path,
                       &st.mode, &st.atime, &st.mtime, &st.length, &name, &name_len, &uid, &uid_len,
                       &gid, &gid_len, &muid, &muid_len);
    if (r < 0) return r;
    st.name = string_of(name, name_len);
    st.uid = string_of(uid, uid_len);
    st.gid = string_of(gid, gid_len);
    st.muid = string_of(muid, muid_len);
    return r;
}

}  // namespace

int64_t decode_stat(const uint8_t* buf, uint64_t bound, uint64_t offset, Stat& st) {
    return decode_into(p9_decode_stat, st, buf, bound, offset);
}

int64_t decode_rstat(const uint8_t* buf, uint64_t len, uint16_t& tag, Stat& st) {
    return decode_into(p9_decode_rstat, st, buf, len, &tag);
}

uint16_t Client::next_tag() {
    uint16_t t = tag_;
    tag_ = static_cast<uint16_t>(tag_ + 1 == P9_NOTAG ? 0 : tag_ + 1);
    return t;
}

Result<Fid> Client::alloc_fid() {
    for (size_t i = 0; i < fid_used_.size(); i++) {
        if (!fid_used_[i]) {
            fid_used_[i] = true;
            return static_cast<Fid>(i);
        }
    }
    if (fid_used_.size() >= 65536) return Error{ErrorKind::local, "out of fids"};
    fid_used_.push_back(true);
    return static_cast<Fid>(fid_used_.size() - 1);
}

void Client::free_fid(Fid fid) {
    if (fid < fid_used_.size()) fid_used_[fid] = false;
}

Status Client::rpc(int32_t len, uint8_t want) {
    if (dead_) return *dead_;
    if (len < 0) {
        // Nothing was sent, so the connection stays as it was.
        return Error{ErrorKind::local, len == -1 ? "request does not fit the message size"
                                                 : "string too long for a request"};
    }
    uint16_t tag = static_cast<uint16_t>(tx_[5] | tx_[6] << 8);
    Status s = wire_.send(tx_.data(), static_cast<size_t>(len));
    if (!s) return fail(s.error());
    Result<uint32_t> got = wire_.recv(msize_);
    if (!got) return fail(got.error());
    rx_len_ = got.value();
    s = check_reply(wire_.data(), rx_len_, tag, want);
    if (!s && s.error().kind == ErrorKind::protocol) return fail(s.error());
    return s;
}

Status Client::negotiate() {
    if (opts_.msize < P9_MSIZE_MIN || opts_.msize > MSIZE_CEILING) {
        return Error{ErrorKind::local, "msize " + std::to_string(opts_.msize) + " out of range"};
    }
    if (opts_.timeout_ms <= 0) return Error{ErrorKind::local, "timeout must be positive"};
    msize_ = opts_.msize;
    tx_.assign(msize_, 0);
    wire_ = Wire(rfd_, wfd_, msize_, opts_.timeout_ms);

    static constexpr std::string_view version = "9P2000";
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s =
        rpc(p9_emit_tversion(&c, P9_NOTAG, msize_, bytes_of(version), version.size()), P9_RVERSION);
    if (!s) {
        if (s.error().kind == ErrorKind::refused) {
            return fail(ErrorKind::protocol, "version refused: " + s.error().text);
        }
        return s;
    }
    uint16_t tag;
    uint32_t msize;
    const uint8_t* v;
    uint64_t vlen;
    if (p9_decode_rversion(wire_.data(), rx_len_, &tag, &msize, &v, &vlen) < 0) {
        return fail(ErrorKind::protocol, "malformed Rversion");
    }
    if (string_of(v, vlen) != version) {
        return fail(ErrorKind::protocol, "server speaks '" + string_of(v, vlen) + "', not 9P2000");
    }
    if (msize > msize_ || msize < P9_MSIZE_MIN) {
        return fail(ErrorKind::protocol, "server answered msize " + std::to_string(msize) +
                                             " to an offer of " + std::to_string(msize_));
    }
    msize_ = msize;
    return ok_status();
}

Result<Fid> Client::attach(std::string_view aname) {
    Result<Fid> fid = alloc_fid();
    if (!fid) return fid;
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tattach(&c, next_tag(), fid.value(), P9_NOFID, bytes_of(opts_.uname),
                                   opts_.uname.size(), bytes_of(aname), aname.size()),
                   P9_RATTACH);
    if (s) {
        uint16_t tag;
        Qid q;
        if (p9_decode_rattach(wire_.data(), rx_len_, &tag, &q.type, &q.version, &q.path) < 0) {
            s = fail(ErrorKind::protocol, "malformed Rattach");
        }
    }
    if (!s) {
        free_fid(fid.value());
        return s.error();
    }
    return fid;
}

// One Twalk of NAMES[FROM .. FROM+COUNT) from FID to NEWFID. Returns the number
// of qids answered (at most COUNT; fewer means the walk stopped and NEWFID was
// not established or moved). LAST receives the last qid answered.
Result<uint16_t> Client::walk_once(Fid fid, Fid newfid, const std::vector<std::string>& names,
                                   size_t from, size_t count, Qid* last) {
    const uint8_t* wnames[P9_MAX_WELEM];
    uint64_t wlens[P9_MAX_WELEM];
    for (size_t i = 0; i < count; i++) {
        wnames[i] = bytes_of(names[from + i]);
        wlens[i] = names[from + i].size();
    }
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s =
        rpc(p9_emit_twalk(&c, next_tag(), fid, newfid, static_cast<uint16_t>(count), wnames, wlens),
            P9_RWALK);
    if (!s) return s.error();
    uint16_t tag, nwqid;
    uint8_t qtypes[P9_MAX_WELEM];
    uint32_t qvers[P9_MAX_WELEM];
    uint64_t qpaths[P9_MAX_WELEM];
    if (p9_decode_rwalk(wire_.data(), rx_len_, &tag, &nwqid, qtypes, qvers, qpaths) < 0) {
        return fail(ErrorKind::protocol, "malformed Rwalk");
    }
    if (nwqid > count) {
        return fail(ErrorKind::protocol, "Rwalk with " + std::to_string(nwqid) + " qids for " +
                                             std::to_string(count) + " names");
    }
    if (last && nwqid > 0) *last = Qid{qtypes[nwqid - 1], qvers[nwqid - 1], qpaths[nwqid - 1]};
    return nwqid;
}

// A walk from FID stopped after REACHED of the names from FROM on. The Rwalk
// says no more than that, so walk a spare fid to where it stopped and ask for
// the next name alone: the server's refusal of that is the error to report.
Error Client::walk_failure(Fid fid, const std::vector<std::string>& names, size_t from,
                           size_t reached) {
    Error fallback{ErrorKind::refused, "'" + names[from + reached] + "': not found"};
    Result<Fid> probe = alloc_fid();
    if (!probe) return fallback;
    Fid p = probe.value();
    Result<uint16_t> r = walk_once(fid, p, names, from, reached, nullptr);
    if (!r) {
        free_fid(p);
        return r.error().kind == ErrorKind::refused ? fallback : r.error();
    }
    if (r.value() != reached) {
        free_fid(p);
        return fallback;
    }
    Result<uint16_t> next = walk_once(p, p, names, from + reached, 1, nullptr);
    Status cl = clunk(p);
    if (!next) return next.error();
    if (!cl) return cl.error();
    return fallback;
}

Result<Fid> Client::walk(Fid from, std::string_view path, Qid* reached) {
    std::vector<std::string> names = split_path(path);
    for (const auto& n : names) {
        if (n.size() > 65535) return Error{ErrorKind::local, "path element too long"};
    }
    Result<Fid> nf = alloc_fid();
    if (!nf) return nf;
    Fid newfid = nf.value();
    Fid cur = from;
    size_t done = 0;
    Qid last;
    do {
        size_t count = std::min<size_t>(P9_MAX_WELEM, names.size() - done);
        Result<uint16_t> r = walk_once(cur, newfid, names, done, count, &last);
        Error e;
        if (!r) {
            e = r.error();
        } else if (r.value() < count) {
            e = walk_failure(cur, names, done, r.value());
        } else {
            done += count;
            cur = newfid;
            continue;
        }
        // After the first Twalk newfid exists on the server and must go.
        if (cur == newfid) {
            (void)clunk(newfid);
        } else {
            free_fid(newfid);
        }
        return e;
    } while (done < names.size());
    if (reached && !names.empty()) *reached = last;
    return newfid;
}

Result<Qid> Client::open(Fid fid, uint8_t mode) {
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_topen(&c, next_tag(), fid, mode), P9_ROPEN);
    if (!s) return s.error();
    uint16_t tag;
    uint32_t iounit;
    Qid q;
    if (p9_decode_ropen(wire_.data(), rx_len_, &tag, &q.type, &q.version, &q.path, &iounit) < 0) {
        return fail(ErrorKind::protocol, "malformed Ropen");
    }
    return q;
}

Result<Qid> Client::create(Fid fid, std::string_view name, uint32_t perm, uint8_t mode) {
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tcreate(&c, next_tag(), fid, bytes_of(name), name.size(), perm, mode),
                   P9_RCREATE);
    if (!s) return s.error();
    uint16_t tag;
    uint32_t iounit;
    Qid q;
    if (p9_decode_rcreate(wire_.data(), rx_len_, &tag, &q.type, &q.version, &q.path, &iounit) < 0) {
        return fail(ErrorKind::protocol, "malformed Rcreate");
    }
    return q;
}

Result<uint32_t> Client::read(Fid fid, uint64_t offset, uint8_t* buf, uint32_t count) {
    count = std::min(count, iounit());
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tread(&c, next_tag(), fid, offset, count), P9_RREAD);
    if (!s) return s.error();
    uint16_t tag;
    const uint8_t* data;
    uint32_t got;
    if (p9_decode_rread(wire_.data(), rx_len_, &tag, &data, &got) < 0) {
        return fail(ErrorKind::protocol, "malformed Rread");
    }
    if (got > count) {
        return fail(ErrorKind::protocol, "Rread of " + std::to_string(got) +
                                             " bytes for a Tread of " + std::to_string(count));
    }
    if (got > 0) std::memcpy(buf, data, got);
    return got;
}

Result<uint32_t> Client::write(Fid fid, uint64_t offset, const uint8_t* buf, uint32_t count) {
    count = std::min(count, iounit());
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_twrite(&c, next_tag(), fid, offset, buf, count), P9_RWRITE);
    if (!s) return s.error();
    uint16_t tag;
    uint32_t took;
    if (p9_decode_rwrite(wire_.data(), rx_len_, &tag, &took) < 0) {
        return fail(ErrorKind::protocol, "malformed Rwrite");
    }
    if (took > count) {
        return fail(ErrorKind::protocol, "Rwrite of " + std::to_string(took) +
                                             " bytes for a Twrite of " + std::to_string(count));
    }
    return took;
}

Result<uint64_t> Client::read_full(Fid fid, uint64_t offset, uint8_t* buf, uint64_t count) {
    uint64_t done = 0;
    while (done < count) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count - done, iounit()));
        Result<uint32_t> r = read(fid, offset + done, buf + done, want);
        if (!r) return r.error();
        if (r.value() == 0) break;
        done += r.value();
    }
    return done;
}

Status Client::write_full(Fid fid, uint64_t offset, const uint8_t* buf, uint64_t count) {
    uint64_t done = 0;
    while (done < count) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count - done, iounit()));
        Result<uint32_t> r = write(fid, offset + done, buf + done, want);
        if (!r) return r.error();
        if (r.value() == 0) {
            return Error{ErrorKind::refused, "the server took no more bytes at offset " +
                                                 std::to_string(offset + done) + " (" +
                                                 std::to_string(done) + " of " +
                                                 std::to_string(count) + " written)"};
        }
        done += r.value();
    }
    return ok_status();
}

Result<Stat> Client::stat(Fid fid) {
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tstat(&c, next_tag(), fid), P9_RSTAT);
    if (!s) return s.error();
    uint16_t tag;
    Stat st;
    if (decode_rstat(wire_.data(), rx_len_, tag, st) < 0) {
        return fail(ErrorKind::protocol, "malformed Rstat");
    }
    return st;
}

Result<std::vector<Stat>> Client::readdir(Fid fid) {
    std::vector<Stat> out;
    std::vector<uint8_t> pending;  // bytes of a record not yet complete
    std::vector<uint8_t> chunk(iounit());
    uint64_t offset = 0;
    for (;;) {
        Result<uint32_t> r = read(fid, offset, chunk.data(), iounit());
        if (!r) return r.error();
        uint32_t n = r.value();
        if (n == 0) break;
        offset += n;
        if (offset > READDIR_LIMIT) {
            return fail(ErrorKind::protocol, "directory listing longer than " +
                                                 std::to_string(READDIR_LIMIT) + " bytes");
        }
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + n);

        size_t at = 0;
        while (pending.size() - at >= 2) {
            uint64_t rec = 2 + (pending[at] | pending[at + 1] << 8);
            if (pending.size() - at < rec) break;  // the rest comes with the next read
            Stat st;
            if (decode_stat(pending.data(), at + rec, at, st) != static_cast<int64_t>(rec)) {
                return fail(ErrorKind::protocol, "malformed stat record in a directory read");
            }
            out.push_back(std::move(st));
            at += rec;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (!pending.empty()) {
        return fail(ErrorKind::protocol, "directory listing ends inside a stat record");
    }
    return out;
}

Stat unchanged_stat() {
    Stat st;
    st.type = P9_WSTAT_TYPE_UNCHANGED;
    st.dev = P9_WSTAT_DEV_UNCHANGED;
    st.qid =
        Qid{P9_WSTAT_QIDTYPE_UNCHANGED, P9_WSTAT_QIDVERS_UNCHANGED, P9_WSTAT_QIDPATH_UNCHANGED};
    st.mode = P9_WSTAT_MODE_UNCHANGED;
    st.atime = P9_WSTAT_TIME_UNCHANGED;
    st.mtime = P9_WSTAT_TIME_UNCHANGED;
    st.length = P9_WSTAT_LENGTH_UNCHANGED;
    return st;
}

Status Client::wstat(Fid fid, const Stat& st) {
    for (const std::string* s : {&st.name, &st.uid, &st.gid, &st.muid}) {
        if (s->size() > 65535) return Error{ErrorKind::local, "string too long for a request"};
    }
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s =
        rpc(p9_emit_twstat(&c, next_tag(), fid, st.type, st.dev, st.qid.type, st.qid.version,
                           st.qid.path, st.mode, st.atime, st.mtime, st.length, bytes_of(st.name),
                           st.name.size(), bytes_of(st.uid), st.uid.size(), bytes_of(st.gid),
                           st.gid.size(), bytes_of(st.muid), st.muid.size()),
            P9_RWSTAT);
    if (!s) return s;
    uint16_t tag;
    if (p9_decode_rwstat(wire_.data(), rx_len_, &tag) < 0) {
        return fail(ErrorKind::protocol, "malformed Rwstat");
    }
    return ok_status();
}

Status Client::remove(Fid fid) {
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tremove(&c, next_tag(), fid), P9_RREMOVE);
    free_fid(fid);
    if (!s) return s;
    uint16_t tag;
    if (p9_decode_rremove(wire_.data(), rx_len_, &tag) < 0) {
        return fail(ErrorKind::protocol, "malformed Rremove");
    }
    return ok_status();
}

Status Client::clunk(Fid fid) {
    p9_cursor c;
    p9_cursor_init(&c, tx_.data(), msize_);
    Status s = rpc(p9_emit_tclunk(&c, next_tag(), fid), P9_RCLUNK);
    free_fid(fid);
    if (!s) return s;
    uint16_t tag;
    if (p9_decode_rclunk(wire_.data(), rx_len_, &tag) < 0) {
        return fail(ErrorKind::protocol, "malformed Rclunk");
    }
    return ok_status();
}

}  // namespace tlnclient
