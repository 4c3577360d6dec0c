// Model-based test of the whole server: random sequences of valid operations
// (and the refusals a client can run into) go to the real request step over
// the in-memory kernel and to the reference model (model.h); every reply must
// match the model's byte for byte, the tables must hold after every request,
// and the saves the server makes must be the ones the model expects.
//
// Reproducible: sequence i of a test uses seed base + i, each test with its
// own default base (TOLVANE_MODEL_BASE replaces it). On a failure the
// sequence's seed and step are printed; run
//   TOLVANE_MODEL_SEED=<seed> build/.../test_model --gtest_filter='<test>'
// to replay that one sequence. TOLVANE_MODEL_SEQS and TOLVANE_MODEL_STEPS
// extend a run. TOLVANE_MODEL_RECORD=<dir> writes each sequence's request
// stream (as a raw-mode input of fuzz_serve) and the images it stored, for the
// fuzz corpora.
#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "kernel/memory/memory.h"
#include "tolvane/tolvane.h"
#include "tree_check.h"

namespace {

using namespace tolvane;
using model::build;
using model::Bytes;
using model::Model;
using model::u8;

constexpr uint64_t kDefaultBase = 0x746c6e0008ull;
// A recorded request stream keeps the whole requests that fit in this many
// bytes: seeds for a fuzzer are best kept short.
constexpr size_t kRecordCap = 16 * 1024;

uint64_t env_u64(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == 0) return fallback;
    return std::strtoull(v, nullptr, 0);
}

// ---- Requests ----

using tolvane_test::tattach;
using tolvane_test::tauth;
using tolvane_test::tclunk;
using tolvane_test::tcreate;
using tolvane_test::tflush;
using tolvane_test::topen;
using tolvane_test::tread;
using tolvane_test::tremove;
using tolvane_test::tstat;
using tolvane_test::tversion;
using tolvane_test::twalk;
using tolvane_test::twrite;

Bytes q_wstat(uint16_t tag, uint32_t fid) {
    static const std::string v = "velmor";
    return build([&](p9_cursor* c) {
        return p9_emit_twstat(c, tag, fid, 0, 0, 0, 0, 0, 0644, 0, 0, 0, u8("n"), 1, u8(v), 6,
                              u8(v), 6, u8(v), 6);
    });
}

// A reply, described for a failure message.
std::string describe(const Bytes& b) {
    std::ostringstream o;
    if (b.size() < 7) {
        o << b.size() << " bytes";
        return o.str();
    }
    o << "type " << int(b[4]) << ", " << b.size() << " bytes";
    if (b[4] == P9_RERROR) {
        uint16_t tag;
        const uint8_t* t;
        uint64_t n;
        if (p9_decode_rerror(b.data(), b.size(), &tag, &t, &n) >= 0) {
            o << " '" << std::string(reinterpret_cast<const char*>(t), n) << "'";
        }
    }
    o << ":";
    static const char* hex = "0123456789abcdef";
    for (size_t i = 0; i < b.size() && i < 48; i++) o << ' ' << hex[b[i] >> 4] << hex[b[i] & 15];
    if (b.size() > 48) o << " ...";
    return o.str();
}

// How often each reply type and each refusal was seen in a run: printed after
// each test, so a run shows what it covered.
std::map<std::string, uint64_t> g_outcomes;

void count_outcome(const Bytes& reply) {
    static const std::map<uint8_t, std::string> names = {
        {P9_RVERSION, "Rversion"}, {P9_RATTACH, "Rattach"}, {P9_RWALK, "Rwalk"},
        {P9_ROPEN, "Ropen"},       {P9_RCREATE, "Rcreate"}, {P9_RREAD, "Rread"},
        {P9_RWRITE, "Rwrite"},     {P9_RCLUNK, "Rclunk"},   {P9_RSTAT, "Rstat"},
        {P9_RREMOVE, "Rremove"},   {P9_RFLUSH, "Rflush"}};
    if (reply.size() < 7) return;
    if (reply[4] == P9_RERROR) {
        uint16_t tag;
        const uint8_t* t;
        uint64_t n;
        if (p9_decode_rerror(reply.data(), reply.size(), &tag, &t, &n) >= 0) {
            g_outcomes["Rerror '" + std::string(reinterpret_cast<const char*>(t), n) + "'"]++;
        }
        return;
    }
    auto it = names.find(reply[4]);
    g_outcomes[it == names.end() ? "other" : it->second]++;
}

void print_outcomes() {
    std::ostringstream o;
    for (const auto& [k, v] : g_outcomes) o << "  " << v << " " << k << "\n";
    std::cout << o.str();
    g_outcomes.clear();
}

// Profiles of operation weights.
enum class Profile { mixed, capacity };

// One random sequence against a fresh server and a fresh model.
class Sequence {
public:
    Sequence(uint64_t seed, bool store, Profile profile)
        : seed_(seed), rng_(seed), m_(store), profile_(profile) {
        harness::reset_process(store);
    }

    // Runs up to steps requests; false (with failure() set) at the first
    // divergence.
    bool run(uint64_t steps);
    const std::string& failure() const { return failure_; }
    const Model& model() const { return m_; }
    uint64_t requests() const { return step_; }

