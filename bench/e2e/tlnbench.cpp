// tlnbench: end-to-end benchmark of a 9P2000 server that speaks on its
// standard input and output, against a floor (nullserver) run in the same
// invocation. Every workload starts a fresh server process per rep and per
// server, alternating the two rep by rep (even reps server first, odd reps
// floor first), and reports medians and the per-rep ratio server/floor.
//
// --post starts both as "CMD post NAME" in a registry of their own and talks
// to the posted socket, so every request passes the stand-in's multiplexer;
// --clients N (with --post) runs rtt and stat as N connections at once, each
// in its own thread, and reports their aggregate rate. --floor-stdio (with
// --post) runs the floor on stdio, one connection, so that with the same
// binary as server and floor the ratio is the posted path against stdio in
// one run.
//
// Usage: tlnbench [--server 'CMD ARGS'] [--floor 'CMD ARGS'] [--cpus A,B]
//                 [--reps N] [--quick] [--scale F] [--only ID,...] [--msize N]
//                 [--tmpfs-dir DIR] [--disk-dir DIR] [--json PATH] [--list]
//                 [--no-verify] [--post] [--clients N] [--floor-stdio]
#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include "9p/9p.h"
#include "client.h"
#include "stat.h"

namespace fs = std::filesystem;
using namespace tlnbench;

