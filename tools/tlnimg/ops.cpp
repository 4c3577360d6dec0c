// tlnimg's commands on images: info, check, extract, pack, diff, and tlnc's
// commands on an image served in process.
#include "ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "commands.h"
#include "image.h"
#include "inproc.h"
#include "tolvane/tolvane.h"

namespace tlnimg {

namespace tv = tolvane;

namespace {

int fail(int status, const std::string& cmd, const std::string& path, const std::string& why) {
    std::fprintf(stderr, "tlnimg: %s %s: %s\n", cmd.c_str(), quoted(path).c_str(), why.c_str());
    return status;
}

std::string errno_text() {
    return std::strerror(errno);
}

// Loads IMG for CMD; false (after the error line, with *status set) when the
// file cannot be read.
bool load(const std::string& cmd, const std::string& path, Image* img, int* status,
          bool contents = true) {
    std::string err;
    if (load_image(path, img, &err, contents)) return true;
    *status = fail(EXIT_IO, cmd, path, err);
    return false;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

uint64_t chunks_of(uint64_t size) {
    return (size + tv::SLOT_CAP - 1) / tv::SLOT_CAP;
}

}  // namespace

// ---- info and check ----

int cmd_info(const std::string& path) {
    Image img;
    int status = EXIT_OK;
    if (!load("info", path, &img, &status, false)) return status;
    std::vector<std::string> skipped;
    std::vector<Entry> entries = img.rows_known ? walk(img, &skipped) : std::vector<Entry>{};

    std::printf("image      %s\n", quoted(path).c_str());
    std::printf("size       %" PRIu64 " of %" PRIu64 " bytes\n", img.length, tv::SNAP_CAP);
    if (img.rows_known) {
        uint64_t dirs = 0, files = 0, bytes = 0;
        for (const Row& r : img.rows) {
            dirs += r.kind == tv::KIND_DIR;
            files += r.kind == tv::KIND_FILE;
            if (r.kind == tv::KIND_FILE) bytes += r.size;
        }
        const Entry* largest = nullptr;
        const Entry* deepest = nullptr;
        for (const Entry& e : entries) {
            const Row& r = img.rows[e.row];
            if (r.kind == tv::KIND_FILE && (!largest || r.size > img.rows[largest->row].size)) {
                largest = &e;
            }
            if (!deepest || e.depth > deepest->depth) deepest = &e;
        }
        uint64_t in_use = 0;
        for (const Row& r : img.rows) in_use += r.kind != tv::KIND_FREE;
        std::printf("nodes      %" PRIu64 " of %" PRIu64 " (%" PRIu64 " directories, %" PRIu64
                    " files)\n",
                    in_use, tv::NODE_CAP, dirs, files);
        std::printf("slots      %" PRIu32 " of %" PRIu64 " (64 KiB chunks that hold data)\n",
                    img.slots, tv::DATA_SLOT_CAP - 1);
        std::printf("file bytes %" PRIu64 "\n", bytes);
        if (largest) {
            std::printf("largest    %s (%" PRIu64 " bytes)\n", quoted(largest->path).c_str(),
                        img.rows[largest->row].size);
        } else {
            std::printf("largest    none (no files)\n");
        }
        if (deepest) {
            std::printf("deepest    %s (depth %d)\n", quoted(deepest->path).c_str(),
                        deepest->depth);
        } else {
            std::printf("deepest    / (depth 0)\n");
        }
    } else {
        std::printf("nodes      unknown: the row tables cannot be read\n");
    }
    std::printf("verdict    %s\n", img.verdict.c_str());
    if (std::fflush(stdout) != 0)
        return fail(EXIT_IO, "info", path, "standard output: " + errno_text());
    return img.accepted ? EXIT_OK : EXIT_REFUSED;
}

int cmd_check(const std::string& path) {
    Image img;
    int status = EXIT_OK;
    if (!load("check", path, &img, &status, false)) return status;
    if (!img.accepted) return fail(EXIT_REFUSED, "check", path, img.verdict);
    std::printf("%s: accepted\n", quoted(path).c_str());
    return std::fflush(stdout) == 0 ? EXIT_OK : EXIT_IO;
}

// ---- tlnc's commands on a served image ----

int cmd_served(const std::string& name, const std::string& path, bool long_form,
               const std::string& tree_path) {
    Image img;
    int status = EXIT_OK;
    if (!load(name, path, &img, &status, false)) return status;
    if (!img.accepted)
        return fail(EXIT_REFUSED, name, path, "the server would not serve it: " + img.verdict);
    InProcess srv;
    std::string err;
    if (!srv.start(&err)) return fail(EXIT_IO, name, path, "in-process server: " + err);
    tlnc::program_name = "tlnimg";
    tlnc::Session& s = srv.session();
    if (name == "ls") status = tlnc::cmd_ls(s, long_form, tree_path);
    if (name == "tree") status = tlnc::cmd_tree(s, tree_path);
    if (name == "stat") status = tlnc::cmd_stat(s, tree_path);
    if (name == "cat") status = tlnc::cmd_cat(s, tree_path);
    if (std::fflush(stdout) != 0 && status == EXIT_OK) {
        status = fail(EXIT_IO, name, tree_path, "standard output: " + errno_text());
    }
    if (!srv.finish() && status == EXIT_OK) {
        status = fail(EXIT_IO, name, path, "the in-process server broke off");
    }
    return status;
}

// ---- extract ----

namespace {

// Lists the rows left out and sums up; the status of an extract that got
// this far.
int extract_end(const Image& img, const std::string& path,
                const std::vector<std::string>& skipped) {
    for (const std::string& s : skipped) fail(EXIT_REFUSED, "extract", path, "skipped " + s);
    if (!img.accepted) {
        return fail(EXIT_REFUSED, "extract", path,
                    img.verdict + "; extracted what the damage allows");
    }
    return skipped.empty() ? EXIT_OK : EXIT_REFUSED;
}

// Loads the image at path for extract and walks its tree: false, with the
// exit status, when it cannot be read or its rows are not known.
bool load_entries(const std::string& path, Image* img, std::vector<Entry>* entries,
                  std::vector<std::string>* skipped, int* status) {
    if (!load("extract", path, img, status)) return false;
    if (!img->rows_known) {
        *status =
            fail(EXIT_REFUSED, "extract", path, img->verdict + "; nothing can be read from it");
        return false;
    }
    *entries = walk(*img, skipped);
    return true;
}

}  // namespace

int cmd_extract(const std::string& path, const std::string& dir, bool force) {
    Image img;
    std::vector<Entry> entries;
    std::vector<std::string> skipped;
    if (int status; !load_entries(path, &img, &entries, &skipped, &status)) return status;

    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        return fail(EXIT_IO, "extract", dir, errno_text());
    }
    int top = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return fail(EXIT_IO, "extract", dir, errno_text());
    // dirs[d] is the open directory that holds the entries of depth d + 1.
    // Every name is checked again here and opened relative to its directory
    // without following links, so nothing lands outside DIR.
    std::vector<int> dirs{top};
    auto close_from = [&](size_t keep) {
        while (dirs.size() > keep) {
            ::close(dirs.back());
            dirs.pop_back();
        }
    };
    for (const Entry& e : entries) {
        const Row& r = img.rows[e.row];
        std::string where = dir + e.path;
        close_from(static_cast<size_t>(e.depth));
        if (dirs.size() != static_cast<size_t>(e.depth) || !safe_name(r.name)) {
            close_from(0);
            return fail(EXIT_REFUSED, "extract", where, "not placed: outside the walk");
        }
        int parent = dirs.back();
        if (r.kind == tv::KIND_DIR) {
            if (::mkdirat(parent, r.name.c_str(), 0777) != 0 && errno != EEXIST) {
                close_from(0);
                return fail(EXIT_IO, "extract", where, errno_text());
            }
            int fd =
                ::openat(parent, r.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                std::string why = errno == ENOTDIR || errno == ELOOP
                                      ? "exists and is not a directory"
                                      : errno_text();
                close_from(0);
                return fail(EXIT_IO, "extract", where, why);
            }
            dirs.push_back(fd);
            continue;
        }
        int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
        int fd = ::openat(parent, r.name.c_str(), flags, 0666);
        if (fd < 0) {
            bool exists = errno == EEXIST;
            std::string why = exists ? "exists (give -f to overwrite it)" : errno_text();
            close_from(0);
            return fail(exists ? EXIT_REFUSED : EXIT_IO, "extract", where, why);
        }
        bool ok = write_all(fd, r.data.data(), r.data.size());
        if (::close(fd) != 0) ok = false;
        if (!ok) {
            close_from(0);
            return fail(EXIT_IO, "extract", where, errno_text());
        }
    }
    close_from(0);
    return extract_end(img, path, skipped);
}

namespace {

// One 512-byte ustar header.
struct TarHeader {
    char b[512] = {};