    // Sends req; expected is the model's reply to it.
    bool exchange(const Bytes& req, const Bytes& expected, const std::string& what);
    // Save-and-restart on both sides.
    bool restart();
    Model& m() { return m_; }
    void flush_recording();

private:
    uint64_t r(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    bool p(double x) { return std::uniform_real_distribution<double>(0, 1)(rng_) < x; }
    uint16_t tag() { return p(0.05) ? P9_NOTAG : static_cast<uint16_t>(r(65535)); }

    // Fid choices, guided by the model.
    std::vector<uint32_t> used_fids(const std::function<bool(const model::Fid&)>& pred) const;
    uint32_t any_fid();
    uint32_t free_fid();
    uint32_t pick(const std::function<bool(const model::Fid&)>& pred);
    uint8_t kind_of(const model::Fid& f) const {
        return f.node < 0 ? KIND_FREE : m_.nodes()[static_cast<uint64_t>(f.node)].kind;
    }
    std::string new_name();
    std::vector<std::string> walk_names(uint32_t fid);
    uint64_t write_offset(uint32_t fid);
    Bytes write_data();

    bool op_attach();
    bool op_walk();
    bool op_open();
    bool op_open_node();
    bool op_create();
    bool op_new_node();
    bool op_write();
    bool op_read();
    bool op_list();
    bool op_stat();
    bool op_clunk();
    bool op_remove();
    bool op_version();
    bool op_other();
    bool op_fault();
    bool burst_nodes();
    bool burst_slots();
    bool burst_fids();
    bool burst_remove();

    uint64_t seed_;
    std::mt19937_64 rng_;
    Model m_;
    Profile profile_;
    uint64_t step_ = 0;
    std::string last_;
    std::string failure_;
    int fault_left_ = 0;
    std::map<uint32_t, uint64_t> dir_offset_;  // where the last listing read ended, per fid
    Bytes recording_;
    int recordings_ = 0;
};

bool Sequence::exchange(const Bytes& req, const Bytes& expected, const std::string& what) {
    step_++;
    last_ = what;
    if (recording_.size() + req.size() <= kRecordCap) {
        recording_.insert(recording_.end(), req.begin(), req.end());
    }
    velmor_mem_output_clear();
    velmor_mem_input(req.data(), req.size());
    int32_t r = serve_one();
    Bytes got(velmor_mem_output(), velmor_mem_output() + velmor_mem_output_len());
    std::ostringstream o;
    o << "seed " << seed_ << " step " << step_ << " (" << what << "): ";
    if (r != 1) {
        o << "request step answered " << r;
    } else if (velmor_mem_input_left() != 0) {
        o << "request not read whole";
    } else if (got != expected) {
        size_t at = 0;
        while (at < got.size() && at < expected.size() && got[at] == expected[at]) at++;
        o << "reply differs at byte " << at << "\n  expected " << describe(expected)
          << "\n  got      " << describe(got);
    } else if (std::string bad = tree_check::check_tree(); !bad.empty()) {
        o << "tables broken: " << bad;
    } else if (m_.store() && velmor_mem_store_saves(0) != m_.saves()) {
        o << "server saved " << velmor_mem_store_saves(0) << " times, model expects " << m_.saves();
    } else {
        count_outcome(got);
        return true;
    }
    failure_ = o.str() + "\n  replay: TOLVANE_MODEL_SEED=" + std::to_string(seed_);
    return false;
}

void Sequence::flush_recording() {
    const char* dir = std::getenv("TOLVANE_MODEL_RECORD");
    if (dir == nullptr || *dir == 0 || recording_.empty()) {
        recording_.clear();
        return;
    }
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(dir) / "serve");
    std::ofstream out(fs::path(dir) / "serve" /
                          ("model-" + std::to_string(seed_) + "-" + std::to_string(recordings_++)),
                      std::ios::binary);
    const char mode = 0;  // raw stream, whole reads
    out.write(&mode, 1);
    out.write(reinterpret_cast<const char*>(recording_.data()),
              static_cast<std::streamsize>(recording_.size()));
    recording_.clear();
}

bool Sequence::restart() {
    step_++;
    last_ = "save and restart";
    flush_recording();
    // The server's end of stream: the save, then a new process that loads.
    int32_t saved = tln_save_to_disk();
    (void)saved;
    velmor_mem_store_fault(MEM_SAVE_OK);
    fault_left_ = 0;
    int32_t restored = harness::restart_process();
    bool expect = m_.restart();
    const char* dir = std::getenv("TOLVANE_MODEL_RECORD");
    if (dir != nullptr && *dir != 0 && velmor_mem_store_len(0) > 0 &&
        velmor_mem_store_len(0) <= 256 * 1024) {
        namespace fs = std::filesystem;
        fs::create_directories(fs::path(dir) / "image");
        std::ofstream out(fs::path(dir) / "image" /
                              ("model-" + std::to_string(seed_) + "-" + std::to_string(step_)),
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(velmor_mem_store_image(0)),
                  velmor_mem_store_len(0));
    }
    std::ostringstream o;
    o << "seed " << seed_ << " step " << step_ << " (save and restart): ";
    if (restored != (expect ? 1 : 0)) {
        o << "load answered " << restored << ", model expects " << expect;
    } else if (std::string bad = tree_check::check_tree(); !bad.empty()) {
        o << "tables broken: " << bad;
    } else if (harness::dump_tree() != m_.dump()) {
        o << "restored tree differs\n  server:\n"
          << harness::dump_tree() << "  model:\n"
          << m_.dump();
    } else {
        return true;
    }
    failure_ = o.str() + "\n  replay: TOLVANE_MODEL_SEED=" + std::to_string(seed_);
    return false;
}

std::vector<uint32_t> Sequence::used_fids(
    const std::function<bool(const model::Fid&)>& pred) const {
    std::vector<uint32_t> out;
    for (const auto& f : m_.fids()) {
        if (f.used && pred(f)) out.push_back(f.id);
    }
    return out;
}