namespace {

// Sizes the workloads are built around.
constexpr uint64_t io_file_len = 3u << 20;   // the read/write file
constexpr uint32_t small_write_len = 100;    // per created file
constexpr int listing_entries = 100;         // the readdir directory
constexpr uint64_t image_fixed_len = 38792;  // tolvane's image without file contents
constexpr uint64_t image_cap = 5u << 20;     // tolvane's largest image
constexpr uint64_t slot_len = 65536;
constexpr uint64_t dense_5m_len = 62 * slot_len;  // 62 data slots of live data ...
// ... plus one file whose only written byte is its last, so the image carries
// its whole length (holes as zeros) and reaches the image cap exactly.
constexpr uint64_t sparse_5m_len = image_cap - image_fixed_len - dense_5m_len;

// Fids used by the workloads.
constexpr uint32_t root_fid = 0, dir_fid = 1, work_fid = 2, aux_fid = 3;

struct Options {
    Command server, floor;
    int cpu_driver = -1, cpu_server = -1;
    int reps = 5;
    bool quick = false;
    double scale = 1;
    std::vector<std::string> only;
    uint32_t msize = 131072;
    std::string tmpfs_dir = "/dev/shm", disk_dir = "/var/tmp", json_path;
    bool list = false;
    bool verify = true;  // check contents (data, listing, restored image) of the server under test
    bool post = false;   // through the multiplexer of a posted server, not stdio
    int clients = 1;     // connections at once for rtt and stat (with post)
    bool floor_stdio = false;  // with post: the floor on stdio, one connection
};

struct Counts {
    int rtt = 20000, stat = 20000, walk3 = 20000;
    int batch = 50, cycles_none = 20, cycles_tmpfs = 4, cycles_disk = 1;
    int io_passes = 8, listings = 5000, starts = 20;
};

struct Server {
    std::string label;
    Command cmd;
    bool floor;
};

// One figure of one run: the rate (or, for startup, the time in us) and the
// server's own CPU time per unit of the rate (per op, file, MiB, listing), in us.
struct Figure {
    double value, cpu_us;
};

struct Row {
    Row(std::string n, std::string u, bool lower = false)
        : name(std::move(n)), unit(std::move(u)), lower_is_better(lower) {}
    std::string name, unit;
    bool lower_is_better;
    std::vector<double> server, floor;          // per rep
    std::vector<double> server_cpu, floor_cpu;  // per rep
};

// One workload variant: runs once per rep and server, giving one figure per row.
struct Unit {
    std::string id;
    std::vector<Row> rows;
    std::function<std::vector<Figure>(const Server&)> run;
};

Options opts;
Counts counts;
std::string scratch;           // on tmpfs: logs, stores, images
std::string disk_scratch;      // on disk: stores
uint64_t listing_len = 0;      // learned from the server under test
std::vector<uint8_t> pattern;  // write data
std::string image_1m_dir, image_5m_dir;
uint64_t image_1m_len = 0, image_5m_len = 0;

int scaled(int n) {
    return std::max(1, int(n * opts.scale));
}

std::string make_temp_dir(const std::string& parent, const std::string& stem) {
    std::string templ = parent + "/" + stem + "-XXXXXX";
    if (!mkdtemp(templ.data())) throw Failure("mkdtemp under " + parent + ": " + strerror(errno));
    return templ;
}

// Starts s with the store and read-limit environment given; everything else
// inherits. VELMOR_STORE is always set so no run touches a default store.
bool posted(const Server& s) {
    return opts.post && !(s.floor && opts.floor_stdio);
}

std::unique_ptr<Conn> start(const Server& s, const std::string& store = "", uint64_t null_eof = 0) {
    EnvChanges env{{"VELMOR_STORE", store},
                   {"NULLSERVER_EOF", null_eof ? std::to_string(null_eof) : env_unset}};
    return std::make_unique<Conn>(s.cmd, env, opts.cpu_server, scratch + "/" + s.label + ".log",
                                  posted(s) ? make_temp_dir(scratch, "srv") : "");
}

// Tversion + Tattach of the root fid.
void session(Conn& c) {
    c.version(opts.msize);
    c.attach(root_fid);
}

void finish(Conn& c, const Server& s) {
    int status = c.hang_up();
    if (status != 0)
        throw Failure(s.label + " exited with status " + std::to_string(status) + " after hang-up");
}

void mkdir_in(Conn& c, uint32_t parent, std::string_view name) {
    c.walk(parent, aux_fid);
    c.create(aux_fid, name, P9_DMDIR | 0755, P9_OREAD);
    c.clunk(aux_fid);
}

std::string entry_name(const char* stem, int i) {
    char b[32];
    snprintf(b, sizeof b, "%s%03d", stem, i);
    return b;
}

// Wall time and server CPU time of one or more timed stretches of a run.
struct Section {
    explicit Section(const Conn& conn) : c(conn) {}
    void begin() { w0 = now(), c0 = c.cpu_time(); }
    void end() { wall += now() - w0, cpu += c.cpu_time() - c0; }
    Figure rate(double units) const { return {units / wall, cpu / units * 1e6}; }
    const Conn& c;
    double wall = 0, cpu = 0, w0 = 0, c0 = 0;
};

// Loop of n timed iterations after a short untimed warm-up; per-iteration rate.
Figure timed_rate(const Conn& c, int n, const std::function<void()>& body) {
    for (int i = 0, w = std::max(1, n / 20); i < w; i++) body();
    Section t(c);
    t.begin();
    for (int i = 0; i < n; i++) body();
    t.end();
    return t.rate(n);
}

// n iterations of body in all, shared out among opts.clients connections to
// c's posted server (c and further ones), each in its own thread and with its
// own warm-up; timed from when all are warm until the last is done. The
// aggregate rate, and the server's CPU time per iteration.
Figure timed_rate_clients(Conn& c, int n, const std::function<void(Conn&)>& body) {
    if (opts.clients <= 1 || c.socket_path().empty()) return timed_rate(c, n, [&] { body(c); });
    std::vector<std::unique_ptr<Conn>> more;
    for (int i = 1; i < opts.clients; i++) {
        more.push_back(std::make_unique<Conn>(c.socket_path()));
        session(*more.back());
    }
    std::vector<Conn*> conns{&c};
    for (auto& m : more) conns.push_back(m.get());
    const int each = std::max(1, n / opts.clients);
    std::barrier warm(opts.clients + 1);
    std::vector<std::exception_ptr> errors(conns.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < conns.size(); k++)
        threads.emplace_back([&, k] {
            try {
                for (int i = 0, w = std::max(1, each / 20); i < w; i++) body(*conns[k]);
            } catch (...) {
                errors[k] = std::current_exception();
            }
            warm.arrive_and_wait();
            if (errors[k]) return;
            try {
                for (int i = 0; i < each; i++) body(*conns[k]);
            } catch (...) {
                errors[k] = std::current_exception();
            }
        });
    warm.arrive_and_wait();
    Section t(c);
    t.begin();
    for (auto& th : threads) th.join();
    t.end();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
    for (auto& m : more)
        if (m->hang_up() != 0) throw Failure("extra client did not close cleanly");
    return t.rate(double(each) * opts.clients);
}

// ---- Workloads ----

std::vector<Figure> run_rtt(const Server& s) {
    auto c = start(s);
    session(*c);
    Figure r = timed_rate_clients(*c, scaled(counts.rtt), [](Conn& k) {
        k.walk(root_fid, work_fid);
        k.clunk(work_fid);
    });
    finish(*c, s);
    return {r};
}

std::vector<Figure> run_stat(const Server& s) {
    auto c = start(s);
    session(*c);
    Figure r = timed_rate_clients(*c, scaled(counts.stat), [](Conn& k) { k.stat(root_fid); });
    finish(*c, s);
    return {r};
}

std::vector<Figure> run_walk3(const Server& s) {
    auto c = start(s);
    session(*c);
    mkdir_in(*c, root_fid, "w1");
    c->walk(root_fid, dir_fid, {"w1"});
    mkdir_in(*c, dir_fid, "w2");
    c->clunk(dir_fid);
    c->walk(root_fid, dir_fid, {"w1", "w2"});
    mkdir_in(*c, dir_fid, "w3");
    c->clunk(dir_fid);
    Figure r = timed_rate(*c, scaled(counts.walk3), [&] {
        c->walk(root_fid, work_fid, {"w1", "w2", "w3"});
        c->clunk(work_fid);
    });
    finish(*c, s);
    return {r};
}

// Cycles of: create `batch` files (walk clone, create, write 100 bytes,
// clunk), then remove them all (walk, remove). Returns files/s for each phase.
std::vector<Figure> run_create(const Server& s, const std::string& store_root, int cycles) {
    std::string store = store_root.empty() ? "" : make_temp_dir(store_root, "store");
    std::vector<Figure> out;
    {
        auto c = start(s, store);
        session(*c);
        mkdir_in(*c, root_fid, "c");
        c->walk(root_fid, dir_fid, {"c"});
        const int batch = counts.batch;
        std::vector<std::string> names;
        for (int i = 0; i < batch; i++) names.push_back(entry_name("f", i));
        Section t_create(*c), t_remove(*c);
        for (int k = 0; k < cycles; k++) {
            t_create.begin();
            for (const auto& name : names) {
                c->walk(dir_fid, work_fid);
                c->create(work_fid, name, 0644, P9_OWRITE);
                c->write(work_fid, 0, pattern.data(), small_write_len);
                c->clunk(work_fid);
            }
            t_create.end();
            t_remove.begin();
            for (const auto& name : names) {
                c->walk(dir_fid, work_fid, {name});
                c->remove(work_fid);
            }
            t_remove.end();
        }
        out = {t_create.rate(cycles * batch), t_remove.rate(cycles * batch)};
        finish(*c, s);
    }
    if (!store.empty()) fs::remove_all(store);
    return out;
}

// Compares file bytes [off, off+n) with what the writes of `chunk` bytes put
// there: byte p of the file is pattern[p % chunk].
void check_file_bytes(const uint8_t* d, uint64_t off, uint32_t n, uint32_t chunk) {
    for (uint32_t i = 0; i < n;) {
        uint64_t p = (off + i) % chunk;
        uint32_t step = uint32_t(std::min<uint64_t>(n - i, chunk - p));
        if (memcmp(d + i, pattern.data() + p, step) != 0)
            throw Failure("read returned other bytes than written near offset " +
                          std::to_string(off + i));
        i += step;
    }
}

// Reads the whole file through fid in requests of `count`, continuing after
// short replies; an empty reply before the end is a failure.
void read_file(Conn& c, uint32_t fid, uint32_t count, uint32_t chunk, bool verify) {
    for (uint64_t off = 0; off < io_file_len;) {
        const uint8_t* d;
        uint32_t want = uint32_t(std::min<uint64_t>(count, io_file_len - off));
        uint32_t n = c.read(fid, off, want, &d);
        if (n == 0) throw Failure("read ends at " + std::to_string(off) + " of 3 MiB");
        if (verify) check_file_bytes(d, off, n, chunk);
        off += n;
    }
}

void write_file(Conn& c, uint32_t fid, uint32_t count) {
    for (uint64_t off = 0; off < io_file_len; off += count)
        c.write(fid, off, pattern.data(), uint32_t(std::min<uint64_t>(count, io_file_len - off)));
}

// Writes the 3 MiB file in requests of `count` bytes (0: the largest the
// msize allows), each pass timed whole (walk, open or create, writes, clunk):
// once as a new file in a freshly started server (the cold pass, which also
// pays the server's first touch of its memory), then io_passes times through
// Topen with OTRUNC, so that every pass takes its data slots anew as a new
// file would. Then reads it io_passes times after one untimed read that
// checks the bytes on the server under test.
// Returns MiB/s for write, read and the cold write.
std::vector<Figure> run_io(const Server& s, uint32_t count) {
    auto c = start(s, "", io_file_len);
    session(*c);
    const uint32_t wcount = count ? count : c->msize() - 23;
    const uint32_t rcount = count ? count : c->msize() - 11;
    const int passes = scaled(counts.io_passes);
    Section t_cold(*c), t_write(*c), t_read(*c);
    t_cold.begin();
    c->walk(root_fid, work_fid);
    c->create(work_fid, "big", 0644, P9_OWRITE);
    write_file(*c, work_fid, wcount);
    c->clunk(work_fid);
    t_cold.end();
    for (int p = 0; p < passes; p++) {
        t_write.begin();
        c->walk(root_fid, work_fid, {"big"});
        c->open(work_fid, P9_OWRITE | P9_OTRUNC);
        write_file(*c, work_fid, wcount);
        c->clunk(work_fid);
        t_write.end();
    }
    c->walk(root_fid, aux_fid, {"big"});
    c->open(aux_fid, P9_OREAD);
    read_file(*c, aux_fid, rcount, wcount, !s.floor && opts.verify);
    t_read.begin();
    for (int p = 0; p < passes; p++) read_file(*c, aux_fid, rcount, wcount, false);
    t_read.end();
    c->clunk(aux_fid);
    finish(*c, s);
    const double mib = double(io_file_len) / double(1 << 20);
    return {t_write.rate(passes * mib), t_read.rate(passes * mib), t_cold.rate(mib)};
}

// Reads the open directory fid from offset 0 until an empty reply; returns
// the listing's length in bytes.
uint64_t list_dir(Conn& c, uint32_t fid, uint32_t count, std::vector<uint8_t>* keep = nullptr) {
    uint64_t off = 0;
    for (int reads = 0;; reads++) {
        if (reads > 1000) throw Failure("directory listing does not end");
        const uint8_t* d;
        uint32_t n = c.read(fid, off, count, &d);
        if (n == 0) return off;
        if (keep) keep->insert(keep->end(), d, d + n);
        off += n;
    }
}

// The listing of the server under test must hold exactly the names created.
void check_listing(const std::vector<uint8_t>& l) {
    std::vector<std::string> names;
    for (uint64_t at = 0; at < l.size();) {
        tlnclient::Stat st;
        int64_t r = tlnclient::decode_stat(l.data(), l.size(), at, st);
        if (r <= 0)
            throw Failure("directory listing holds a bad stat record at " + std::to_string(at));
        names.push_back(std::move(st.name));
        at += uint64_t(r);
    }
    std::sort(names.begin(), names.end());
    for (int i = 0; i < listing_entries; i++)
        if (int(names.size()) != listing_entries || names[i] != entry_name("file", i))
            throw Failure("directory listing does not hold the " + std::to_string(listing_entries) +
                          " files created");
}

// Lists a directory of 100 files through one open fid, from offset 0 until an
// empty reply, with the largest count the msize allows. The floor serves a
// "file" as long as the listing the server under test returned, so both
// deliver the same bytes in the same number of reads.
std::vector<Figure> run_readdir(const Server& s) {
    const uint64_t expected = listing_entries * (67 + entry_name("file", 0).size());
    auto c = start(s, "", s.floor ? listing_len : expected);
    session(*c);
    const uint32_t count = c->msize() - 11;
    mkdir_in(*c, root_fid, "d");
    c->walk(root_fid, dir_fid, {"d"});
    for (int i = 0; i < listing_entries; i++) {
        c->walk(dir_fid, work_fid);
        c->create(work_fid, entry_name("file", i), 0644, P9_OREAD);
        c->clunk(work_fid);
    }
    c->walk(root_fid, aux_fid, {"d"});
    c->open(aux_fid, P9_OREAD);
    if (!s.floor) {
        std::vector<uint8_t> l;
        listing_len = list_dir(*c, aux_fid, count, &l);
        if (opts.verify) check_listing(l);
    }
    Figure r = timed_rate(*c, scaled(counts.listings), [&] {
        uint64_t got = list_dir(*c, aux_fid, count);
        if (got != listing_len)
            throw Failure("listing of " + std::to_string(got) + " bytes, first was " +
                          std::to_string(listing_len));
    });
    finish(*c, s);
    return {r};
}

// Drives the server under test to write the files, then hangs up so that it
// saves its tree into a fresh store; returns the store's largest file size.
uint64_t build_image(const Server& s, const std::string& dir,
                     const std::vector<std::pair<std::string, uint64_t>>& dense,
                     uint64_t sparse_len) {
    auto c = start(s, dir);
    session(*c);
    const uint32_t chunk = c->msize() - 23;
    for (const auto& [name, len] : dense) {
        c->walk(root_fid, work_fid);
        c->create(work_fid, name, 0644, P9_OWRITE);
        for (uint64_t off = 0; off < len; off += chunk)
            c->write(work_fid, off, pattern.data(), uint32_t(std::min<uint64_t>(chunk, len - off)));
        c->clunk(work_fid);
    }
    if (sparse_len) {
        static const uint8_t x = 'x';
        c->walk(root_fid, work_fid);
        c->create(work_fid, "sparse", 0644, P9_OWRITE);
        c->write(work_fid, sparse_len - 1, &x, 1);
        c->clunk(work_fid);
    }
    finish(*c, s);
    uint64_t largest = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) largest = std::max<uint64_t>(largest, e.file_size());
    return largest;
}