    void field(size_t off, size_t len, const std::string& s) {
        std::memcpy(b + off, s.data(), std::min(len, s.size()));
    }
    void octal(size_t off, size_t len, uint64_t v) {
        char t[32];
        std::snprintf(t, sizeof t, "%0*" PRIo64, static_cast<int>(len - 1), v);
        std::memcpy(b + off, t, len - 1);
    }
    void finish() {
        std::memset(b + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : b) sum += c;
        char t[16];
        std::snprintf(t, sizeof t, "%06o", sum);
        std::memcpy(b + 148, t, 7);  // six digits and a NUL, then the space
    }
};

TarHeader tar_header(const std::string& name, char type, uint32_t mode, uint64_t size) {
    TarHeader h;
    h.field(0, 100, name);
    h.octal(100, 8, mode);
    h.octal(108, 8, 0);
    h.octal(116, 8, 0);
    h.octal(124, 12, size);
    h.octal(136, 12, 0);
    h.b[156] = type;
    h.field(257, 6, std::string("ustar\0", 6));
    h.field(263, 2, "00");
    h.field(265, 32, "velmor");
    h.field(297, 32, "velmor");
    h.finish();
    return h;
}

bool tar_data(const char* p, uint64_t n) {
    static const char zeros[512] = {};
    if (n != 0 && std::fwrite(p, 1, n, stdout) != n) return false;
    uint64_t pad = (512 - n % 512) % 512;
    return pad == 0 || std::fwrite(zeros, 1, pad, stdout) == pad;
}

// An entry named NAME; a name over 100 bytes goes in a pax header first.
bool tar_entry(const std::string& name, char type, uint32_t mode, const std::string& data) {
    if (name.size() > 100) {
        std::string rec = " path=" + name + "\n";
        size_t len = rec.size() + 1;
        while (std::to_string(len).size() + rec.size() != len) len++;
        rec = std::to_string(len) + rec;
        TarHeader x =
            tar_header("PaxHeader/" + name.substr(name.size() - 80), 'x', 0644, rec.size());
        if (std::fwrite(x.b, 1, 512, stdout) != 512 || !tar_data(rec.data(), rec.size())) {
            return false;
        }
    }
    TarHeader h = tar_header(name.substr(0, 100), type, mode, data.size());
    return std::fwrite(h.b, 1, 512, stdout) == 512 && tar_data(data.data(), data.size());
}

}  // namespace

int cmd_extract_tar(const std::string& path) {
    Image img;
    std::vector<Entry> entries;
    std::vector<std::string> skipped;
    if (int status; !load_entries(path, &img, &entries, &skipped, &status)) return status;
    for (const Entry& e : entries) {
        const Row& r = img.rows[e.row];
        std::string name = e.path.substr(1);
        bool ok = r.kind == tv::KIND_DIR ? tar_entry(name + "/", '5', 0755, "")
                                         : tar_entry(name, '0', 0644, r.data);
        if (!ok) return fail(EXIT_IO, "extract", path, "standard output: " + errno_text());
    }
    static const char end[1024] = {};
    if (std::fwrite(end, 1, sizeof end, stdout) != sizeof end || std::fflush(stdout) != 0) {
        return fail(EXIT_IO, "extract", path, "standard output: " + errno_text());
    }
    return extract_end(img, path, skipped);
}

// ---- diff ----

namespace {

struct Seen {
    uint8_t kind;
    uint64_t size;
    std::string data;
};

bool collect(const std::string& path, std::map<std::string, Seen>* out, int* status) {
    Image img;
    if (!load("diff", path, &img, status)) return false;
    if (!img.accepted) {
        *status = fail(EXIT_REFUSED, "diff", path, img.verdict);
        return false;
    }
    std::vector<std::string> skipped;
    for (const Entry& e : walk(img, &skipped)) {
        const Row& r = img.rows[e.row];
        (*out)[e.path] = Seen{r.kind, r.size, r.data};
    }
    for (const std::string& s : skipped) fail(EXIT_REFUSED, "diff", path, "not compared: " + s);
    return true;
}

}  // namespace

int cmd_diff(const std::string& a, const std::string& b) {
    std::map<std::string, Seen> left, right;
    int status = EXIT_OK;
    if (!collect(a, &left, &status) || !collect(b, &right, &status)) return status;
    auto show = [](const std::string& p, const Seen& s) {
        return quoted(p) + (s.kind == tv::KIND_DIR ? "/" : "");
    };
    bool differ = false;
    auto l = left.begin();
    auto r = right.begin();
    while (l != left.end() || r != right.end()) {
        std::string line;
        if (r == right.end() || (l != left.end() && l->first < r->first)) {
            line = "removed " + show(l->first, l->second);
            ++l;
        } else if (l == left.end() || r->first < l->first) {
            line = "added   " + show(r->first, r->second);
            ++r;
        } else {
            const Seen& x = l->second;
            const Seen& y = r->second;
            if (x.kind != y.kind) {
                line = "changed " + quoted(l->first) + ": " +
                       (x.kind == tv::KIND_DIR ? "directory" : "file") + " -> " +
                       (y.kind == tv::KIND_DIR ? "directory" : "file");
            } else if (x.size != y.size) {
                line = "changed " + show(l->first, x) + ": length " + std::to_string(x.size) +
                       " -> " + std::to_string(y.size);
            } else if (x.data != y.data) {
                line = "changed " + show(l->first, x) + ": contents";
            }
            ++l;
            ++r;
        }
        if (line.empty()) continue;
        differ = true;
        std::printf("%s\n", line.c_str());
    }
    if (std::fflush(stdout) != 0)
        return fail(EXIT_IO, "diff", a, "standard output: " + errno_text());
    return differ ? EXIT_REFUSED : EXIT_OK;
}

// ---- pack ----

namespace {

struct HostEntry {
    std::string host;  // the host path
    std::string path;  // its path in the image
    bool dir;
    uint64_t size;
};

const char* file_type(mode_t m) {
    if (S_ISLNK(m)) return "a symbolic link (links are not followed)";
    if (S_ISCHR(m)) return "a character device";
    if (S_ISBLK(m)) return "a block device";
    if (S_ISFIFO(m)) return "a named pipe";
    if (S_ISSOCK(m)) return "a socket";
    return "not a regular file or directory";
}

// The host tree below HOST, depth first, each directory's names in byte
// order. False after the error line when an entry cannot be packed.
bool scan(const std::string& host, const std::string& path, std::vector<HostEntry>* out,
          int* status) {
    DIR* d = ::opendir(host.c_str());
    if (!d) {
        *status = fail(EXIT_IO, "pack", host, errno_text());
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* de = ::readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    bool read_failed = errno != 0;
    ::closedir(d);
    if (read_failed) {
        *status = fail(EXIT_IO, "pack", host, errno_text());
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string h = host + "/" + n;
        struct stat st;
        if (::lstat(h.c_str(), &st) != 0) {
            *status = fail(EXIT_IO, "pack", h, errno_text());
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            *status = fail(EXIT_REFUSED, "pack", h,
                           std::string(file_type(st.st_mode)) +
                               "; only regular files and directories are packed");
            return false;
        }
        if (n.size() > tv::NAME_CAP) {
            *status = fail(EXIT_REFUSED, "pack", h,
                           "a name of " + std::to_string(n.size()) + " bytes, over 64");
            return false;
        }
        if (!safe_name(n)) {
            *status = fail(EXIT_REFUSED, "pack", h, "a name the server refuses");
            return false;
        }
        out->push_back(
            HostEntry{h, path + "/" + n, S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size)});
        if (S_ISDIR(st.st_mode) && !scan(h, path + "/" + n, out, status)) return false;
    }
    return true;
}

// Checks the host tree against every capacity before anything is built.
// SKELETON holds the directories the server starts with; FREE_ROWS the rows
// left beside them.
bool fits(const std::vector<HostEntry>& entries, const std::set<std::string>& skeleton,
          uint64_t free_rows, int* status) {
    uint64_t rows = 0, slots = 0, image = tv::SNAP_FIXED;
    for (const HostEntry& e : entries) {
        if (skeleton.count(e.path)) {
            if (e.dir) continue;
            *status = fail(EXIT_REFUSED, "pack", e.host,
                           "a file, where the image has the directory " + e.path);
            return false;
        }
        if (++rows > free_rows) {
            *status = fail(EXIT_REFUSED, "pack", e.host,
                           "entry " + std::to_string(rows) + " of the tree, over the " +
                               std::to_string(free_rows) + " node rows that are free (" +
                               std::to_string(tv::NODE_CAP) + " less the skeleton)");
            return false;
        }
        if (e.dir) continue;
        if (e.size > tv::FILE_CAP) {
            *status = fail(EXIT_REFUSED, "pack", e.host,
                           std::to_string(e.size) + " bytes, over the largest file of " +
                               std::to_string(tv::FILE_CAP) + " bytes (4 MiB)");
            return false;
        }
        // The server writing the file takes a slot for every 64 KiB chunk.
        slots += chunks_of(e.size);
        if (slots > tv::DATA_SLOT_CAP - 1) {
            *status =
                fail(EXIT_REFUSED, "pack", e.host,
                     "the contents up to this file need " + std::to_string(slots) +
                         " data slots of 64 KiB, over " + std::to_string(tv::DATA_SLOT_CAP - 1));
            return false;
        }
        image += e.size;
        if (image > tv::SNAP_CAP) {
            *status = fail(EXIT_REFUSED, "pack", e.host,
                           "the image up to this file is " + std::to_string(image) +
                               " bytes, over " + std::to_string(tv::SNAP_CAP) + " (5 MiB)");
            return false;
        }
    }
    return true;
}

// Writes snap_buf[0, len) to IMG through a temporary file in its directory,
// renamed into place once whole.
bool write_image(const std::string& img, uint64_t len, int* status) {
    std::string tmp = img + ".tlnimg-XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        *status = fail(EXIT_IO, "pack", img, errno_text());
        return false;
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = write_all(fd, reinterpret_cast<const char*>(tv::snap_buf.data()), len) &&
              ::fchmod(fd, 0666 & ~mask) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), img.c_str()) == 0) return true;
    *status = fail(EXIT_IO, "pack", img, errno_text());
    ::unlink(tmp.c_str());
    return false;
}

}  // namespace