uint32_t Sequence::free_fid() {
    for (int i = 0; i < 20; i++) {
        uint32_t f = static_cast<uint32_t>(r(p(0.9) ? 48 : 100000));
        if (m_.fid_slot(f) < 0) return f;
    }
    return 1000000 + static_cast<uint32_t>(r(1000));
}

uint32_t Sequence::any_fid() {
    if (p(0.1)) return p(0.5) ? free_fid() : P9_NOFID;
    return pick([](const model::Fid&) { return true; });
}

uint32_t Sequence::pick(const std::function<bool(const model::Fid&)>& pred) {
    auto v = used_fids(pred);
    if (v.empty()) v = used_fids([](const model::Fid&) { return true; });
    if (v.empty()) return free_fid();
    return v[r(v.size())];
}

std::string Sequence::new_name() {
    uint64_t k = r(100);
    if (k < 55) return "f" + std::to_string(r(40));
    if (k < 75) return "d" + std::to_string(r(12));
    if (k < 80) return std::string(64, static_cast<char>('a' + r(3)));
    if (k < 82) return std::string(65, 'z');
    if (k < 83) return "";
    if (k < 85) return r(2) ? "." : "..";
    if (k < 86) return "a/b";
    if (k < 87) return std::string("nu\0l", 4);
    if (k < 92) return "...";
    return "n" + std::to_string(r(400));
}

std::vector<std::string> Sequence::walk_names(uint32_t fid) {
    std::vector<std::string> names;
    int64_t slot = m_.fid_slot(fid);
    int64_t cur = slot >= 0 ? m_.fids()[static_cast<uint64_t>(slot)].node : 0;
    uint64_t len = p(0.1) ? 0 : 1 + r(3);
    if (p(0.02)) len = P9_MAX_WELEM;
    for (uint64_t i = 0; i < len; i++) {
        std::vector<std::string> kids;
        if (cur >= 0) {
            for (uint64_t n = 0; n < NODE_CAP; n++) {
                const auto& x = m_.nodes()[n];
                if (x.kind != KIND_FREE && x.parent == cur && static_cast<int64_t>(n) != cur) {
                    kids.push_back(x.name);
                }
            }
        }
        std::string name;
        uint64_t k = r(100);
        if (k < 75 && !kids.empty()) {
            name = kids[r(kids.size())];
        } else if (k < 85) {
            name = "..";
        } else if (k < 92) {
            name = ".";
        } else {
            name = new_name();
        }
        names.push_back(name);
        // Follow along in the model so that later names exist.
        if (cur >= 0 && m_.nodes()[static_cast<uint64_t>(cur)].kind == KIND_DIR) {
            if (name == "..") {
                cur = m_.nodes()[static_cast<uint64_t>(cur)].parent;
            } else if (name != ".") {
                int64_t next = -1;
                for (uint64_t n = 0; n < NODE_CAP; n++) {
                    const auto& x = m_.nodes()[n];
                    if (x.kind != KIND_FREE && x.parent == cur && static_cast<int64_t>(n) != cur &&
                        x.name == name) {
                        next = static_cast<int64_t>(n);
                        break;
                    }
                }
                cur = next;
            }
        } else {
            cur = -1;
        }
    }
    return names;
}

uint64_t Sequence::write_offset(uint32_t fid) {
    int64_t slot = m_.fid_slot(fid);
    uint64_t size = 0;
    if (slot >= 0 && m_.fids()[static_cast<uint64_t>(slot)].node >= 0) {
        size = m_.nodes()[static_cast<uint64_t>(m_.fids()[static_cast<uint64_t>(slot)].node)].size;
    }
    uint64_t k = r(100);
    if (k < 45) return r(size + 1);
    if (k < 60) return size;
    if (k < 63) return r(CHAIN_LEN) * SLOT_CAP + (p(0.5) ? 0 : r(SLOT_CAP));
    if (k < 80) return r(size + 200000);
    if (k < 85) return SLOT_CAP * (1 + r(4)) - r(8);
    if (k < 87) return FILE_CAP - r(200);
    if (k < 93) return r(SLOT_CAP * 8);
    if (k < 97) return FILE_CAP + r(100);
    return ~0ull - r(1000);
}

Bytes Sequence::write_data() {
    uint64_t k = r(100);
    uint64_t len;
    if (k < 70) {
        len = r(300);
    } else if (k < 85) {
        len = r(5000);
    } else if (k < 93) {
        len = SLOT_CAP - r(3) + r(3);
    } else if (k < 97) {
        len = 100000;
    } else {
        len = SRV_BUF_CAP - 23 - r(2);
    }
    Bytes d(len);
    if (p(0.15)) return d;  // zeros: a slot that restores as a hole
    uint8_t base = static_cast<uint8_t>(r(256));
    for (uint64_t i = 0; i < len; i++) d[i] = static_cast<uint8_t>(base + i * 131 + (i >> 9));
    return d;
}

bool Sequence::op_attach() {
    static const std::vector<std::string> anames = {
        "", "/", "var", "/etc", "usr", "var/lib", "/var/", "nope", "//", "d1", "f1", "/d2"};
    uint32_t fid = p(0.85) ? free_fid() : any_fid();
    const std::string& a = anames[r(anames.size())];
    uint16_t t = tag();
    return exchange(tattach(t, fid, a), m_.attach(t, fid, a),
                    "Tattach " + std::to_string(fid) + " '" + a + "'");
}