// Time from process creation to the first Rversion, median of `starts`
// starts. After the first start of each run the server under test must show
// the image's file with its length. The server is killed, not hung up, so it
// does not save the image again.
std::vector<Figure> run_startup(const Server& s, const std::string& store, uint64_t img_len) {
    std::vector<double> t, cpu;
    for (int i = 0, n = scaled(counts.starts); i < n; i++) {
        auto c = start(s, store);
        c->version(opts.msize);
        t.push_back(now() - c->spawned_at());
        cpu.push_back(c->cpu_time());
        if (i == 0 && !s.floor && opts.verify && img_len) {
            c->attach(root_fid);
            c->walk(root_fid, work_fid, {"img"});
            if (c->stat(work_fid) != img_len) throw Failure("image not restored at start");
        }
        c->kill_now();
    }
    std::sort(t.begin(), t.end());
    std::sort(cpu.begin(), cpu.end());
    return {{t[t.size() / 2] * 1e6, cpu[cpu.size() / 2] * 1e6}};
}

// ---- Units, alternation, report ----

std::vector<Unit> make_units(const Server& sut) {
    std::vector<Unit> u;
    u.push_back({"rtt", {{"rtt (walk0+clunk)", "ops/s"}}, run_rtt});
    u.push_back({"stat", {{"stat", "ops/s"}}, run_stat});
    u.push_back({"walk3", {{"walk3 (+clunk)", "ops/s"}}, run_walk3});
    struct StoreKind {
        const char* id;
        std::string root;
        int cycles;
    };
    for (const auto& k : {StoreKind{"none", "", counts.cycles_none},
                          StoreKind{"tmpfs", scratch, counts.cycles_tmpfs},
                          StoreKind{"disk", disk_scratch, counts.cycles_disk}}) {
        std::string id = k.id;
        u.push_back({"create-" + id,
                     {{"create, store " + id, "files/s"}, {"remove, store " + id, "files/s"}},
                     [k](const Server& s) { return run_create(s, k.root, scaled(k.cycles)); }});
    }
    for (uint32_t size : {4096u, 65536u, 0u}) {
        std::string id = size == 4096 ? "4k" : size == 65536 ? "64k" : "max";
        std::string label = size ? id.substr(0, id.size() - 1) + " KiB" : "max";
        u.push_back({"io-" + id,
                     {{"write " + label, "MiB/s"},
                      {"read " + label, "MiB/s"},
                      {"write " + label + ", cold", "MiB/s"}},
                     [size](const Server& s) { return run_io(s, size); }});
    }
    u.push_back({"readdir", {{"readdir (100 entries)", "lists/s"}}, run_readdir});
    u.push_back({"startup-none", {{"startup, empty store", "us", true}}, [](const Server& s) {
                     std::string dir = make_temp_dir(scratch, "empty");
                     auto r = run_startup(s, dir, 0);
                     fs::remove_all(dir);
                     return r;
                 }});
    u.push_back({"startup-1m", {{"startup, 1 MiB image", "us", true}}, [sut](const Server& s) {
                     if (image_1m_dir.empty()) {
                         image_1m_dir = make_temp_dir(scratch, "img1m");
                         image_1m_len = build_image(sut, image_1m_dir,
                                                    {{"img", (1u << 20) - image_fixed_len}}, 0);
                     }
                     return run_startup(s, image_1m_dir, (1u << 20) - image_fixed_len);
                 }});
    u.push_back({"startup-5m", {{"startup, 5 MiB image", "us", true}}, [sut](const Server& s) {
                     if (image_5m_dir.empty()) {
                         image_5m_dir = make_temp_dir(scratch, "img5m");
                         image_5m_len =
                             build_image(sut, image_5m_dir, {{"img", dense_5m_len}}, sparse_5m_len);
                     }
                     return run_startup(s, image_5m_dir, dense_5m_len);
                 }});
    return u;
}

