// The reference model's operations. Every rule here is the server's behaviour
// as a client sees it; the order of the checks in each operation is the order
// in which the server refuses.
#include "model.h"

#include <algorithm>

#include "harness.h"

namespace model {

using namespace tolvane;

namespace {

const std::string kOwner = "velmor";

uint8_t qtype_of(const Node& n) {
    return n.kind == KIND_DIR ? P9_QTDIR : P9_QTFILE;
}
// The row plus one, with the row's generation (how often it was freed in
// this process) in the high half.
uint64_t qpath_of(const Node& x, int64_t n) {
    return static_cast<uint64_t>(x.gen) << 32 | (static_cast<uint64_t>(n) + 1);
}

}  // namespace

Bytes rerror(uint16_t tag, const std::string& text) {
    return build([&](p9_cursor* c) { return p9_emit_rerror(c, tag, u8(text), text.size()); });
}

Model::Model(bool store) : nodes_(NODE_CAP), store_(store) {
    skeleton();
}

void Model::skeleton() {
    nodes_.assign(NODE_CAP, Node{});
    nodes_[0].kind = KIND_DIR;
    nodes_[0].parent = 0;
    const struct {
        int64_t parent;
        const char* name;
    } dirs[] = {{0, "var"}, {0, "usr"},  {0, "etc"},  {1, "lib"}, {1, "cache"},
                {1, "www"}, {4, "dpkg"}, {7, "info"}, {5, "apt"}, {9, "archives"}};
    for (const auto& d : dirs) alloc_node(KIND_DIR, d.parent, d.name);
}

int64_t Model::alloc_node(uint8_t kind, int64_t parent, const std::string& name) {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (nodes_[n].kind != KIND_FREE) continue;
        uint32_t gen = nodes_[n].gen;
        nodes_[n] = Node{};
        nodes_[n].gen = gen;
        nodes_[n].kind = kind;
        nodes_[n].parent = parent;
        nodes_[n].name = name;
        return static_cast<int64_t>(n);
    }
    return -1;
}

int64_t Model::alloc_fid(uint32_t id, int64_t node) {
    for (uint64_t s = 0; s < FID_CAP; s++) {
        if (fids_[s].used) continue;
        fids_[s] = Fid{true, id, node, false, 0, false};
        return static_cast<int64_t>(s);
    }
    return -1;
}

int64_t Model::fid_slot(uint32_t fid) const {
    for (uint64_t s = 0; s < FID_CAP; s++) {
        if (fids_[s].used && fids_[s].id == fid) return static_cast<int64_t>(s);
    }
    return -1;
}

int64_t Model::find_child(int64_t dir, const std::string& name) const {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        const Node& x = nodes_[n];
        if (x.kind == KIND_FREE || x.parent != dir || static_cast<int64_t>(n) == dir) continue;
        if (x.name == name) return static_cast<int64_t>(n);
    }
    return -1;
}

bool Model::has_children(int64_t d) const {
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        if (static_cast<int64_t>(n) != d && nodes_[n].kind != KIND_FREE && nodes_[n].parent == d) {
            return true;
        }
    }
    return false;
}

uint64_t Model::slots_used() const {
    uint64_t k = 0;
    for (const Node& n : nodes_) {
        if (n.kind == KIND_FILE) k += n.chunks.size();
    }
    return k;
}

int64_t Model::aname_root(const std::string& aname) const {
    std::string rest = !aname.empty() && aname[0] == '/' ? aname.substr(1) : aname;
    if (rest.empty()) return 0;
    if (rest.find('/') != std::string::npos) return -1;
    int64_t n = find_child(0, rest);
    if (n < 0 || nodes_[static_cast<uint64_t>(n)].kind != KIND_DIR) return -1;
    return n;
}

const char* Model::check_fid(uint32_t fid, int64_t* slot) const {
    int64_t s = fid_slot(fid);
    if (s < 0) return "tolvane: unknown fid";
    if (fids_[static_cast<uint64_t>(s)].node < 0) return "tolvane: file removed";
    *slot = s;
    return nullptr;
}

