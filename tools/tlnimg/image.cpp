// Loading an image through the server's reader, and reading the rows of one
// it refuses as far as the damage allows.
#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <set>

#include "tolvane/tolvane.h"

namespace tlnimg {

namespace tv = tolvane;

static_assert(tv::NODE_CAP == std::tuple_size_v<decltype(Image::rows)>);

// An accepted image replaces the skeleton wholesale. init_tree runs once per
// process, on tables that are still all zero.
void fresh_tables() {
    static bool done = false;
    if (done) return;
    tv::init_tree();
    done = true;
}

namespace {

std::string num(uint64_t v) {
    return std::to_string(v);
}

// The accepted image's tree, from the server's tables.
void rows_from_tables(Image* img, bool contents) {
    for (uint64_t n = 0; n < tv::NODE_CAP; n++) {
        Row& r = img->rows[n];
        r = Row{};
        r.kind = tv::node_kind[n];
        r.parent = tv::node_parent[n];
        r.namelen = tv::node_namelen[n];
        r.name.assign(reinterpret_cast<const char*>(tv::node_name[n].data()), r.namelen);
        r.size = tv::node_size[n];
        r.vers = tv::node_vers[n];
        r.chain_len = tv::node_chain_len[n];
        r.readable = true;
        if (r.kind != tv::KIND_FILE || !contents) continue;
        r.data.assign(r.size, '\0');
        for (uint64_t off = 0; off < r.size; off += tv::SLOT_CAP) {
            uint64_t step = std::min<uint64_t>(tv::SLOT_CAP, r.size - off);
            uint64_t base = tv::node_get_chunk(static_cast<int64_t>(n), off / tv::SLOT_CAP, 0);
            if (base != 0) std::memcpy(r.data.data() + off, tv::node_data.data() + base, step);
        }
    }
    img->slots = 0;
    for (uint64_t s = 1; s < tv::DATA_SLOT_CAP; s++) img->slots += tv::dataslot_used[s];
}

// A refused image's rows, read from snap_buf by the image's own layout,
// with each row's damage noted. LEN is the number of bytes in snap_buf.
void rows_from_bytes(Image* img, uint64_t len) {
    using tv::snap_get_u32;
    using tv::snap_get_u64;
    img->rows_known = true;
    uint64_t pos = tv::SNAP_FIXED;
    bool lost = false;  // an earlier file's contents ran off the end
    uint32_t slots = 0;
    for (uint64_t n = 0; n < tv::NODE_CAP; n++) {
        Row& r = img->rows[n];
        r = Row{};
        r.kind = tv::snap_buf[tv::SNAP_OFF_KIND + n];
        r.parent = static_cast<int64_t>(snap_get_u64(tv::SNAP_OFF_PARENT + 8 * n));
        r.namelen = snap_get_u64(tv::SNAP_OFF_NAMELEN + 8 * n);
        r.name.assign(reinterpret_cast<const char*>(tv::snap_buf.data() + tv::SNAP_OFF_NAME +
                                                    tv::NAME_CAP * n),
                      std::min<uint64_t>(r.namelen, tv::NAME_CAP));
        r.size = snap_get_u64(tv::SNAP_OFF_SIZE + 8 * n);
        r.vers = snap_get_u32(tv::SNAP_OFF_VERS + 4 * n);
        r.chain_len = snap_get_u64(tv::SNAP_OFF_CHAINLEN + 8 * n);
        if (r.kind > tv::KIND_FILE) r.damage = "kind " + num(r.kind);
        if (r.namelen > tv::NAME_CAP) r.damage = "name length " + num(r.namelen) + ", over 64";
        if (r.kind != tv::KIND_FILE) {
            r.readable = true;
            continue;
        }
        if (r.chain_len == 0) {
            // No contents stored: the file reads as its size in zeros.
            if (r.size > tv::FILE_CAP) {
                r.damage = "file size " + num(r.size) + ", over 4194304";
            } else {
                r.data.assign(r.size, '\0');
                r.readable = true;
            }
            continue;
        }
        if (lost) {
            r.damage = "contents lost: an earlier file's run past the end of the image";
            continue;
        }
        if (r.size > len - pos) {
            r.damage = "contents of " + num(r.size) + " bytes run past the end of the image";
            lost = true;
            continue;
        }
        if (r.size > tv::FILE_CAP) {
            r.damage = "file size " + num(r.size) + ", over 4194304";
        } else if (r.damage.empty()) {
            r.data.assign(reinterpret_cast<const char*>(tv::snap_buf.data() + pos), r.size);
            r.readable = true;
            for (uint64_t off = 0; off < r.size; off += tv::SLOT_CAP) {
                uint64_t step = std::min<uint64_t>(tv::SLOT_CAP, r.size - off);
                const char* p = r.data.data() + off;
                slots += std::any_of(p, p + step, [](char c) { return c != 0; });
            }
        }
        pos += r.size;
    }
    img->slots = slots;
}

}  // namespace

std::string refusal_text() {
    int64_t row = tv::snap_reason_row;
    uint64_t v = tv::snap_reason_value;
    std::string at = "row " + std::to_string(row) + ": ";
    switch (tv::snap_reason) {
        case tv::SNAP_OK:
            return "accepted";
        case tv::SNAP_BAD_SHORT:
            return "the image is " + num(v) + " bytes, shorter than its 8-byte magic";
        case tv::SNAP_BAD_MAGIC:
            return "the image does not begin with the magic TLNIMG03";
        case tv::SNAP_BAD_FIXED:
            return "the image is " + num(v) + " bytes, shorter than its " + num(tv::SNAP_FIXED) +
                   " bytes of row tables";
        case tv::SNAP_BAD_LENGTH:
            return "the image is " + num(v) + " bytes, over " + num(tv::SNAP_CAP) + " (5 MiB)";
        case tv::SNAP_BAD_KIND:
            return at + "kind " + num(v) + " (0 free, 1 directory and 2 file are the kinds)";
        case tv::SNAP_BAD_NAMELEN:
            return at + "name length " + num(v) + ", over 64";
        case tv::SNAP_BAD_SIZE_NOT_FILE:
            return at + "size " + num(v) + " in a row that is not a file";
        case tv::SNAP_BAD_CHAIN_NOT_FILE:
            return at + "chain length " + num(v) + " in a row that is not a file";
        case tv::SNAP_BAD_FILE_SIZE:
            return at + "file size " + num(v) + ", over " + num(tv::FILE_CAP) + " (4 MiB)";
        case tv::SNAP_BAD_ROOT_KIND:
            return at + "kind " + num(v) + ", but the root is a directory (1)";
        case tv::SNAP_BAD_ROOT_PARENT:
            return at + "parent " + std::to_string(static_cast<int64_t>(v)) +
                   ", but the root is its own parent (0)";
        case tv::SNAP_BAD_ROOT_NAME:
            return at + "name length " + num(v) + ", but the root's name is empty";
        case tv::SNAP_BAD_PARENT:
            return at + "parent " + std::to_string(static_cast<int64_t>(v)) +
                   ", outside the rows 0 to 383";
        case tv::SNAP_BAD_EMPTY_NAME:
            return at + "empty name";
        case tv::SNAP_BAD_PARENT_KIND:
            return at + "parent " + num(v) + ", which is not a directory in use";
        case tv::SNAP_BAD_CYCLE:
            return at + "parent " + num(v) + ", but its parents never lead to the root";
        case tv::SNAP_BAD_DUP_NAME:
            return at + "the same name as row " + num(v) + " in the same directory";
        case tv::SNAP_BAD_CONTENTS:
            return at + "contents of " + num(v) + " bytes run past the end of the image";
        case tv::SNAP_BAD_SLOTS:
            return at + "the contents need " + num(v) + " data slots up to this row, over " +
                   num(tv::DATA_SLOT_CAP - 1);
        default:
            return "refused (reason " + num(tv::snap_reason) + ")";
    }
}

bool load_image(const std::string& path, Image* img, std::string* err, bool contents) {
    fresh_tables();
    img->path = path;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *err = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? "is a directory" : std::strerror(errno);
        ::close(fd);
        return false;
    }
    // At most SNAP_CAP bytes fit in snap_buf; a longer file is refused by its
    // length, which is what the reader is told.
    uint64_t got = 0;
    bool more = false;
    for (;;) {
        if (got == tv::SNAP_CAP) {
            char probe;
            ssize_t k = ::read(fd, &probe, 1);
            if (k < 0 && errno == EINTR) continue;
            if (k < 0) break;
            more = k > 0;
            break;
        }
        ssize_t k = ::read(fd, tv::snap_buf.data() + got, tv::SNAP_CAP - got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            *err = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (k == 0) break;
        got += static_cast<uint64_t>(k);
    }
    ::close(fd);
    uint64_t len = got;
    if (more)
        len = S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > got
                  ? static_cast<uint64_t>(st.st_size)
                  : got + 1;
    img->length = len;

    img->accepted = tv::tln_deserialize(len) == 1;
    img->verdict = img->accepted ? "accepted" : "refused: " + refusal_text();
    if (img->accepted) {
        img->rows_known = true;
        rows_from_tables(img, contents);
        return true;
    }
    img->rows_known = false;
    img->slots = 0;
    img->rows.fill(Row{});
    bool magic = got >= 8 && std::memcmp(tv::snap_buf.data(), "TLNIMG03", 8) == 0;
    if (magic && got >= tv::SNAP_FIXED) rows_from_bytes(img, got);
    return true;
}

std::vector<uint64_t> children(const Image& img, uint64_t dir) {
    std::vector<uint64_t> out;
    for (uint64_t n = 0; n < img.rows.size(); n++) {
        const Row& r = img.rows[n];
        if (n == dir || r.kind == tv::KIND_FREE) continue;
        if (r.parent == static_cast<int64_t>(dir)) out.push_back(n);
    }
    return out;
}

bool safe_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string quoted(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

struct Walker {
    const Image& img;
    std::vector<std::string>* skipped;
    std::vector<Entry> out;
    std::vector<bool> placed = std::vector<bool>(img.rows.size(), false);
    std::vector<bool> noted = std::vector<bool>(img.rows.size(), false);

    void skip(uint64_t n, const std::string& why) {
        noted[n] = true;
        skipped->push_back("row " + std::to_string(n) + " '" + quoted(img.rows[n].name) +
                           "': " + why);
    }

    void dir(uint64_t d, const std::string& prefix, int depth) {
        std::vector<uint64_t> kids = children(img, d);
        std::stable_sort(kids.begin(), kids.end(), [&](uint64_t a, uint64_t b) {
            return img.rows[a].name < img.rows[b].name;
        });
        std::set<std::string> seen;
        std::string first_of;
        for (uint64_t k : kids) {
            const Row& r = img.rows[k];
            if (placed[k]) continue;
            if (!r.damage.empty()) {
                skip(k, r.damage);
                continue;
            }
            if (!safe_name(r.name)) {
                skip(k, "the name cannot be a host file name");
                continue;
            }
            if (!seen.insert(r.name).second) {
                skip(k, "a second entry of that name in " + (prefix.empty() ? "/" : prefix));
                continue;
            }
            placed[k] = true;
            std::string path = prefix + "/" + r.name;
            out.push_back(Entry{k, path, depth});
            if (r.kind == tv::KIND_DIR) dir(k, path, depth + 1);
        }
    }
};

}  // namespace

std::vector<Entry> walk(const Image& img, std::vector<std::string>* skipped) {
    Walker w{img, skipped, {}};
    w.placed[0] = true;
    w.dir(0, "", 1);
    for (uint64_t n = 1; n < img.rows.size(); n++) {
        const Row& r = img.rows[n];
        if (r.kind == tv::KIND_FREE || w.placed[n] || w.noted[n]) continue;
        w.skip(n, "not under the root (parent " + std::to_string(r.parent) + ")");
    }
    return w.out;
}

}  // namespace tlnimg