bool selected(const std::string& id) {
    if (opts.only.empty()) return true;
    for (const auto& o : opts.only)
        if (id == o || id.starts_with(o + "-")) return true;
    return false;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The ratio is always "how fast the server is relative to the floor": rates
// divide server by floor, times floor by server.
std::vector<double> ratios(const Row& r) {
    std::vector<double> out;
    for (size_t i = 0; i < r.server.size(); i++)
        out.push_back(r.lower_is_better ? r.floor[i] / r.server[i] : r.server[i] / r.floor[i]);
    return out;
}

// Floor CPU over server CPU per unit, rep by rep: how cheap the server is.
std::vector<double> cpu_ratios(const Row& r) {
    std::vector<double> out;
    for (size_t i = 0; i < r.server_cpu.size(); i++)
        out.push_back(r.server_cpu[i] > 0 ? r.floor_cpu[i] / r.server_cpu[i] : 0);
    return out;
}

std::string fmt(double v) {
    char b[32];
    if (v >= 100)
        snprintf(b, sizeof b, "%.0f", v);
    else
        snprintf(b, sizeof b, "%.1f", v);
    return b;
}

void print_row(const Row& r) {
    std::string per;
    for (double x : ratios(r)) {
        char b[16];
        snprintf(b, sizeof b, "%s%.2f", per.empty() ? "" : " ", x);
        per += b;
    }
    printf("%-24s %-8s %9s %9s %6.2f %9s %9s %6.2f  %s\n", r.name.c_str(), r.unit.c_str(),
           fmt(median(r.server)).c_str(), fmt(median(r.floor)).c_str(), median(ratios(r)),
           fmt(median(r.server_cpu)).c_str(), fmt(median(r.floor_cpu)).c_str(),
           median(cpu_ratios(r)), per.c_str());
    fflush(stdout);
}

std::string json_escape(const std::string& s) {
    std::string o;
    for (char ch : s) {
        if (ch == '"' || ch == '\\') o += '\\';
        if (uint8_t(ch) >= 0x20) o += ch;
    }
    return o;
}

std::string json_array(const std::vector<double>& v) {
    std::ostringstream o;
    o.precision(6);
    o << "[";
    for (size_t i = 0; i < v.size(); i++) o << (i ? ", " : "") << v[i];
    return o.str() + "]";
}

void write_json(const std::vector<Row>& rows, const std::string& machine) {
    std::ofstream o(opts.json_path);
    o << "{\n  \"server\": \"" << json_escape(opts.server.text()) << "\",\n  \"floor\": \""
      << json_escape(opts.floor.text()) << "\",\n  \"cpus\": \"" << opts.cpu_driver << ","
      << opts.cpu_server << "\",\n  \"reps\": " << opts.reps << ",\n  \"msize\": " << opts.msize
      << ",\n  \"posted\": " << (opts.post ? "true" : "false")
      << ",\n  \"floor_stdio\": " << (opts.floor_stdio ? "true" : "false")
      << ",\n  \"clients\": " << opts.clients << ",\n  \"machine\": \"" << json_escape(machine)
      << "\",\n  \"rows\": [\n";
    for (size_t i = 0; i < rows.size(); i++) {
        const Row& r = rows[i];
        o << "    {\"workload\": \"" << json_escape(r.name) << "\", \"unit\": \"" << r.unit
          << "\", \"server_median\": " << median(r.server)
          << ", \"floor_median\": " << median(r.floor)
          << ", \"ratio_median\": " << median(ratios(r)) << ", \"server\": " << json_array(r.server)
          << ", \"floor\": " << json_array(r.floor) << ", \"ratios\": " << json_array(ratios(r))
          << ", \"server_cpu_us\": " << json_array(r.server_cpu)
          << ", \"floor_cpu_us\": " << json_array(r.floor_cpu)
          << ", \"cpu_ratios\": " << json_array(cpu_ratios(r)) << "}"
          << (i + 1 < rows.size() ? "," : "") << "\n";
    }
    o << "  ]\n}\n";
    if (!o) throw Failure("cannot write " + opts.json_path);
}

std::string machine_line() {
    std::string cpu = "unknown cpu";
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("model name")) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    return cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cpus, " + u.sysname +
           " " + u.release;
}