bool Sequence::op_walk() {
    uint32_t fid = pick([&](const model::Fid& f) { return !f.open; });
    uint32_t newfid;
    uint64_t k = r(100);
    if (k < 30) {
        newfid = fid;
    } else if (k < 92) {
        newfid = free_fid();
    } else {
        newfid = any_fid();
    }
    auto names = walk_names(fid);
    std::string what = "Twalk " + std::to_string(fid) + "->" + std::to_string(newfid);
    for (const auto& n : names) what += " '" + n + "'";
    uint16_t t = tag();
    return exchange(twalk(t, fid, newfid, names), m_.walk(t, fid, newfid, names), what);
}

bool Sequence::op_open() {
    uint32_t fid = pick([&](const model::Fid& f) { return !f.open && f.node >= 0; });
    static const uint8_t modes[] = {P9_OREAD, P9_OWRITE, P9_ORDWR, P9_OEXEC};
    uint8_t mode = modes[r(4)];
    if (p(0.3)) mode |= P9_OTRUNC;
    if (p(0.05)) mode |= P9_ORCLOSE;
    uint16_t t = tag();
    dir_offset_[fid] = 0;
    return exchange(topen(t, fid, mode), m_.open(t, fid, mode),
                    "Topen " + std::to_string(fid) + " mode " + std::to_string(mode));
}

bool Sequence::op_create() {
    uint32_t fid = pick([&](const model::Fid& f) { return !f.open && kind_of(f) == KIND_DIR; });
    std::string name = new_name();
    uint32_t perm = p(0.3) ? DM_DIR | 0755 : 0644;
    static const uint8_t modes[] = {P9_OREAD, P9_OWRITE, P9_ORDWR, P9_OEXEC};
    uint8_t mode = modes[r(4)];
    if (p(0.1)) mode |= P9_OTRUNC;
    uint16_t t = tag();
    dir_offset_[fid] = 0;
    return exchange(tcreate(t, fid, name, perm, mode), m_.create(t, fid, name, perm, mode),
                    "Tcreate " + std::to_string(fid) + " '" + name + "' perm " +
                        std::to_string(perm) + " mode " + std::to_string(mode));
}

// Walk a new fid from a directory fid to one of its children (a file, or a
// directory to list) and open it: the fids that reads and writes go through.
bool Sequence::op_open_node() {
    uint32_t dir = pick([&](const model::Fid& f) { return !f.open && kind_of(f) == KIND_DIR; });
    int64_t slot = m_.fid_slot(dir);
    int64_t d = slot >= 0 ? m_.fids()[static_cast<uint64_t>(slot)].node : 0;
    bool want_dir = p(0.25);
    std::vector<std::string> kids;
    for (uint64_t n = 0; n < NODE_CAP; n++) {
        const auto& x = m_.nodes()[n];
        if (x.kind == KIND_FREE || x.parent != d || static_cast<int64_t>(n) == d) continue;
        if ((x.kind == KIND_DIR) == want_dir) kids.push_back(x.name);
    }
    std::vector<std::string> names;
    if (!kids.empty()) names.push_back(kids[r(kids.size())]);
    uint32_t fid = free_fid();
    uint16_t t = tag();
    Bytes expected = m_.walk(t, dir, fid, names);
    std::string what = "Twalk " + std::to_string(dir) + "->" + std::to_string(fid) +
                       (names.empty() ? "" : " '" + names[0] + "'");
    if (!exchange(twalk(t, dir, fid, names), expected, what)) return false;
    if (m_.fid_slot(fid) < 0) return true;
    static const uint8_t modes[] = {P9_OREAD, P9_OWRITE, P9_ORDWR, P9_ORDWR, P9_OEXEC};
    uint8_t mode = want_dir ? P9_OREAD : modes[r(5)];
    if (!want_dir && p(0.2)) mode |= P9_OTRUNC;
    t = tag();
    dir_offset_[fid] = 0;
    return exchange(topen(t, fid, mode), m_.open(t, fid, mode),
                    "Topen " + std::to_string(fid) + " mode " + std::to_string(mode));
}

// Clone a directory fid, create through the clone (usually a writable file),
// sometimes write to it, and usually clunk it: the way clients make files.
bool Sequence::op_new_node() {
    uint32_t dir = pick([&](const model::Fid& f) { return !f.open && kind_of(f) == KIND_DIR; });
    uint32_t fid = free_fid();
    uint16_t t = tag();
    if (!exchange(twalk(t, dir, fid, {}), m_.walk(t, dir, fid, {}),
                  "Twalk clone " + std::to_string(dir) + "->" + std::to_string(fid))) {
        return false;
    }
    std::string name = new_name();
    uint32_t perm = p(0.25) ? DM_DIR | 0755 : 0644;
    uint8_t mode = perm & DM_DIR ? P9_OREAD : (p(0.7) ? P9_ORDWR : P9_OWRITE);
    t = tag();
    if (!exchange(tcreate(t, fid, name, perm, mode), m_.create(t, fid, name, perm, mode),
                  "Tcreate " + std::to_string(fid) + " '" + name + "'")) {
        return false;
    }
    if (!(perm & DM_DIR) && p(0.6)) {
        Bytes d = write_data();
        uint64_t off = p(0.7) ? 0 : r(FILE_CAP);
        t = tag();
        if (!exchange(twrite(t, fid, off, d), m_.write(t, fid, off, d),
                      "Twrite " + std::to_string(fid) + " @" + std::to_string(off) + " +" +
                          std::to_string(d.size()))) {
            return false;
        }
    }
    if (p(0.75)) {
        t = tag();
        return exchange(tclunk(t, fid), m_.clunk(t, fid), "Tclunk " + std::to_string(fid));
    }
    return true;
}

