// Power loss at every step of a save. The stand-in's file operations are
// recorded through its hook (velmor_linux_fs_hook) while a new process loads
// the store and saves once; from each recording every state of the store
// directory that a power cut at any step could leave is built, under the
// rules of docs/reliability.md, and loaded by the server's own load path.
// Each must give the tree of the last save reported successful or of the
// save in progress, never a refused image, and the next save from it must
// succeed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "kernel/linux/standin.h"
#include "kernel_test_util.h"
#include "support.h"
#include "tolvane/tolvane.h"
#include "zero_tables.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ktest::EnvSet;

namespace {

// Unsynced writes persist in pieces of at most one block, in order.
constexpr uint64_t BLOCK = 4096;
const std::string IMG = "tln-0.img", PREV = "tln-0.img.prev", TMP = "tln-0.img.tmp";

// What the store directory holds: whether it exists, each name's file (the
// names of one file share its number) and each file's bytes.
struct Disk {
    bool exists = true;
    std::map<std::string, int> names;
    std::map<int, Bytes> files;
};

// The library's byte hash and memcmp: both run at full speed in the
// sanitizer build too, where a loop over bytes here would dominate the test.
size_t hash_of(std::string_view b) {
    return std::hash<std::string_view>{}(b);
}
size_t hash_of(const Bytes& b) {
    return hash_of(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

bool same(const Bytes& a, const Bytes& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Equal for two disks exactly when they hold the same names, the same files
// shared between names, and the same bytes.
std::string key_of(const Disk& d) {
    if (!d.exists) return "none";
    std::string k;
    std::map<int, size_t> renumber;
    for (const auto& [name, f] : d.names) {
        size_t n = renumber.emplace(f, renumber.size()).first->second;
        const Bytes& b = d.files.at(f);
        k += name + "=" + std::to_string(n) + ":" + std::to_string(b.size()) + ":" +
             std::to_string(hash_of(b)) + ";";
    }
    return k;
}

// The store directory at path as it is on disk.
Disk read_disk(const std::string& path) {
    Disk d;
    d.exists = fs::exists(path);
    if (!d.exists) return d;
    std::map<ino_t, int> ids;
    for (const auto& e : fs::directory_iterator(path)) {
        struct stat st;
        EXPECT_EQ(::lstat(e.path().c_str(), &st), 0);
        int id = ids.emplace(st.st_ino, static_cast<int>(ids.size())).first->second;
        d.names[e.path().filename().string()] = id;
        std::string s = tolvane_test::read_file(e.path().string());
        d.files[id] = Bytes(s.begin(), s.end());
    }
    return d;
}

// Makes the store directory at path hold exactly d (a file with several
// names gets them as hard links).
void lay_out(const Disk& d, const std::string& path) {
    fs::remove_all(path);
    if (!d.exists) return;
    fs::create_directories(path);
    std::map<int, std::string> first;
    for (const auto& [name, f] : d.names) {
        auto [it, fresh] = first.emplace(f, name);
        if (fresh) {
            const Bytes& b = d.files.at(f);
            std::ofstream out(path + "/" + name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(b.data()),
                      static_cast<std::streamsize>(b.size()));
            EXPECT_TRUE(out.good()) << path << "/" << name;
        } else {
            fs::create_hard_link(path + "/" + it->second, path + "/" + name);
        }
    }
}

// One file operation as the hook reported it, with copies of what it named
// and wrote.
struct Op {
    uint8_t kind;
    int32_t fd;
    std::string name, name2;
    Bytes data;
    uint64_t len;
    int32_t flags;
    int64_t result;
};

std::vector<Op>* recording = nullptr;

void record(const FsOp* op) {
    Op o{op->kind, op->fd, {}, {}, {}, op->len, op->flags, op->result};
    if (op->name != nullptr) o.name = op->name;
    if (op->name2 != nullptr) o.name2 = op->name2;
    if (op->kind == FS_OP_WRITE && op->result > 0) {
        const auto* p = static_cast<const uint8_t*>(op->data);
        o.data.assign(p, p + op->result);
    }
    recording->push_back(std::move(o));
}

std::string parent_of(const std::string& path) {
    return fs::path(path).parent_path().string();
}

// Replays recorded operations on a model of the disk that keeps what is
// durable apart from what a power cut may still take away, and lists every
// state a cut at the current point could leave:
// - a file's writes and truncations since its last fsync persist as a prefix
//   of them, in order, a write counted in pieces of at most a block: none,
//   some or all of them;
// - an fsync of a file makes its bytes and length durable;
// - name operations (a create, rename, exchange, link, unlink, mkdir) not yet
//   durable persist as a prefix of them, in the order they were made;
// - an fsync of a directory makes every earlier name operation in it durable.
class Cuts {
public:
    // start: the disk, all of it durable; store: the store directory's path.
    Cuts(const Disk& start, std::string store)
        : store_(std::move(store)),
          existed_(start.exists),
          start_(start.names),
          names_(start.names) {
        for (const auto& [f, b] : start.files) {
            files_[f] = File{b, b, {}};
            next_file_ = std::max(next_file_, f + 1);
        }
    }

    void apply(const Op& op) {
        if (op.result < 0) return;  // a failed call changed nothing
        switch (op.kind) {
            case FS_OP_OPEN: {
                auto it = names_.find(op.name);
                int f = it != names_.end() ? it->second : next_file_++;
                if (it == names_.end()) {
                    files_[f] = File{};
                    names_[op.name] = f;
                    changed(store_);
                }
                if (op.flags & O_TRUNC) add(f, Piece{true, 0, {}});
                fds_[static_cast<int32_t>(op.result)] = {f, 0};
                break;
            }
            case FS_OP_WRITE: {
                auto& [f, pos] = fds_.at(op.fd);
                for (size_t i = 0; i < op.data.size();) {
                    size_t n = std::min<size_t>(BLOCK - pos % BLOCK, op.data.size() - i);
                    add(f, Piece{false, pos, Bytes(op.data.begin() + i, op.data.begin() + i + n)});
                    pos += n;
                    i += n;
                }
                break;
            }
            case FS_OP_TRUNCATE:
                add(fds_.at(op.fd).first, Piece{true, op.len, {}});
                break;
            case FS_OP_SYNC: {
                File& file = files_.at(fds_.at(op.fd).first);
                file.durable = file.live;
                file.pending.clear();
                break;
            }
            case FS_OP_CLOSE:
                fds_.erase(op.fd);
                break;
            case FS_OP_RENAME: {
                int f = names_.at(op.name);
                auto to = names_.find(op.name2);
                if (to != names_.end() && to->second == f) break;  // two names of one file
                names_[op.name2] = f;
                names_.erase(op.name);
                changed(store_);
                break;
            }
            case FS_OP_EXCHANGE:
                if (names_.at(op.name) == names_.at(op.name2)) break;
                std::swap(names_.at(op.name), names_.at(op.name2));
                changed(store_);
                break;
            case FS_OP_LINK:
                names_[op.name2] = names_.at(op.name);
                changed(store_);
                break;
            case FS_OP_UNLINK:
                names_.erase(op.name);
                changed(store_);
                break;
            case FS_OP_SYNC_DIR:
                synced(store_);
                break;
            case FS_OP_MKDIR:
                changes_.push_back(Change{parent_of(op.name), false, {}, op.name});
                break;
            case FS_OP_SYNC_PATH:
                synced(op.name);
                break;
            default:
                ADD_FAILURE() << "an operation of unknown kind " << int{op.kind};
        }
    }

    // Calls fn with every state a power cut now could leave.
    void each_state(const std::function<void(const Disk&)>& fn) const {
        std::vector<size_t> pending;
        for (size_t i = 0; i < changes_.size(); i++) {
            if (!changes_[i].durable) pending.push_back(i);
        }
        for (size_t k = 0; k <= pending.size(); k++) {
            std::vector<bool> kept(changes_.size());
            for (size_t i = 0; i < changes_.size(); i++) kept[i] = changes_[i].durable;
            for (size_t j = 0; j < k; j++) kept[pending[j]] = true;
            Disk d;
            d.exists = existed_;
            d.names = start_;
            bool made = false, lost = false;
            for (size_t i = 0; i < changes_.size(); i++) {
                const Change& c = changes_[i];
                if (c.made.empty()) {
                    if (kept[i]) d.names = c.names;
                } else if (c.made == store_ || store_.rfind(c.made + "/", 0) == 0) {
                    // The store directory or one above it: the store is
                    // reachable only when every one of these was kept.
                    made = made || (kept[i] && c.made == store_);
                    lost = lost || !kept[i];
                }
            }
            if (!existed_) d.exists = made && !lost;
            if (!d.exists) d.names.clear();
            std::vector<int> open;
            for (const auto& [name, f] : d.names) {
                const File& file = files_.at(f);
                if (file.pending.empty()) {
                    d.files[f] = file.durable;
                } else if (std::find(open.begin(), open.end(), f) == open.end()) {
                    open.push_back(f);
                }
            }
            each_content(d, open, 0, fn);
        }
    }

    // The disk as the running process sees it.
    Disk live() const {
        Disk d;
        d.exists = existed_ || std::any_of(changes_.begin(), changes_.end(),
                                           [&](const Change& c) { return c.made == store_; });
        d.names = names_;
        for (const auto& [name, f] : names_) d.files[f] = files_.at(f).live;
        return d;
    }

private:
    // A write of bytes at `at`, or (truncate) a cut to length `at`.
    struct Piece {
        bool truncate;
        uint64_t at;
        Bytes bytes;
    };
    struct File {
        Bytes durable, live;
        std::vector<Piece> pending;  // since the last fsync
    };
    // A name operation: in the store directory (names after it), or the
    // making of a directory.
    struct Change {
        std::string dir;  // the directory whose fsync makes it durable
        bool durable;
        std::map<std::string, int> names;
        std::string made;  // the directory made, or empty
    };

    static void put(Bytes& b, const Piece& p) {
        if (p.truncate) {
            b.resize(p.at);
            return;
        }
        if (b.size() < p.at + p.bytes.size()) b.resize(p.at + p.bytes.size());
        std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + static_cast<ptrdiff_t>(p.at));
    }

    void add(int f, Piece p) {
        File& file = files_.at(f);
        put(file.live, p);
        file.pending.push_back(std::move(p));
    }

    void changed(const std::string& dir) { changes_.push_back(Change{dir, false, names_, {}}); }

    void synced(const std::string& dir) {
        for (Change& c : changes_) c.durable = c.durable || c.dir == dir;
    }

    // Every choice of how much of each open file's pending pieces persisted.
    void each_content(Disk& d, const std::vector<int>& open, size_t i,
                      const std::function<void(const Disk&)>& fn) const {
        if (i == open.size()) {
            fn(d);
            return;
        }
        const File& file = files_.at(open[i]);
        Bytes b = file.durable;
        for (size_t j = 0;; j++) {
            d.files[open[i]] = b;
            each_content(d, open, i + 1, fn);
            if (j == file.pending.size()) break;
            put(b, file.pending[j]);
        }
    }

    std::string store_;
    bool existed_;
    std::map<std::string, int> start_, names_;
    std::map<int, File> files_;
    std::map<int32_t, std::pair<int, uint64_t>> fds_;  // descriptor: file, position
    std::vector<Change> changes_;
    int next_file_ = 0;
};

// The image of the tree the server's tables hold.
Bytes tables_image() {
    uint64_t n = tolvane::tln_serialize();
    EXPECT_GT(n, 0u);
    return Bytes(tolvane::snap_buf.begin(), tolvane::snap_buf.begin() + static_cast<ptrdiff_t>(n));
}

// /dev/shm when it is a directory we may write, else TMPDIR as it is.
std::optional<std::string> scratch_parent() {
    if (::access("/dev/shm", W_OK | X_OK) == 0 && fs::is_directory("/dev/shm")) return "/dev/shm";
    const char* t = std::getenv("TMPDIR");
    return t != nullptr ? std::optional<std::string>(t) : std::nullopt;
}

// One recorded save: the disk it began on, the tree loaded from it, the tree
// saved, the operations from the load on, and the disk it ended with.
struct Recorded {
    Disk start;
    Bytes before, after;
    std::vector<Op> ops;
    Disk end;
};

class PowerLoss : public ::testing::Test {
protected:
    void SetUp() override { tolvane_test::reset_server(); }
    void TearDown() override {
        tolvane_test::reset_server();
        std::printf("checked %d crash states from %d recorded saves\n", states_, saves_);
    }

    // Fills the tables with tree gen: the skeleton and one file, /etc/gen-<gen>,
    // whose length changes from one gen to the next (so saves grow and shrink
    // the files they write over), and answers its image.
    Bytes make_tree(uint32_t gen) {
        using namespace tolvane;
        harness::zero_tables();
        init_tree();
        const std::string etc = "etc", name = "gen-" + std::to_string(gen);
        int64_t dir = node_find_child(0, u8(etc), etc.size());
        int64_t n = node_alloc(KIND_FILE, dir, u8(name), name.size());
        Bytes data = tolvane_test::bytes_pattern(1 + gen * 4001 % 9000, gen);
        uint64_t base = node_get_chunk(n, 0, 1);
        EXPECT_NE(base, 0u);
        std::copy(data.begin(), data.end(), node_data.begin() + static_cast<ptrdiff_t>(base));
        node_size[n] = data.size();
        snap_contents = snap_count_contents();
        Bytes img = tables_image();
        images_.insert(hash_of(img));
        return img;
    }

    // A new process on the disk start: loads the store, then saves tree gen,
    // with every file operation recorded.
    Recorded record_save(const Disk& start, uint32_t gen) {
        Recorded run;
        run.start = start;
        lay_out(start, live_);
        tolvane_test::reset_server();
        recording = &run.ops;
        velmor_linux_fs_hook(record);
        static_cast<void>(tolvane::tln_load_from_disk());
        run.before = tables_image();
        run.after = make_tree(gen);
        int32_t saved = tolvane::tln_save_to_disk();
        velmor_linux_fs_hook(nullptr);
        recording = nullptr;
        EXPECT_EQ(saved, 1);
        Cuts cuts(start, live_);
        for (const Op& op : run.ops) cuts.apply(op);
        run.end = cuts.live();
        EXPECT_EQ(key_of(run.end), key_of(read_disk(live_))) << "the model lost track of the disk";
        saves_++;
        return run;
    }

    // Every state a cut at any step of run could leave, each once, with
    // whether the save had been reported successful at that cut.
    std::vector<std::pair<Disk, bool>> cuts_of(const Recorded& run) {
        Cuts cuts(run.start, live_);
        std::map<std::string, size_t> seen;
        std::vector<std::pair<Disk, bool>> out;
        auto add = [&](const Disk& d, bool reported) {
            auto [it, fresh] = seen.emplace(key_of(d), out.size());
            if (fresh) out.emplace_back(d, reported);
            out[it->second].second = out[it->second].second || reported;
        };
        cuts.each_state([&](const Disk& d) { add(d, run.ops.empty()); });
        for (size_t i = 0; i < run.ops.size(); i++) {
            cuts.apply(run.ops[i]);
            cuts.each_state([&](const Disk& d) { add(d, i + 1 == run.ops.size()); });
        }
        return out;
    }

    std::string describe(const Disk& d, const Recorded& run) const {
        if (!d.exists) return "no store directory";
        if (d.names.empty()) return "an empty store directory";
        std::string s;
        for (const auto& [name, f] : d.names) {
            const Bytes& b = d.files.at(f);
            s += "\n  " + name + ": file " + std::to_string(f) + ", " + std::to_string(b.size()) +
                 " bytes" + (same(b, run.after) ? ", the new image" : "") +
                 (same(b, run.before) ? ", the last image" : "");
        }
        return s;
    }

    // Loads the state d in a new process: the tree must be the one of run's
    // save, or (before it was reported) the one run began with; an image
    // kept as .prev must be whole; and the next save must succeed.
    void check(const Recorded& run, const Disk& d, bool reported, uint32_t next_gen) {
        SCOPED_TRACE(describe(d, run));
        lay_out(d, cut_);
        tolvane_test::reset_server();
        EnvSet at("VELMOR_STORE", cut_);
        static_cast<void>(tolvane::tln_load_from_disk());
        Bytes got = tables_image();
        if (reported) {
            EXPECT_TRUE(same(got, run.after)) << "a cut after the save was reported lost it";
        } else {
            EXPECT_TRUE(same(got, run.after) || same(got, run.before)) << "a tree of neither save";
        }
        for (const auto& e : fs::directory_iterator(cut_)) {
            EXPECT_EQ(e.path().filename().string().find(".rejected-"), std::string::npos)
                << "the image was refused";
        }
        if (fs::exists(cut_ + "/" + PREV)) {
            std::string prev = tolvane_test::read_file(cut_ + "/" + PREV);
            EXPECT_EQ(images_.count(hash_of(prev)), 1u) << ".prev is torn";
        }
        Bytes next = make_tree(next_gen);
        EXPECT_EQ(tolvane::tln_save_to_disk(), 1);
        std::string stored = tolvane_test::read_file(cut_ + "/" + IMG);
        EXPECT_EQ(hash_of(stored), hash_of(next));
        states_++;
    }

    // Stops at the first state that fails, which the trace describes.
    void check_cuts(const Recorded& run, uint32_t next_gen) {
        for (const auto& [d, reported] : cuts_of(run)) {
            check(run, d, reported, next_gen);
            if (HasFailure()) return;
        }
    }

    // Four saves from an empty store directory (the first, with no image;
    // the second, with no .prev; then with every file a save keeps), and from
    // each state a cut of the last could leave, one more save. Exchanged
    // names leave a temporary file behind; linked and renamed ones do not.
    void check_chain(bool exchange) {
        Disk d;
        Recorded run;
        uint32_t gen = 1;
        for (int i = 0; i < 4; i++) {
            SCOPED_TRACE("save " + std::to_string(i + 1));
            run = record_save(d, gen++);
            check_cuts(run, gen);
            if (HasFailure()) return;
            d = run.end;
        }
        EXPECT_TRUE(d.names.count(IMG) && d.names.count(PREV));
        EXPECT_EQ(d.names.count(TMP), exchange ? 1u : 0u) << "not the way of saving asked for";
        for (const auto& [cut, reported] : cuts_of(run)) {
            SCOPED_TRACE("a save after a cut:" + describe(cut, run));
            check_cuts(record_save(cut, gen), gen + 1);
            if (HasFailure()) return;
        }
    }

    static const uint8_t* u8(const std::string& s) {
        return reinterpret_cast<const uint8_t*>(s.data());
    }

    // The directories go to a tmpfs where there is one: the model, not the
    // disk, decides what a cut keeps, and an fsync there costs nothing.
    EnvSet tmpdir_{"TMPDIR", scratch_parent()};
    tolvane_test::TempDir dir_;
    std::string live_ = dir_ / "live", cut_ = dir_ / "cut";
    EnvSet store_{"VELMOR_STORE", live_};
    EnvSet no_fault_{"VELMOR_STORE_FAULT", std::nullopt};
    EnvSet no_after_{"VELMOR_STORE_FAULT_AFTER", std::nullopt};
    std::set<size_t> images_;  // every image a save was given
    int states_ = 0, saves_ = 0;
};

TEST_F(PowerLoss, SavesByExchangeLeaveTheLastOrTheNewTreeAtEveryCut) {
    check_chain(true);
}

TEST_F(PowerLoss, SavesByLinkAndRenameLeaveTheLastOrTheNewTreeAtEveryCut) {
    EnvSet way("VELMOR_STORE_FAULT", "noexchange");
    check_chain(false);
}

// A save cut between the two renames of a file system without the exchange
// leaves .prev a second name of the image; the exchanges then give that file
// the temporary name as well, and the save after that must replace the
// temporary file rather than write through it.
TEST_F(PowerLoss, ATemporaryFileSharedWithPrevIsReplacedAtEveryCut) {
    Disk start;
    start.names = {{IMG, 0}, {PREV, 0}, {TMP, 1}};
    start.files = {{0, make_tree(1)}, {1, make_tree(2)}};
    Recorded run = record_save(start, 3);
    check_cuts(run, 4);
    ASSERT_EQ(run.end.names.at(TMP), run.end.names.at(PREV));
    check_cuts(record_save(run.end, 4), 5);
}

// The first save of a fresh install makes the store directory itself: a
// cut after that save was reported must not take the directory, and the
// image in it, away.
TEST_F(PowerLoss, AStoreDirectoryMadeForTheFirstSaveOutlivesACut) {
    for (const char* way : {"exchange", "noexchange"}) {
        SCOPED_TRACE(way);
        EnvSet fault("VELMOR_STORE_FAULT", way);
        // Three directories to make, as for ~/.local/state/velmor in a new home.
        live_ = dir_ / (std::string(way) + "/state/velmor");
        EnvSet at("VELMOR_STORE", live_);
        Disk none;
        none.exists = false;
        check_cuts(record_save(none, 1), 2);
    }
}

}  // namespace
