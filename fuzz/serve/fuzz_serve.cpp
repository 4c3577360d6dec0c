// Fuzzes the whole request path: bytes in through the in-memory kernel, the
// real request step (serve_one) and every handler, the tables checked after
// each request.
//
// The first byte chooses the mode:
// - even: the rest is a raw request stream, handed out in reads of at most
//   (byte >> 1) & 7 bytes (0: as many as asked), served until a step answers
//   anything but 1; bit 4 makes the stream fail at its end, bit 5 cuts every
//   reply write short;
// - odd, bit 1 clear: the rest is a program of small operations, each building
//   one well-formed request with the codec (plus save-and-restart, store faults
//   and raw messages), so that inputs reach deep into the tree store;
// - odd, bit 1 set: a program of the same kind run against the server and the
//   model test's reference model at once (tests/support/model.h): every reply
//   must be the model's, byte for byte.
//
// After every request: the tables hold (tree_check.h), and when the step
// answered 1 exactly one reply was written, whole, with the request's tag and
// the matching reply type or an Rerror. In program mode a well-formed request
// must never end the stream, and a tree the server saves must restore to the
// same tree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "harness.h"
#include "kernel/memory/memory.h"
#include "model.h"
#include "tolvane/tolvane.h"
#include "tree_check.h"

using namespace tolvane;

namespace {

// Every save serialises the whole tree (up to 5 MiB): an input stops once its
// saves have moved this many bytes, so that no single input runs for seconds.
constexpr uint64_t kSaveBudget = uint64_t{96} << 20;

bool over_budget() {
    return velmor_mem_save_bytes() > kSaveBudget;
}

// Where the next request starts (its header is read before the step, which
// overwrites srv_buf with the reply): in data (raw mode) or req (program mode).
const uint8_t* g_next = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_serve: %s\n", what.c_str());
    std::abort();
}

// Serves one request that stands at the start of the unread input; returns the
// step's result after checking the reply and the tables.
int32_t step_checked() {
    uint8_t type = 0;
    uint16_t tag = 0;
    bool have_header = velmor_mem_input_left() >= 7;
    velmor_mem_output_clear();
    if (have_header) {
        type = g_next[4];
        tag = harness::le16(g_next + 5);
    }
    int32_t r = serve_one();
    if (r == 1) {
        std::string bad =
            harness::check_reply(type, tag, velmor_mem_output(), velmor_mem_output_len());
        if (!bad.empty()) fail("request type " + std::to_string(type) + ": " + bad);
    } else if (velmor_mem_output_len() != 0 && r == 0) {
        fail("end of stream with a reply written");
    }
    std::string broken = tree_check::check_tree();
    if (!broken.empty()) fail("after request type " + std::to_string(type) + ": " + broken);
    return r;
}

// ---- Raw mode ----

void run_raw(const uint8_t* data, size_t size, uint8_t mode) {
    velmor_mem_read_chunk((mode >> 1) & 7);
    // Bit 4: the stream fails at its end instead of ending. Bit 5: replies are
    // written short (0 to 15 bytes), a failed reply.
    velmor_mem_read_fail_at_end((mode >> 4) & 1);
    if (mode & 0x20) velmor_mem_write_limit(static_cast<int64_t>(mode >> 6) * 5);
    velmor_mem_input(data, size);
    for (;;) {
        g_next = data + (size - velmor_mem_input_left());
        if (step_checked() != 1 || over_budget()) return;
    }
}

// ---- Program mode ----

using Src = tolvane_test::FuzzInput;