int cmd_pack(const std::string& dir, const std::string& img) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return fail(EXIT_IO, "pack", dir, errno_text());
    if (!S_ISDIR(st.st_mode)) return fail(EXIT_REFUSED, "pack", dir, "not a directory");
    std::vector<HostEntry> entries;
    int status = EXIT_OK;
    std::string top = dir;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    if (!scan(top, "", &entries, &status)) return status;

    // The tables as at the server's start: the root and the skeleton.
    fresh_tables();
    Image fresh;
    fresh.rows_known = true;
    for (uint64_t n = 0; n < tv::NODE_CAP; n++) {
        fresh.rows[n].kind = tv::node_kind[n];
        fresh.rows[n].parent = tv::node_parent[n];
        fresh.rows[n].name.assign(reinterpret_cast<const char*>(tv::node_name[n].data()),
                                  tv::node_namelen[n]);
    }
    std::vector<std::string> none;
    std::set<std::string> skeleton;
    uint64_t used = 1;
    for (const Entry& e : walk(fresh, &none)) {
        skeleton.insert(e.path);
        used++;
    }
    if (!fits(entries, skeleton, tv::NODE_CAP - used, &status)) return status;

    // Built by the server's own handlers, through tlnc's own mkdir and put.
    {
        InProcess srv;
        std::string err;
        if (!srv.start(&err)) return fail(EXIT_IO, "pack", dir, "in-process server: " + err);
        tlnc::program_name = "tlnimg";
        for (const HostEntry& e : entries) {
            if (skeleton.count(e.path)) continue;
            int r = e.dir ? tlnc::cmd_mkdir(srv.session(), e.path)
                          : tlnc::cmd_put(srv.session(), e.host, e.path);
            if (r != tlnc::EXIT_OK) {
                return fail(r, "pack", e.host, "not stored (the error above); no image written");
            }
        }
        if (!srv.finish()) return fail(EXIT_IO, "pack", dir, "the in-process server broke off");
    }

    // The image as a server restoring it would save it again: a reload
    // settles what a restore changes (the chain length of a file ends at its
    // last chunk that holds data), so serving the image and saving it gives
    // back these bytes.
    uint64_t len = tv::tln_serialize();
    if (len == 0) return fail(EXIT_REFUSED, "pack", dir, "the image would be over 5 MiB");
    if (tv::tln_deserialize(len) != 1) {
        return fail(EXIT_REFUSED, "pack", dir, "the server refuses the image: " + refusal_text());
    }
    len = tv::tln_serialize();
    if (!write_image(img, len, &status)) return status;
    return EXIT_OK;
}

}  // namespace tlnimg