void Model::release_chain(int64_t n) {
    nodes_[static_cast<uint64_t>(n)].chunks.clear();
    nodes_[static_cast<uint64_t>(n)].has_chain = false;
}

bool Model::save() {
    if (!store_) return true;
    if (fault_) return false;
    uint64_t len = SNAP_FIXED;
    for (const Node& n : nodes_) {
        if (n.kind == KIND_FILE && n.has_chain) len += n.size;
    }
    if (len > SNAP_CAP) return false;
    stored_ = nodes_;
    saves_++;
    return true;
}

Bytes Model::stat_record(int64_t n) const {
    const Node& x = nodes_[static_cast<uint64_t>(n)];
    Bytes b(2 + P9_STAT_FIXED + NAME_CAP + 3 * (2 + kOwner.size()) + 16);
    p9_cursor c;
    p9_cursor_init(&c, b.data(), b.size());
    int32_t len = p9_emit_stat(&c, 0, 0, qtype_of(x), x.vers, qpath_of(x, n),
                               x.kind == KIND_DIR ? MODE_DIR : MODE_FILE, 0, 0, x.size, u8(x.name),
                               x.name.size(), u8(kOwner), kOwner.size(), u8(kOwner), kOwner.size(),
                               u8(kOwner), kOwner.size());
    b.resize(len < 0 ? 0 : static_cast<size_t>(len));
    return b;
}

Bytes Model::version(uint16_t tag, uint32_t msize) {
    for (Fid& f : fids_) f = Fid{};
    uint32_t m = std::min<uint32_t>(msize, static_cast<uint32_t>(SRV_BUF_CAP));
    return build([&](p9_cursor* c) { return p9_emit_rversion(c, tag, m, u8("9P2000"), 6); });
}

Bytes Model::attach(uint16_t tag, uint32_t fid, const std::string& aname) {
    if (fid_slot(fid) >= 0) return rerror(tag, "tolvane: fid in use");
    int64_t root = aname_root(aname);
    if (root < 0) return rerror(tag, "tolvane: unknown attach tree");
    if (alloc_fid(fid, root) < 0) return rerror(tag, "tolvane: fid table full");
    const Node& r = nodes_[static_cast<uint64_t>(root)];
    return build([&](p9_cursor* c) {
        return p9_emit_rattach(c, tag, qtype_of(r), r.vers, qpath_of(r, root));
    });
}

Bytes Model::walk(uint16_t tag, uint32_t fid, uint32_t newfid,
                  const std::vector<std::string>& names) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    Fid& f = fids_[static_cast<uint64_t>(slot)];
    if (f.open) return rerror(tag, "tolvane: fid is open");
    if (newfid != fid && fid_slot(newfid) >= 0) return rerror(tag, "tolvane: newfid in use");
    int64_t cur = f.node;
    std::vector<uint8_t> qt;
    std::vector<uint32_t> qv;
    std::vector<uint64_t> qp;
    for (const std::string& name : names) {
        if (nodes_[static_cast<uint64_t>(cur)].kind != KIND_DIR) break;
        int64_t next;
        if (name == "..") {
            next = nodes_[static_cast<uint64_t>(cur)].parent;
        } else if (name == ".") {
            next = cur;
        } else {
            next = find_child(cur, name);
        }
        if (next < 0) break;
        cur = next;
        const Node& x = nodes_[static_cast<uint64_t>(cur)];
        qt.push_back(qtype_of(x));
        qv.push_back(x.vers);
        qp.push_back(qpath_of(x, cur));
    }
    if (qt.empty() && !names.empty()) return rerror(tag, "tolvane: no such file or directory");
    if (qt.size() == names.size()) {
        if (newfid == fid) {
            f.node = cur;
        } else if (alloc_fid(newfid, cur) < 0) {
            return rerror(tag, "tolvane: fid table full");
        }
    }
    return build([&](p9_cursor* c) {
        return p9_emit_rwalk(c, tag, static_cast<uint16_t>(qt.size()), qt.data(), qv.data(),
                             qp.data());
    });
}