const std::string kNames[] = {
    "a",
    "b",
    "c",
    "dir",
    "var",
    "etc",
    "usr",
    "lib",
    "dpkg",
    "info",
    ".",
    "..",
    "...",
    "",
    "A",
    "x/y",
    std::string("n\0l", 3),
    std::string(64, 'x'),
    std::string(65, 'y'),
    "apt",
    "www",
    "cache",
    "archives",
    "f1",
    "f2",
    "f3",
    "d1",
    "d2",
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

uint32_t pick_fid(Src& s) {
    uint8_t b = s.u8();
    if (b < 240) return b % 10;
    if (b < 250) return P9_NOFID;
    return s.u32();
}

const std::string& pick_name(Src& s) {
    return kNames[s.u8() % kNameCount];
}

uint64_t pick_offset(Src& s) {
    static const uint64_t table[] = {0,       1,       10,      65535,   65536,   65537,
                                     70000,   131072,  200000,  1000000, 4194300, 4194303,
                                     4194304, 4194305, 5000000, ~0ull};
    uint8_t b = s.u8();
    if (b < 200) return table[b % 16];
    if (b < 240) return s.u32() % (FILE_CAP + 2);
    return s.u64();
}

uint32_t pick_len(Src& s) {
    static const uint32_t table[] = {0, 1, 2, 10, 100, 4096, 65535, 65536, 65537, 100000, 131049};
    uint8_t b = s.u8();
    if (b < 220) return table[b % 11];
    return s.u16();
}

uint32_t pick_count(Src& s) {
    static const uint32_t table[] = {0,   1,    10,    66,     67,     100,
                                     200, 4096, 65536, 131072, 131056, 0xffffffffu};
    uint8_t b = s.u8();
    if (b < 220) return table[b % 12];
    return s.u32();
}

uint8_t pick_mode(Src& s) {
    static const uint8_t table[] = {P9_OREAD,
                                    P9_OWRITE,
                                    P9_ORDWR,
                                    P9_OEXEC,
                                    P9_OWRITE | P9_OTRUNC,
                                    P9_ORDWR | P9_OTRUNC,
                                    P9_OREAD | P9_OTRUNC,
                                    P9_OEXEC | P9_OTRUNC};
    uint8_t b = s.u8();
    if (b < 240) return table[b % 8];
    return s.u8();
}

std::vector<uint8_t> req(SRV_BUF_CAP);
std::vector<uint8_t> payload(SRV_BUF_CAP);

// Sends the request built in req[0, len) and requires it to be served.
void send_wellformed(int32_t len, const char* what) {
    if (len < 0) fail(std::string("could not build ") + what);
    g_next = req.data();
    velmor_mem_input(req.data(), static_cast<uint64_t>(len));
    int32_t r = step_checked();
    if (r != 1)
        fail(std::string("well-formed ") + what + " ended the stream: " + std::to_string(r));
    if (req[4] == P9_TFLUSH && velmor_mem_output()[4] != P9_RFLUSH)
        fail("Tflush not answered by Rflush");
}

const uint8_t* u8p(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

void restart() {
    std::string before = harness::dump_tree();
    bool accepted = false;
    uint64_t len = harness::save_and_restart(&accepted);
    if (len == 0) return;  // too large to save: nothing changed
    if (!accepted)
        fail("an image the server wrote (" + std::to_string(len) + " bytes) was rejected");
    std::string after = harness::dump_tree();
    if (before != after) fail("restored tree differs:\n" + before + "----\n" + after);
    std::string broken = tree_check::check_tree();
    if (!broken.empty()) fail("after restore: " + broken);
}

// Reads a directory through fid from offset 0 on, continuing where each read
// ended, until an empty reply or an Rerror; every reply must hold whole records.
void list_dir(Src& s, uint32_t fid) {
    uint32_t count = pick_count(s);
    uint64_t offset = 0;
    for (int rounds = 0; rounds < 400; rounds++) {
        p9_cursor c;
        p9_cursor_init(&c, req.data(), req.size());
        send_wellformed(p9_emit_tread(&c, 7, fid, offset, count), "Tread");
        const uint8_t* out = velmor_mem_output();
        uint64_t olen = velmor_mem_output_len();
        if (out[4] != P9_RREAD) return;
        uint16_t tag;
        const uint8_t* d;
        uint32_t n;
        if (p9_decode_rread(out, olen, &tag, &d, &n) < 0) fail("Rread does not decode");
        if (n > count) fail("Rread longer than the count");
        if (n == 0) return;
        // A file read ends here too: whole records are only asked of directories.
        uint64_t pos = 0;
        bool records = true;
        while (pos < n) {
            uint16_t t;
            uint32_t dev, mode, at, mt;
            uint8_t qt;
            uint32_t qv;
            uint64_t qp, length;
            const uint8_t *nm, *u, *g, *m;
            uint64_t nl, ul, gl, ml;
            int64_t r = p9_decode_stat(d, n, pos, &t, &dev, &qt, &qv, &qp, &mode, &at, &mt, &length,
                                       &nm, &nl, &u, &ul, &g, &gl, &m, &ml);
            if (r <= 0) {
                records = false;
                break;
            }
            pos += static_cast<uint64_t>(r);
        }
        int64_t slot = fid_lookup(fid);
        bool is_dir =
            slot >= 0 && fid_node[static_cast<uint64_t>(slot)] >= 0 &&
            node_kind[static_cast<uint64_t>(fid_node[static_cast<uint64_t>(slot)])] == KIND_DIR;
        if (is_dir && !records) fail("directory read split a record");
        offset += n;
    }
}

void run_program(const uint8_t* data, size_t size) {
    Src s{data, size};
    int ops = 0;
    while (!s.done() && ops++ < 400 && !over_budget()) {
        uint8_t op = s.u8() % 18;
        p9_cursor c;
        p9_cursor_init(&c, req.data(), req.size());
        uint16_t tag = static_cast<uint16_t>(s.u8());
        switch (op) {
            case 0: {
                static const uint32_t msizes[] = {8192, 131072, 1048576, 0, 256};
                static const std::string versions[] = {"9P2000", "9P2000.L", "", "x"};
                const std::string& v = versions[s.u8() % 4];
                send_wellformed(p9_emit_tversion(&c, tag, msizes[s.u8() % 5], u8p(v), v.size()),
                                "Tversion");
                break;
            }
            case 1: {
                static const std::string anames[] = {"",        "/",  "var",  "/etc", "usr",
                                                     "var/lib", "//", "nope", "d1",   "a"};
                const std::string& a = anames[s.u8() % 10];
                send_wellformed(
                    p9_emit_tattach(&c, tag, pick_fid(s), P9_NOFID, u8p(a), 1, u8p(a), a.size()),
                    "Tattach");
                break;
            }
            case 2: {
                uint32_t fid = pick_fid(s);
                uint32_t newfid = s.u8() & 1 ? fid : pick_fid(s);
                uint16_t nw = static_cast<uint16_t>(s.u8() % 5);
                if (nw == 4 && s.u8() & 1) nw = P9_MAX_WELEM;
                const uint8_t* names[P9_MAX_WELEM];
                uint64_t lens[P9_MAX_WELEM];
                for (uint16_t i = 0; i < nw; i++) {
                    const std::string& n = pick_name(s);
                    names[i] = u8p(n);
                    lens[i] = n.size();
                }
                send_wellformed(p9_emit_twalk(&c, tag, fid, newfid, nw, names, lens), "Twalk");
                break;
            }
            case 3:
                send_wellformed(p9_emit_topen(&c, tag, pick_fid(s), pick_mode(s)), "Topen");
                break;
            case 4: {
                uint32_t fid = pick_fid(s);
                const std::string& n = pick_name(s);
                uint32_t perm = s.u8() & 1 ? DM_DIR | 0755 : 0644;
                send_wellformed(p9_emit_tcreate(&c, tag, fid, u8p(n), n.size(), perm, pick_mode(s)),
                                "Tcreate");
                break;
            }
            case 5: {
                uint32_t fid = pick_fid(s);
                uint64_t off = pick_offset(s);
                uint32_t len = pick_len(s);
                uint8_t fill = s.u8();
                for (uint32_t i = 0; i < len; i++) payload[i] = static_cast<uint8_t>(fill + i * 7);
                send_wellformed(p9_emit_twrite(&c, tag, fid, off, payload.data(), len), "Twrite");
                break;
            }
            case 6:
                send_wellformed(p9_emit_tread(&c, tag, pick_fid(s), pick_offset(s), pick_count(s)),
                                "Tread");
                break;
            case 7:
                send_wellformed(p9_emit_tclunk(&c, tag, pick_fid(s)), "Tclunk");
                break;
            case 8:
                send_wellformed(p9_emit_tstat(&c, tag, pick_fid(s)), "Tstat");
                break;
            case 9:
                send_wellformed(p9_emit_tremove(&c, tag, pick_fid(s)), "Tremove");
                break;
            case 10: {
                uint8_t kind = s.u8() % 3;
                if (kind == 0) {
                    send_wellformed(p9_emit_tflush(&c, tag, s.u16()), "Tflush");
                } else if (kind == 1) {
                    send_wellformed(p9_emit_tauth(&c, tag, pick_fid(s), u8p("u"), 1, u8p(""), 0),
                                    "Tauth");
                } else {
                    const std::string n = "z";
                    static const uint8_t velmor[] = {'v', 'e', 'l', 'm', 'o', 'r'};
                    send_wellformed(p9_emit_twstat(&c, tag, pick_fid(s), 0, 0, 0, 0, 0, 0644, 0, 0,
                                                   5, u8p(n), 1, velmor, 6, velmor, 6, velmor, 6),
                                    "Twstat");
                }
                break;
            }
            case 11:
                restart();
                break;
            case 12: {
                static const int32_t faults[] = {MEM_SAVE_OK, MEM_SAVE_OK, MEM_SAVE_FAIL,
                                                 MEM_SAVE_SHORT};
                velmor_mem_store_fault(faults[s.u8() % 4]);
                break;
            }
            case 13: {
                // A raw message: whatever follows, up to a length byte's worth.
                size_t n = s.u8();
                if (n > s.n - s.i) n = s.n - s.i;
                velmor_mem_input(s.p + s.i, n);
                g_next = s.p + s.i;
                s.i += n;
                int32_t r = step_checked();
                if (r != 1) return;
                break;
            }
            case 14:
                list_dir(s, pick_fid(s));
                break;
            case 15: {
                // Fill up: create files under a fresh fid on the root until the
                // node table is full.
                uint32_t fid = 20;
                int rounds = s.u8();
                for (int i = 0; i < rounds * 2 && !over_budget(); i++) {
                    p9_cursor_init(&c, req.data(), req.size());
                    const uint8_t* none[1] = {nullptr};
                    uint64_t zero[1] = {0};
                    send_wellformed(p9_emit_twalk(&c, tag, 0, fid, 0, none, zero), "Twalk");
                    if (velmor_mem_output()[4] != P9_RWALK) break;
                    std::string n = "g" + std::to_string(i) + "_" + std::to_string(s.i);
                    p9_cursor_init(&c, req.data(), req.size());
                    send_wellformed(
                        p9_emit_tcreate(&c, tag, fid, u8p(n), n.size(), 0644, P9_OWRITE),
                        "Tcreate");
                    p9_cursor_init(&c, req.data(), req.size());
                    send_wellformed(p9_emit_tclunk(&c, tag, fid), "Tclunk");
                }
                break;
            }
            case 16: {
                // A write of a whole slot's worth through a fid, to reach the
                // pool's limit quickly.
                uint32_t fid = pick_fid(s);
                uint64_t chunk = s.u8() % 70;
                for (uint32_t i = 0; i < 65536; i++) payload[i] = static_cast<uint8_t>(i + chunk);
                send_wellformed(
                    p9_emit_twrite(&c, tag, fid, chunk * SLOT_CAP, payload.data(), 65536),
                    "Twrite");
                break;
            }
            default:
                // Attach fid 0 to the root and walk fid 1 to a name under it: the
                // usual opening of a session.
                send_wellformed(p9_emit_tattach(&c, tag, 0, P9_NOFID, u8p("u"), 1, u8p(""), 0),
                                "Tattach");
                break;
        }
    }
}

// ---- Model mode ----
// The program is run against the server and the reference model of the model
// test at once; every reply must be the model's, byte for byte.

void expect_model(const model::Bytes& expected, const char* what, const model::Model& m) {
    model::Bytes got(velmor_mem_output(), velmor_mem_output() + velmor_mem_output_len());
    if (got != expected) {
        std::string e, g;
        for (uint8_t b : expected) e += std::to_string(b) + " ";
        for (uint8_t b : got) g += std::to_string(b) + " ";
        fail(std::string(what) + ": reply differs from the model's\n  model:  " + e.substr(0, 300) +
             "\n  server: " + g.substr(0, 300));
    }
    if (velmor_mem_store_saves(0) != m.saves()) {
        fail(std::string(what) + ": server saved " + std::to_string(velmor_mem_store_saves(0)) +
             " times, model " + std::to_string(m.saves()));
    }
}

void run_model(const uint8_t* data, size_t size) {
    Src s{data, size};
    model::Model m(true);
    int ops = 0;
    while (!s.done() && ops++ < 300 && !over_budget()) {
        uint8_t op = s.u8() % 15;
        p9_cursor c;
        p9_cursor_init(&c, req.data(), req.size());
        uint16_t tag = static_cast<uint16_t>(s.u8());
        switch (op) {
            case 0: {
                static const uint32_t msizes[] = {8192, 131072, 1048576, 0};
                uint32_t msize = msizes[s.u8() % 4];
                send_wellformed(p9_emit_tversion(&c, tag, msize, u8p("9P2000"), 6), "Tversion");
                expect_model(m.version(tag, msize), "Tversion", m);
                break;
            }
            case 1: {
                static const std::string anames[] = {"",        "/",    "var", "/etc",
                                                     "var/lib", "nope", "d1",  "a"};
                const std::string& a = anames[s.u8() % 8];
                uint32_t fid = pick_fid(s);
                send_wellformed(
                    p9_emit_tattach(&c, tag, fid, P9_NOFID, u8p(a), 1, u8p(a), a.size()),
                    "Tattach");
                expect_model(m.attach(tag, fid, a), "Tattach", m);
                break;
            }
            case 2: {
                uint32_t fid = pick_fid(s);
                uint32_t newfid = s.u8() & 1 ? fid : pick_fid(s);
                uint16_t nw = static_cast<uint16_t>(s.u8() % 5);
                std::vector<std::string> names;
                const uint8_t* ps[P9_MAX_WELEM];
                uint64_t ls[P9_MAX_WELEM];
                for (uint16_t i = 0; i < nw; i++) names.push_back(pick_name(s));
                for (uint16_t i = 0; i < nw; i++) {
                    ps[i] = u8p(names[i]);
                    ls[i] = names[i].size();
                }
                send_wellformed(p9_emit_twalk(&c, tag, fid, newfid, nw, ps, ls), "Twalk");
                expect_model(m.walk(tag, fid, newfid, names), "Twalk", m);
                break;
            }
            case 3: {
                uint32_t fid = pick_fid(s);
                uint8_t mode = pick_mode(s);
                send_wellformed(p9_emit_topen(&c, tag, fid, mode), "Topen");
                expect_model(m.open(tag, fid, mode), "Topen", m);
                break;
            }
            case 4: {
                uint32_t fid = pick_fid(s);
                const std::string& n = pick_name(s);
                uint32_t perm = s.u8() & 1 ? DM_DIR | 0755 : 0644;
                uint8_t mode = pick_mode(s);
                send_wellformed(p9_emit_tcreate(&c, tag, fid, u8p(n), n.size(), perm, mode),
                                "Tcreate");
                expect_model(m.create(tag, fid, n, perm, mode), "Tcreate", m);
                break;
            }
            case 5:
            case 13: {
                uint32_t fid = pick_fid(s);
                uint64_t off = op == 5 ? pick_offset(s) : (s.u8() % 66) * SLOT_CAP;
                uint32_t len = op == 5 ? pick_len(s) : static_cast<uint32_t>(SLOT_CAP);
                uint8_t fill = s.u8();
                model::Bytes d(len);
                for (uint32_t i = 0; i < len; i++)
                    d[i] = fill == 0 ? 0 : static_cast<uint8_t>(fill + i * 7);
                send_wellformed(p9_emit_twrite(&c, tag, fid, off, d.data(), len), "Twrite");
                expect_model(m.write(tag, fid, off, d), "Twrite", m);
                break;
            }
            case 6: {
                uint32_t fid = pick_fid(s);
                uint64_t off = s.u8() & 1 ? pick_offset(s) : s.u16();
                uint32_t count = pick_count(s);
                send_wellformed(p9_emit_tread(&c, tag, fid, off, count), "Tread");
                expect_model(m.read(tag, fid, off, count), "Tread", m);
                break;
            }
            case 7: {
                uint32_t fid = pick_fid(s);
                send_wellformed(p9_emit_tclunk(&c, tag, fid), "Tclunk");
                expect_model(m.clunk(tag, fid), "Tclunk", m);
                break;
            }
            case 8: {
                uint32_t fid = pick_fid(s);
                send_wellformed(p9_emit_tstat(&c, tag, fid), "Tstat");
                expect_model(m.stat(tag, fid), "Tstat", m);
                break;
            }
            case 9: {
                uint32_t fid = pick_fid(s);
                send_wellformed(p9_emit_tremove(&c, tag, fid), "Tremove");
                expect_model(m.remove(tag, fid), "Tremove", m);
                break;
            }
            case 10:
                send_wellformed(p9_emit_tflush(&c, tag, s.u16()), "Tflush");
                expect_model(m.flush(tag), "Tflush", m);
                break;
            case 11: {
                // End of stream and a new process on the same store.
                (void)tln_save_to_disk();
                velmor_mem_store_fault(MEM_SAVE_OK);
                int32_t restored = harness::restart_process();
                bool expect = m.restart();
                if (restored != (expect ? 1 : 0))
                    fail("restart: load answered " + std::to_string(restored));
                if (harness::dump_tree() != m.dump()) {
                    fail("restart: tree differs\n" + harness::dump_tree() + "----\n" + m.dump());
                }
                std::string broken = tree_check::check_tree();
                if (!broken.empty()) fail("after restart: " + broken);
                break;
            }
            case 12: {
                bool on = s.u8() & 1;
                velmor_mem_store_fault(on ? MEM_SAVE_FAIL : MEM_SAVE_OK);
                m.set_save_fault(on);
                break;
            }
            default: {
                uint32_t fid = pick_fid(s);
                send_wellformed(p9_emit_tauth(&c, tag, fid, u8p("u"), 1, u8p(""), 0), "Tauth");
                expect_model(m.unsupported(tag), "Tauth", m);
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    harness::reset_process(true);
    if (size == 0) return 0;
    uint8_t mode = data[0];
    if ((mode & 1) == 0) {
        run_raw(data + 1, size - 1, mode);
    } else if ((mode & 2) == 0) {
        run_program(data + 1, size - 1);
    } else {
        run_model(data + 1, size - 1);
    }
    return 0;
}