std::string sibling(const std::string& name) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? name : (self.parent_path() / name).string();
}

[[noreturn]] void usage(const std::string& why) {
    fprintf(stderr,
            "tlnbench: %s\n"
            "usage: tlnbench [--server 'CMD ARGS'] [--floor 'CMD ARGS'] [--cpus A,B] [--reps N]\n"
            "                [--quick] [--scale F] [--only ID,...] [--msize N] [--tmpfs-dir DIR]\n"
            "                [--disk-dir DIR] [--json PATH] [--list] [--no-verify] [--post]\n"
            "                [--clients N] [--floor-stdio]\n",
            why.c_str());
    exit(2);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);)
        if (!part.empty()) out.push_back(part);
    return out;
}

void parse_options(int argc, char** argv) {
#ifdef TLNBENCH_DEFAULT_SERVER
    std::string server = TLNBENCH_DEFAULT_SERVER;
#else
    std::string server = sibling("tolvane");
#endif
    std::string floor = sibling("nullserver");
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--server")
            server = value();
        else if (a == "--floor")
            floor = value();
        else if (a == "--cpus") {
            auto p = split(value(), ',');
            if (p.size() != 2) usage("--cpus takes A,B");
            opts.cpu_driver = std::stoi(p[0]), opts.cpu_server = std::stoi(p[1]);
        } else if (a == "--reps")
            opts.reps = std::max(1, std::stoi(value()));
        else if (a == "--quick")
            opts.quick = true;
        else if (a == "--scale")
            opts.scale = std::stod(value());
        else if (a == "--only")
            opts.only = split(value(), ',');
        else if (a == "--msize")
            opts.msize = uint32_t(std::stoul(value()));
        else if (a == "--tmpfs-dir")
            opts.tmpfs_dir = value();
        else if (a == "--disk-dir")
            opts.disk_dir = value();
        else if (a == "--json")
            opts.json_path = value();
        else if (a == "--list")
            opts.list = true;
        else if (a == "--no-verify")
            opts.verify = false;
        else if (a == "--post")
            opts.post = true;
        else if (a == "--clients")
            opts.clients = std::stoi(value());
        else if (a == "--floor-stdio")
            opts.floor_stdio = true;
        else if (a == "--help" || a == "-h")
            usage("end-to-end 9P2000 benchmark");
        else
            usage("unknown option " + a);
    }
    if (opts.clients < 1 || opts.clients > 32) usage("--clients takes 1 to 32");
    if (opts.clients > 1 && !opts.post) usage("--clients needs --post (stdio is one stream)");
    if (opts.floor_stdio && !opts.post) usage("--floor-stdio needs --post");
    opts.server = parse_command(server);
    opts.floor = parse_command(floor);
    if (opts.quick) {
        counts = {50, 50, 50, 5, 1, 1, 1, 1, 5, 2};
        opts.reps = std::min(opts.reps, 2);
    }
}