bool Sequence::op_write() {
    uint32_t fid = pick([&](const model::Fid& f) {
        return f.open && kind_of(f) == KIND_FILE &&
               ((f.mode & 3) == P9_OWRITE || (f.mode & 3) == P9_ORDWR);
    });
    uint64_t off = write_offset(fid);
    Bytes d = write_data();
    uint16_t t = tag();
    return exchange(twrite(t, fid, off, d), m_.write(t, fid, off, d),
                    "Twrite " + std::to_string(fid) + " @" + std::to_string(off) + " +" +
                        std::to_string(d.size()));
}

bool Sequence::op_read() {
    uint32_t fid = pick([&](const model::Fid& f) { return f.open && kind_of(f) == KIND_FILE; });
    int64_t slot = m_.fid_slot(fid);
    uint64_t size = 0;
    if (slot >= 0 && m_.fids()[static_cast<uint64_t>(slot)].node >= 0) {
        size = m_.nodes()[static_cast<uint64_t>(m_.fids()[static_cast<uint64_t>(slot)].node)].size;
    }
    uint64_t off;
    uint64_t k = r(100);
    if (k < 50) {
        off = r(size + 1);
    } else if (k < 70) {
        off = r(size / SLOT_CAP + 2) * SLOT_CAP;
    } else if (k < 80) {
        off = size;
    } else if (k < 95) {
        off = r(FILE_CAP + 10);
    } else {
        off = ~0ull - r(10);
    }
    static const uint32_t counts[] = {0, 1, 10, 100, 4096, 65536, 131072, 0xffffffffu};
    uint32_t count = p(0.5) ? static_cast<uint32_t>(r(3000)) : counts[r(8)];
    uint16_t t = tag();
    return exchange(
        tread(t, fid, off, count), m_.read(t, fid, off, count),
        "Tread " + std::to_string(fid) + " @" + std::to_string(off) + " #" + std::to_string(count));
}

// A directory read: from 0, from where the last one on this fid ended, or
// from anywhere; with counts that fit one, several or no records.
bool Sequence::op_list() {
    uint32_t fid = pick([&](const model::Fid& f) { return f.open && kind_of(f) == KIND_DIR; });
    uint64_t off;
    uint64_t k = r(100);
    if (k < 30) {
        off = 0;
    } else if (k < 90) {
        off = dir_offset_[fid];
    } else {
        off = r(2000);
    }
    static const uint32_t counts[] = {0, 50, 66, 67, 70, 131, 200, 1000, 8192, 65536, 0xffffffffu};
    uint32_t count = p(0.4) ? static_cast<uint32_t>(r(600)) : counts[r(11)];
    uint16_t t = tag();
    Bytes expected = m_.read(t, fid, off, count);
    if (expected.size() >= 11 && expected[4] == P9_RREAD) {
        dir_offset_[fid] = off + (expected.size() - 11);
        if (expected.size() == 11) dir_offset_[fid] = 0;
    }
    return exchange(tread(t, fid, off, count), expected,
                    "Tread dir " + std::to_string(fid) + " @" + std::to_string(off) + " #" +
                        std::to_string(count));
}

bool Sequence::op_stat() {
    uint32_t fid = any_fid();
    uint16_t t = tag();
    return exchange(tstat(t, fid), m_.stat(t, fid), "Tstat " + std::to_string(fid));
}

bool Sequence::op_clunk() {
    uint32_t fid = any_fid();
    uint16_t t = tag();
    return exchange(tclunk(t, fid), m_.clunk(t, fid), "Tclunk " + std::to_string(fid));
}

bool Sequence::op_remove() {
    uint32_t fid = pick([&](const model::Fid& f) { return f.node != 0; });
    uint16_t t = tag();
    return exchange(tremove(t, fid), m_.remove(t, fid), "Tremove " + std::to_string(fid));
}

bool Sequence::op_version() {
    static const uint32_t msizes[] = {8192, 131072, 1048576, 0, 256, 65536};
    static const std::vector<std::string> versions = {"9P2000", "9P2000.L", "", "9P2000.u"};
    uint32_t msize = msizes[r(6)];
    const std::string& v = versions[r(4)];
    uint16_t t = p(0.5) ? P9_NOTAG : tag();
    dir_offset_.clear();
    return exchange(tversion(t, msize, v), m_.version(t, msize),
                    "Tversion " + std::to_string(msize));
}

bool Sequence::op_other() {
    uint16_t t = tag();
    switch (r(3)) {
        case 0:
            return exchange(tflush(t, static_cast<uint16_t>(r(65536))), m_.flush(t), "Tflush");
        case 1:
            return exchange(tauth(t, free_fid()), m_.unsupported(t), "Tauth");
        default: {
            uint32_t fid = any_fid();
            return exchange(q_wstat(t, fid), m_.wstat(t), "Twstat " + std::to_string(fid));
        }
    }
}

bool Sequence::op_fault() {
    // The store refuses the next few saves.
    int32_t mode = p(0.5) ? MEM_SAVE_FAIL : MEM_SAVE_SHORT;
    velmor_mem_store_fault(mode);
    m_.set_save_fault(true);
    fault_left_ = 1 + static_cast<int>(r(15));
    return true;
}