Bytes Model::open(uint16_t tag, uint32_t fid, uint8_t mode) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    Fid& f = fids_[static_cast<uint64_t>(slot)];
    if (f.open) return rerror(tag, "tolvane: fid already open");
    Node& x = nodes_[static_cast<uint64_t>(f.node)];
    uint8_t access = mode & 3;
    if (x.kind == KIND_DIR && access != P9_OREAD)
        return rerror(tag, "tolvane: directory is read-only");
    if (x.kind == KIND_FILE && (mode & P9_OTRUNC)) {
        if (access == P9_OREAD) return rerror(tag, "tolvane: OTRUNC needs write");
        release_chain(f.node);
        x.size = 0;
        x.vers++;
    }
    f.open = true;
    f.mode = mode;
    return build([&](p9_cursor* c) {
        return p9_emit_ropen(c, tag, qtype_of(x), x.vers, qpath_of(x, f.node), 0);
    });
}

Bytes Model::create(uint16_t tag, uint32_t fid, const std::string& name, uint32_t perm,
                    uint8_t mode) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    Fid& f = fids_[static_cast<uint64_t>(slot)];
    if (f.open) return rerror(tag, "tolvane: fid already open");
    int64_t dir = f.node;
    if (nodes_[static_cast<uint64_t>(dir)].kind != KIND_DIR) {
        return rerror(tag, "tolvane: create in a non-directory");
    }
    if (name.empty() || name.size() > NAME_CAP) return rerror(tag, "tolvane: bad name length");
    if (name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        return rerror(tag, "tolvane: bad name");
    }
    if (find_child(dir, name) >= 0) return rerror(tag, "tolvane: name exists");
    int64_t n = alloc_node((perm & DM_DIR) ? KIND_DIR : KIND_FILE, dir, name);
    if (n < 0) return rerror(tag, "tolvane: node table full");
    f.node = n;
    f.open = true;
    f.mode = mode;
    f.dirty = true;
    nodes_[static_cast<uint64_t>(dir)].vers++;
    const Node& x = nodes_[static_cast<uint64_t>(n)];
    return build([&](p9_cursor* c) {
        return p9_emit_rcreate(c, tag, qtype_of(x), x.vers, qpath_of(x, n), 0);
    });
}

Bytes Model::dir_read(uint16_t tag, int64_t dir, uint64_t offset, uint32_t count) const {
    // Whole records in row order, from the record that starts at offset.
    std::vector<Bytes> recs;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        const Node& x = nodes_[n];
        if (x.kind == KIND_FREE || x.parent != dir || static_cast<int64_t>(n) == dir) continue;
        recs.push_back(stat_record(static_cast<int64_t>(n)));
    }
    uint64_t pos = 0;
    size_t i = 0;
    while (i < recs.size() && pos < offset) {
        if (pos + recs[i].size() > offset) return rerror(tag, "tolvane: bad directory offset");
        pos += recs[i].size();
        i++;
    }
    Bytes data;
    for (; i < recs.size(); i++) {
        if (data.size() + recs[i].size() > count) {
            if (data.empty())
                return rerror(tag, "tolvane: read count too small for a directory entry");
            break;
        }
        data.insert(data.end(), recs[i].begin(), recs[i].end());
    }
    return build([&](p9_cursor* c) {
        return p9_emit_rread(c, tag, data.data(), static_cast<uint32_t>(data.size()));
    });
}

Bytes Model::read(uint16_t tag, uint32_t fid, uint64_t offset, uint32_t count) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    const Fid& f = fids_[static_cast<uint64_t>(slot)];
    if (!f.open) return rerror(tag, "tolvane: fid not open");
    if ((f.mode & 3) == P9_OWRITE) return rerror(tag, "tolvane: fid not open for read");
    const Node& x = nodes_[static_cast<uint64_t>(f.node)];
    if (x.kind == KIND_DIR) return dir_read(tag, f.node, offset, count);
    uint64_t n = 0;
    if (offset < x.size) n = std::min<uint64_t>(x.size - offset, count);
    n = std::min<uint64_t>(n, SLOT_CAP - offset % SLOT_CAP);
    Bytes data(n, 0);
    auto it = x.chunks.find(offset / SLOT_CAP);
    if (n > 0 && it != x.chunks.end()) {
        std::copy_n(it->second->begin() + static_cast<int64_t>(offset % SLOT_CAP), n, data.begin());
    }
    return build(
        [&](p9_cursor* c) { return p9_emit_rread(c, tag, data.data(), static_cast<uint32_t>(n)); });
}