void pin_self(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) < 0)
        throw Failure("cannot pin to cpu " + std::to_string(cpu) + ": " + strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    const Server sut{"server", opts.server, false}, floor{"floor", opts.floor, true};
    int status = 0;
    try {
        pin_self(opts.cpu_driver);
        if (access(opts.tmpfs_dir.c_str(), W_OK) != 0) opts.tmpfs_dir = fs::temp_directory_path();
        if (access(opts.disk_dir.c_str(), W_OK) != 0) opts.disk_dir = fs::temp_directory_path();
        scratch = make_temp_dir(opts.tmpfs_dir, "tlnbench");
        disk_scratch = make_temp_dir(opts.disk_dir, "tlnbench");
        pattern.resize(P9_MSIZE_MAX);
        uint32_t x = 12345;
        for (auto& b : pattern) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
        std::vector<Unit> units = make_units(sut);
        if (opts.list) {
            for (const auto& u : units) printf("%s\n", u.id.c_str());
            return 0;
        }
        const std::string machine = machine_line();
        printf("tlnbench: server '%s'\n          floor  '%s'\n", opts.server.text().c_str(),
               opts.floor.text().c_str());
        printf(
            "          %s; cpus %s; reps %d; msize %u%s\n", machine.c_str(),
            opts.cpu_driver < 0
                ? "unpinned"
                : (std::to_string(opts.cpu_driver) + "," + std::to_string(opts.cpu_server)).c_str(),
            opts.reps, opts.msize, opts.quick ? "; quick" : "");
        if (opts.post)
            printf(
                "          posted: through the multiplexer; rtt and stat with %d client%s at "
                "once%s\n",
                opts.clients, opts.clients > 1 ? "s" : "",
                opts.floor_stdio ? "; the floor on stdio, one client" : "");
        printf("          stores: tmpfs %s, disk %s\n\n", scratch.c_str(), disk_scratch.c_str());
        printf("%-24s %-8s %9s %9s %6s %9s %9s %6s  %s\n", "workload", "unit", "server", "floor",
               "ratio", "cpu-srv", "cpu-flr", "cpu-r", "per-rep ratios");
        std::vector<Row> all;
        std::string current;
        try {
            for (auto& u : units) {
                if (!selected(u.id)) continue;
                for (int rep = 0; rep < opts.reps; rep++) {
                    const Server* order[2] = {&sut, &floor};
                    if (rep % 2) std::swap(order[0], order[1]);
                    for (const Server* s : order) {
                        current = u.id + " on " + s->label;
                        std::vector<Figure> v = u.run(*s);
                        for (size_t i = 0; i < u.rows.size(); i++) {
                            Row& r = u.rows[i];
                            (s->floor ? r.floor : r.server).push_back(v[i].value);
                            (s->floor ? r.floor_cpu : r.server_cpu).push_back(v[i].cpu_us);
                        }
                    }
                }
                for (const auto& r : u.rows) print_row(r), all.push_back(r);
            }
        } catch (const Failure& f) {
            throw Failure(current + ": " + f.what());
        }
        if (image_1m_len || image_5m_len)
            printf("\nimages: 1 MiB run %llu bytes, 5 MiB run %llu bytes\n",
                   (unsigned long long)image_1m_len, (unsigned long long)image_5m_len);
        if (!opts.json_path.empty()) write_json(all, machine);
    } catch (const std::exception& e) {
        fprintf(stderr, "tlnbench: FAIL: %s\n", e.what());
        for (const char* who : {"server", "floor"}) {
            std::ifstream log(scratch + "/" + who + ".log");
            std::vector<std::string> lines;
            for (std::string l; std::getline(log, l);) lines.push_back(l);
            size_t from = lines.size() > 8 ? lines.size() - 8 : 0;
            for (size_t i = from; i < lines.size(); i++)
                fprintf(stderr, "  %s stderr: %s\n", who, lines[i].c_str());
        }
        status = 1;
    }
    std::error_code ec;
    if (!scratch.empty()) fs::remove_all(scratch, ec);
    if (!disk_scratch.empty()) fs::remove_all(disk_scratch, ec);
    return status;
}