// Creates nodes in one directory until the node table refuses twice.
bool Sequence::burst_nodes() {
    uint32_t dir = pick([&](const model::Fid& f) { return !f.open && kind_of(f) == KIND_DIR; });
    int full = 0;
    for (int i = 0; i < 500 && full < 2; i++) {
        uint32_t fid = free_fid();
        uint16_t t = tag();
        Bytes expected = m_.walk(t, dir, fid, {});
        if (!exchange(twalk(t, dir, fid, {}), expected, "Twalk clone")) return false;
        if (expected[4] != P9_RWALK) return true;
        std::string name = "b" + std::to_string(r(100000));
        uint32_t perm = p(0.2) ? DM_DIR | 0755 : 0644;
        t = tag();
        expected = m_.create(t, fid, name, perm, P9_OWRITE);
        if (expected[4] == P9_RERROR) full++;
        if (!exchange(tcreate(t, fid, name, perm, P9_OWRITE), expected, "Tcreate " + name))
            return false;
        if (p(0.1) && expected[4] == P9_RCREATE && !(perm & DM_DIR)) {
            Bytes d(static_cast<size_t>(r(100)), static_cast<uint8_t>(i));
            t = tag();
            if (!exchange(twrite(t, fid, 0, d), m_.write(t, fid, 0, d), "Twrite small"))
                return false;
        }
        t = tag();
        if (!exchange(tclunk(t, fid), m_.clunk(t, fid), "Tclunk")) return false;
    }
    return true;
}

// Fills the data-slot pool: whole-chunk writes through a new file until the
// pool runs dry.
bool Sequence::burst_slots() {
    uint32_t dir = pick([&](const model::Fid& f) { return !f.open && kind_of(f) == KIND_DIR; });
    uint32_t fid = free_fid();
    uint16_t t = tag();
    Bytes expected = m_.walk(t, dir, fid, {});
    if (!exchange(twalk(t, dir, fid, {}), expected, "Twalk clone")) return false;
    if (expected[4] != P9_RWALK) return true;
    std::string name = "big" + std::to_string(r(1000));
    t = tag();
    expected = m_.create(t, fid, name, 0644, P9_ORDWR);
    if (!exchange(tcreate(t, fid, name, 0644, P9_ORDWR), expected, "Tcreate " + name)) return false;
    if (expected[4] != P9_RCREATE) return true;
    Bytes d(SLOT_CAP, static_cast<uint8_t>(1 + r(255)));
    uint64_t stride = 1 + r(2);  // every chunk, or every other (sparse)
    for (uint64_t c = 0; c < CHAIN_LEN; c += stride) {
        t = tag();
        if (!exchange(twrite(t, fid, c * SLOT_CAP, d), m_.write(t, fid, c * SLOT_CAP, d),
                      "Twrite chunk " + std::to_string(c))) {
            return false;
        }
        if (m_.slots_used() >= DATA_SLOT_CAP - 1 && p(0.3)) break;
    }
    t = tag();
    return exchange(tclunk(t, fid), m_.clunk(t, fid), "Tclunk");
}

// Establishes fids until the fid table refuses.
bool Sequence::burst_fids() {
    uint32_t from = pick([&](const model::Fid& f) { return !f.open && f.node >= 0; });
    for (int i = 0; i < 70; i++) {
        uint32_t fid = free_fid();
        uint16_t t = tag();
        Bytes expected = m_.walk(t, from, fid, {});
        if (!exchange(twalk(t, from, fid, {}), expected, "Twalk clone " + std::to_string(fid)))
            return false;
        if (expected[4] != P9_RWALK) break;
    }
    // Give most of them back.
    auto v = used_fids([](const model::Fid&) { return true; });
    for (uint32_t fid : v) {
        if (!p(0.8)) continue;
        uint16_t t = tag();
        if (!exchange(tclunk(t, fid), m_.clunk(t, fid), "Tclunk " + std::to_string(fid)))
            return false;
    }
    return true;
}

// Removes a random set of nodes, deepest first where it can.
bool Sequence::burst_remove() {
    uint32_t root = free_fid();
    uint16_t t = tag();
    Bytes expected = m_.attach(t, root, "");
    if (!exchange(tattach(t, root, ""), expected, "Tattach")) return false;
    if (expected[4] != P9_RATTACH) return true;
    for (int i = 0; i < 60; i++) {
        // A path to a random in-use node.
        std::vector<uint64_t> used;
        for (uint64_t n = 1; n < NODE_CAP; n++) {
            if (m_.nodes()[n].kind != KIND_FREE) used.push_back(n);
        }
        if (used.empty()) break;
        uint64_t n = used[r(used.size())];
        std::vector<std::string> path;
        for (uint64_t x = n; x != 0; x = static_cast<uint64_t>(m_.nodes()[x].parent)) {
            path.insert(path.begin(), m_.nodes()[x].name);
        }
        if (path.size() > P9_MAX_WELEM) continue;
        uint32_t fid = free_fid();
        t = tag();
        expected = m_.walk(t, root, fid, path);
        if (!exchange(twalk(t, root, fid, path), expected, "Twalk to remove")) return false;
        if (m_.fid_slot(fid) < 0) continue;
        t = tag();
        if (!exchange(tremove(t, fid), m_.remove(t, fid), "Tremove " + std::to_string(fid)))
            return false;
    }
    t = tag();
    return exchange(tclunk(t, root), m_.clunk(t, root), "Tclunk");
}