Bytes Model::write(uint16_t tag, uint32_t fid, uint64_t offset, const Bytes& data) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    Fid& f = fids_[static_cast<uint64_t>(slot)];
    if (!f.open) return rerror(tag, "tolvane: fid not open");
    uint8_t access = f.mode & 3;
    if (access == P9_OREAD || access == P9_OEXEC)
        return rerror(tag, "tolvane: fid not open for write");
    Node& x = nodes_[static_cast<uint64_t>(f.node)];
    if (x.kind != KIND_FILE) return rerror(tag, "tolvane: cannot write a directory");

    if (!data.empty() && offset >= FILE_CAP) return rerror(tag, "tolvane: file too large");
    // Bytes past the file limit are dropped, and so are bytes that would
    // make the image larger than SNAP_CAP once the file holds a slot; a dry
    // pool cuts the write short.
    uint64_t end = offset + data.size();
    if (end > FILE_CAP) end = FILE_CAP;
    if (!data.empty() || x.has_chain) {
        uint64_t others = 0;
        for (const Node& o : nodes_) {
            if (&o != &x && o.kind == KIND_FILE && o.has_chain) others += o.size;
        }
        uint64_t room = SNAP_CAP - SNAP_FIXED - others;
        uint64_t reach = !data.empty() ? offset + 1 : (offset <= FILE_CAP ? offset : 0);
        if (x.size > room || reach > room) {
            return rerror(tag, "tolvane: snapshot capacity exhausted");
        }
        end = std::min(end, room);
    }
    uint64_t want = offset < end ? end - offset : 0;
    uint64_t done = 0;
    while (done < want) {
        uint64_t at = offset + done;
        uint64_t chunk = at / SLOT_CAP;
        uint64_t in = at % SLOT_CAP;
        uint64_t step = std::min(want - done, SLOT_CAP - in);
        auto it = x.chunks.find(chunk);
        Bytes bytes;
        if (it == x.chunks.end()) {
            if (slots_used() >= DATA_SLOT_CAP - 1) break;
            bytes.assign(SLOT_CAP, 0);
            x.has_chain = true;
        } else {
            bytes = *it->second;
        }
        std::copy_n(data.begin() + static_cast<int64_t>(done), step,
                    bytes.begin() + static_cast<int64_t>(in));
        x.chunks[chunk] = std::make_shared<const Bytes>(std::move(bytes));
        done += step;
    }
    if (done == 0 && want > 0) return rerror(tag, "tolvane: file-data pool exhausted");
    if (offset <= FILE_CAP && offset + done > x.size) x.size = offset + done;
    x.vers++;
    f.dirty = true;
    return build([&](p9_cursor* c) { return p9_emit_rwrite(c, tag, static_cast<uint32_t>(done)); });
}

Bytes Model::clunk(uint16_t tag, uint32_t fid) {
    int64_t slot = fid_slot(fid);
    if (slot < 0) return rerror(tag, "tolvane: unknown fid");
    bool dirty = fids_[static_cast<uint64_t>(slot)].dirty;
    fids_[static_cast<uint64_t>(slot)] = Fid{};
    if (dirty && !save()) return rerror(tag, "tolvane: persist failed");
    return build([&](p9_cursor* c) { return p9_emit_rclunk(c, tag); });
}