bool Sequence::run(uint64_t steps) {
    uint16_t t = tag();
    if (!exchange(tversion(t, 131072, "9P2000"), m_.version(t, 131072), "Tversion")) return false;
    t = tag();
    if (!exchange(tattach(t, 0, ""), m_.attach(t, 0, ""), "Tattach 0")) return false;

    // Weights per operation, in the order of the switch below.
    std::vector<double> w = {2, 8,   3,   3,   8,   16,   12,  5,   4,   9,
                             4, 0.4, 0.6, 0.5, 0.3, 0.08, 0.1, 0.1, 0.1, 10};
    if (profile_ == Profile::capacity) {
        w = {3, 8, 4, 3, 8, 12, 8, 4, 3, 8, 5, 0.5, 1, 1, 0.5, 1.5, 2, 1.5, 1.5, 8};
    }
    std::discrete_distribution<int> pick_op(w.begin(), w.end());
    while (step_ < steps) {
        if (fault_left_ > 0 && --fault_left_ == 0) {
            velmor_mem_store_fault(MEM_SAVE_OK);
            m_.set_save_fault(false);
        }
        // A client with no fid left attaches again.
        if (used_fids([](const model::Fid&) { return true; }).empty()) {
            t = tag();
            uint32_t fid = free_fid();
            if (!exchange(tattach(t, fid, ""), m_.attach(t, fid, ""), "Tattach")) return false;
        }
        bool ok = true;
        switch (pick_op(rng_)) {
            case 0:
                ok = op_attach();
                break;
            case 1:
                ok = op_walk();
                break;
            case 2:
                ok = op_open();
                break;
            case 3:
                ok = op_create();
                break;
            case 4:
                ok = op_new_node();
                break;
            case 5:
                ok = op_write();
                break;
            case 6:
                ok = op_read();
                break;
            case 7:
                ok = op_list();
                break;
            case 8:
                ok = op_stat();
                break;
            case 9:
                ok = op_clunk();
                break;
            case 10:
                ok = op_remove();
                break;
            case 11:
                ok = op_version();
                break;
            case 12:
                ok = op_other();
                break;
            case 13:
                ok = restart();
                break;
            case 14:
                ok = op_fault();
                break;
            case 15:
                ok = burst_nodes();
                break;
            case 16:
                ok = burst_slots();
                break;
            case 17:
                ok = burst_fids();
                break;
            case 18:
                ok = burst_remove();
                break;
            default:
                ok = op_open_node();
                break;
        }
        if (!ok) return false;
    }
    // The end: everything the model holds is what the server holds, and a
    // restart brings back the same tree.
    if (harness::dump_tree() != m_.dump()) {
        failure_ = "seed " + std::to_string(seed_) + " at the end: tree differs\n  server:\n" +
                   harness::dump_tree() + "  model:\n" + m_.dump();
        return false;
    }
    return restart();
}

// Runs count sequences from base (or the one TOLVANE_MODEL_SEED names).
void run_sequences(uint64_t base, uint64_t count, uint64_t steps, bool store, Profile profile) {
    base = env_u64("TOLVANE_MODEL_BASE", base);
    if (const char* s = std::getenv("TOLVANE_MODEL_SEED"); s != nullptr && *s != 0) {
        base = std::strtoull(s, nullptr, 0);
        count = 1;
    }
    count = env_u64("TOLVANE_MODEL_SEQS", count);
    steps = env_u64("TOLVANE_MODEL_STEPS", steps);
    uint64_t requests = 0;
    for (uint64_t i = 0; i < count; i++) {
        Sequence seq(base + i, store, profile);
        bool ok = seq.run(steps);
        seq.flush_recording();
        requests += seq.requests();
        if (!ok) {
            ADD_FAILURE() << seq.failure();
            return;
        }
    }
    ::testing::Test::RecordProperty("requests", static_cast<int>(requests));
    std::cout << count << " sequences, " << requests << " requests:\n";
    print_outcomes();
}

// The harness itself: the model's replies are the exact bytes the protocol
// fixes, and a server that drifts from the model is caught.
TEST(ModelHarness, KnownReplyBytes) {
    Model m(true);
    EXPECT_EQ(m.version(0xffff, 8192), (Bytes{0x13, 0, 0, 0, 0x65, 0xff, 0xff, 0x00, 0x20, 0, 0, 6,
                                              0, '9', 'P', '2', '0', '0', '0'}));
    EXPECT_EQ(m.attach(1, 0, ""),
              (Bytes{20, 0, 0, 0, P9_RATTACH, 1, 0, 0x80, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    // Root stat: 67-byte record, Rstat of 9 + 67 bytes.
    Bytes st = m.stat(2, 0);
    ASSERT_EQ(st.size(), 9u + 67u);
    EXPECT_EQ(st[7], 67);
    m.walk(3, 0, 1, {"etc"});
    m.create(4, 1, "a", 0644, P9_OWRITE);
    EXPECT_EQ(m.write(5, 1, 0, Bytes(10, 'x')), (Bytes{11, 0, 0, 0, P9_RWRITE, 5, 0, 10, 0, 0, 0}));
    m.clunk(6, 1);
    m.walk(7, 0, 2, {"etc", "a"});
    Bytes fst = m.stat(8, 2);
    ASSERT_EQ(fst.size(), 9u + 68u);
    EXPECT_EQ(m.remove(0x1234, 2), (Bytes{7, 0, 0, 0, 0x7b, 0x34, 0x12}));
    EXPECT_EQ(m.saves(), 2u);  // the dirty clunk and the remove
    EXPECT_EQ(m.unsupported(1).size(), 33u);
}

TEST(ModelHarness, DriftIsCaught) {
    Sequence seq(1, true, Profile::mixed);
    ASSERT_TRUE(seq.exchange(tversion(1, 8192, "9P2000"), seq.m().version(1, 8192), "Tversion"))
        << seq.failure();
    ASSERT_TRUE(seq.exchange(tattach(2, 0, ""), seq.m().attach(2, 0, ""), "Tattach"))
        << seq.failure();
    // The server's /etc gains a version behind the model's back: the next
    // walk there must be reported.
    node_vers[3]++;
    EXPECT_FALSE(seq.exchange(twalk(3, 0, 1, {"etc"}), seq.m().walk(3, 0, 1, {"etc"}), "Twalk"));
    EXPECT_NE(seq.failure().find("reply differs"), std::string::npos) << seq.failure();
    // A slot marked used that no chain holds breaks the tables.
    node_vers[3]--;
    dataslot_used[5] = 1;
    EXPECT_FALSE(seq.exchange(tstat(4, 0), seq.m().stat(4, 0), "Tstat"));
    EXPECT_NE(seq.failure().find("tables broken"), std::string::npos) << seq.failure();
}

// Trees of known shapes, built through real requests, restart to the same
// tree (and, when recording, give the image fuzzer its seeds): nested
// directories, files of 0, 1 and 66000 bytes, a sparse file, a file of zero
// bytes written, a 64-byte name, a removed row reused. (Small, so that the
// image stays a short fuzz seed.)
TEST(ModelHarness, ScriptedTreesRestore) {
    Sequence seq(7, true, Profile::mixed);
    Model& m = seq.m();
    uint16_t tag = 1;
    auto x = [&](const Bytes& req, const Bytes& expected, const std::string& what) {
        if (!seq.exchange(req, expected, what)) ADD_FAILURE() << seq.failure();
    };
    auto make = [&](uint32_t dirfid, uint32_t fid, const std::string& name, uint32_t perm) {
        x(twalk(tag, dirfid, fid, {}), m.walk(tag, dirfid, fid, {}), "clone");
        tag++;
        x(tcreate(tag, fid, name, perm, P9_ORDWR & 3), m.create(tag, fid, name, perm, P9_ORDWR),
          "create " + name);
        tag++;
    };
    auto put = [&](uint32_t fid, uint64_t off, const Bytes& d) {
        x(twrite(tag, fid, off, d), m.write(tag, fid, off, d), "write");
        tag++;
    };
    auto clunk = [&](uint32_t fid) {
        x(tclunk(tag, fid), m.clunk(tag, fid), "clunk");
        tag++;
    };
    x(tversion(tag, 131072, "9P2000"), m.version(tag, 131072), "version");
    x(tattach(tag, 0, ""), m.attach(tag, 0, ""), "attach");
    make(0, 1, "a", DM_DIR | 0755);
    make(1, 2, "b", DM_DIR | 0755);
    clunk(2);
    make(0, 3, "empty", 0644);
    clunk(3);
    make(0, 3, "one", 0644);
    put(3, 0, Bytes{'!'});
    clunk(3);
    make(0, 3, "big", 0644);
    Bytes big(66000);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i * 7 + 3);
    put(3, 0, big);
    clunk(3);
    make(0, 3, "sparse", 0644);
    put(3, 65600, Bytes{0x5a});
    clunk(3);
    make(0, 3, "zeros", 0644);
    put(3, 0, Bytes(3000, 0));
    clunk(3);
    make(0, 3, std::string(64, 'L'), 0644);
    put(3, 10, Bytes{1, 2, 3});
    clunk(3);
    // Remove "empty" and reuse its row.
    x(twalk(tag, 0, 4, {"empty"}), m.walk(tag, 0, 4, {"empty"}), "walk empty");
    tag++;
    x(tremove(tag, 4), m.remove(tag, 4), "remove empty");
    tag++;
    make(0, 3, "reused", 0644);
    put(3, 65536, Bytes(10, 0xee));
    clunk(3);
    clunk(1);
    EXPECT_TRUE(seq.restart()) << seq.failure();
    // After the restart: read every file back through the server.
    x(tversion(tag, 131072, "9P2000"), m.version(tag, 131072), "version");
    x(tattach(tag, 0, ""), m.attach(tag, 0, ""), "attach");
    for (const std::string name : {"one", "big", "sparse", "zeros", "reused"}) {
        x(twalk(tag, 0, 5, {name}), m.walk(tag, 0, 5, {name}), "walk " + name);
        x(topen(tag, 5, P9_OREAD), m.open(tag, 5, P9_OREAD), "open " + name);
        for (uint64_t off : {0ull, 2999ull, 65536ull, 65599ull, 65600ull, 65601ull}) {
            x(tread(tag, 5, off, 8192), m.read(tag, 5, off, 8192), "read " + name);
        }
        x(tclunk(tag, 5), m.clunk(tag, 5), "clunk");
    }
    x(topen(tag, 0, P9_OREAD), m.open(tag, 0, P9_OREAD), "open root");
    x(tread(tag, 0, 0, 65536), m.read(tag, 0, 0, 65536), "list root");
}

// Sanitizer builds run the same sequences, fewer of them, to stay quick.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kScale = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint64_t kScale = 4;
#else
constexpr uint64_t kScale = 1;
#endif
#else
constexpr uint64_t kScale = 1;
#endif

TEST(Model, MixedSequences) {
    run_sequences(kDefaultBase, 24 / kScale, kScale == 1 ? 500 : 400, true, Profile::mixed);
}

TEST(Model, CapacitySequences) {
    run_sequences(kDefaultBase + 1000, 8 / kScale, 700, true, Profile::capacity);
}

TEST(Model, NoBackingStore) {
    run_sequences(kDefaultBase + 2000, 4 / kScale, 300, false, Profile::mixed);
}

}  // namespace