Bytes Model::stat(uint16_t tag, uint32_t fid) {
    int64_t slot;
    if (const char* no = check_fid(fid, &slot)) return rerror(tag, no);
    int64_t n = fids_[static_cast<uint64_t>(slot)].node;
    const Node& x = nodes_[static_cast<uint64_t>(n)];
    return build([&](p9_cursor* c) {
        return p9_emit_rstat(c, tag, 0, 0, qtype_of(x), x.vers, qpath_of(x, n),
                             x.kind == KIND_DIR ? MODE_DIR : MODE_FILE, 0, 0, x.size, u8(x.name),
                             x.name.size(), u8(kOwner), kOwner.size(), u8(kOwner), kOwner.size(),
                             u8(kOwner), kOwner.size());
    });
}

Bytes Model::remove(uint16_t tag, uint32_t fid) {
    int64_t slot = fid_slot(fid);
    if (slot < 0) return rerror(tag, "tolvane: unknown fid");
    int64_t n = fids_[static_cast<uint64_t>(slot)].node;
    fids_[static_cast<uint64_t>(slot)] = Fid{};
    if (n < 0) return rerror(tag, "tolvane: file removed");
    if (n == 0) return rerror(tag, "tolvane: cannot remove root");
    Node& x = nodes_[static_cast<uint64_t>(n)];
    if (x.kind == KIND_DIR && has_children(n)) return rerror(tag, "tolvane: directory not empty");
    int64_t parent = x.parent;
    release_chain(n);
    x.kind = KIND_FREE;
    x.size = 0;
    x.gen++;
    for (Fid& f : fids_) {
        if (f.used && f.node == n) f.node = -1;
    }
    nodes_[static_cast<uint64_t>(parent)].vers++;
    if (!save()) return rerror(tag, "tolvane: remove not persisted");
    Bytes b = {7, 0, 0, 0, P9_RREMOVE, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8)};
    return b;
}

Bytes Model::flush(uint16_t tag) {
    return build([&](p9_cursor* c) { return p9_emit_rflush(c, tag); });
}

Bytes Model::unsupported(uint16_t tag) {
    return rerror(tag, "tolvane: not implemented");
}
Bytes Model::wstat(uint16_t tag) {
    return rerror(tag, "tolvane: Twstat not supported");
}

bool Model::restart() {
    save();
    fault_ = false;
    for (Fid& f : fids_) f = Fid{};
    if (!store_ || !stored_) {
        skeleton();
        return false;
    }
    nodes_ = *stored_;
    for (Node& x : nodes_) x.gen = 0;  // a new process
    // A restored file holds a slot for each chunk with a byte that is not
    // zero; the rest read as zeros, as before.
    for (Node& x : nodes_) {
        if (x.kind != KIND_FILE) continue;
        if (!x.has_chain) {
            x.chunks.clear();
            continue;
        }
        for (auto it = x.chunks.begin(); it != x.chunks.end();) {
            const Bytes& b = *it->second;
            uint64_t start = it->first * SLOT_CAP;
            uint64_t len = x.size > start ? std::min<uint64_t>(x.size - start, SLOT_CAP) : 0;
            bool nonzero = std::any_of(b.begin(), b.begin() + static_cast<int64_t>(len),
                                       [](uint8_t v) { return v != 0; });
            it = nonzero ? std::next(it) : x.chunks.erase(it);
        }
        x.has_chain = !x.chunks.empty();
    }
    return true;
}

std::string Model::dump() const {
    static const Bytes zeros(SLOT_CAP, 0);
    std::string out;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        const Node& x = nodes_[n];
        if (x.kind == KIND_FREE) continue;
        out += std::to_string(n) + " k" + std::to_string(x.kind) + " p" + std::to_string(x.parent) +
               " '" + x.name + "' s" + std::to_string(x.size) + " v" + std::to_string(x.vers);
        if (x.kind == KIND_FILE) {
            uint64_t h = 1469598103934665603ull;
            for (uint64_t off = 0; off < x.size; off += SLOT_CAP) {
                uint64_t step = std::min<uint64_t>(x.size - off, SLOT_CAP);
                auto it = x.chunks.find(off / SLOT_CAP);
                h = harness::fnv(h, it == x.chunks.end() ? zeros.data() : it->second->data(), step);
            }
            out += " h" + std::to_string(h);
        }
        out += "\n";
    }
    return out;
}

}  // namespace model
