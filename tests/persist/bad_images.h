// The images the reader must refuse, each with the rule it breaks: one valid
// image and the ways to spoil it. Shared by the persistence suite (the reader
// refuses each and leaves the tree alone) and the image tool's suite (which
// must give the same verdict for the same reason).
#pragma once

#include <functional>
#include <vector>

#include "persist_util.h"
#include "tolvane/tolvane.h"

namespace persist_test {

struct BadImage {
    const char* name;
    std::function<void(Bytes&)> spoil;
    uint8_t reason;  // snap_reason after the refusal
    int64_t row;     // snap_reason_row
};

// A valid image to spoil: the skeleton, /etc/a (70000 bytes, a hole in chunk
// 0), /var/b (10 bytes), a free row 13 and an empty file 14.
inline Bytes good_image() {
    ImageDesc d = skeleton_desc();
    d.rows[11] = file_row(3, "a", 70000, 2);
    Bytes a(70000, 0);
    a[69999] = 0x11;
    d.data[11] = a;
    d.rows[12] = file_row(1, "b", 10, 1);
    d.data[12] = Bytes(10, 0x22);
    d.rows[14] = file_row(0, "e", 0, 0);
    return d.encode();
}

inline void set_u64(Bytes& b, uint64_t off, uint64_t v) {
    put_le(b, off, v, 8);
}

inline std::vector<BadImage> bad_images() {
    std::vector<BadImage> v = {
        {"empty", [](Bytes& b) { b.clear(); }, tolvane::SNAP_BAD_SHORT, -1},
        {"seven bytes", [](Bytes& b) { b.resize(7); }, tolvane::SNAP_BAD_SHORT, -1},
        {"first magic byte", [](Bytes& b) { b[0] = 't'; }, tolvane::SNAP_BAD_MAGIC, -1},
        {"last magic byte", [](Bytes& b) { b[7] = '2'; }, tolvane::SNAP_BAD_MAGIC, -1},
        {"fixed part one byte short", [](Bytes& b) { b.resize(FIXED - 1); },
         tolvane::SNAP_BAD_FIXED, -1},
        {"last file one byte short", [](Bytes& b) { b.pop_back(); }, tolvane::SNAP_BAD_CONTENTS,
         12},
        {"file past the end",
         [](Bytes& b) { set_u64(b, OFF_SIZE + 8 * 12, get_le(b, OFF_SIZE + 8 * 12, 8) + 1); },
         tolvane::SNAP_BAD_CONTENTS, 12},
        {"file size above FILE_CAP",
         [](Bytes& b) {
             set_u64(b, OFF_SIZE + 8 * 12, tolvane::FILE_CAP + 1);
             b.resize(b.size() + tolvane::FILE_CAP + 1 - 10, 0);
         },
         tolvane::SNAP_BAD_FILE_SIZE, 12},
        {"empty file with a size above FILE_CAP",
         [](Bytes& b) { set_u64(b, OFF_SIZE + 8 * 14, tolvane::FILE_CAP + 1); },
         tolvane::SNAP_BAD_FILE_SIZE, 14},
        {"huge size that would wrap", [](Bytes& b) { set_u64(b, OFF_SIZE + 8 * 12, ~0ull - 3); },
         tolvane::SNAP_BAD_FILE_SIZE, 12},
        {"kind 3", [](Bytes& b) { b[OFF_KIND + 13] = 3; }, tolvane::SNAP_BAD_KIND, 13},
        {"kind 255 on a used row", [](Bytes& b) { b[OFF_KIND + 5] = 255; }, tolvane::SNAP_BAD_KIND,
         5},
        {"parent -1", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 4, ~0ull); },
         tolvane::SNAP_BAD_PARENT, 4},
        {"parent 384", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 12, 384); },
         tolvane::SNAP_BAD_PARENT, 12},
        {"parent 2^63", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 12, 1ull << 63); },
         tolvane::SNAP_BAD_PARENT, 12},
        {"name length 65", [](Bytes& b) { set_u64(b, OFF_NAMELEN + 8 * 2, 65); },
         tolvane::SNAP_BAD_NAMELEN, 2},
        {"name length 65 on a free row", [](Bytes& b) { set_u64(b, OFF_NAMELEN + 8 * 200, 65); },
         tolvane::SNAP_BAD_NAMELEN, 200},
        {"name length 2^64-1", [](Bytes& b) { set_u64(b, OFF_NAMELEN + 8 * 11, ~0ull); },
         tolvane::SNAP_BAD_NAMELEN, 11},
        {"row 0 free", [](Bytes& b) { b[OFF_KIND] = 0; }, tolvane::SNAP_BAD_ROOT_KIND, 0},
        {"row 0 a file", [](Bytes& b) { b[OFF_KIND] = 2; }, tolvane::SNAP_BAD_ROOT_KIND, 0},
        {"row 0 with a parent", [](Bytes& b) { set_u64(b, OFF_PARENT, 1); },
         tolvane::SNAP_BAD_ROOT_PARENT, 0},
        {"row 0 with a name",
         [](Bytes& b) {
             b[OFF_NAME] = 'x';
             set_u64(b, OFF_NAMELEN, 1);
         },
         tolvane::SNAP_BAD_ROOT_NAME, 0},
        {"parent is a free row", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 12, 13); },
         tolvane::SNAP_BAD_PARENT_KIND, 12},
        {"parent is a file", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 12, 11); },
         tolvane::SNAP_BAD_PARENT_KIND, 12},
        {"directory is its own parent", [](Bytes& b) { set_u64(b, OFF_PARENT + 8 * 2, 2); },
         tolvane::SNAP_BAD_CYCLE, 2},
        {"two directories are each other's parent",
         [](Bytes& b) {
             set_u64(b, OFF_PARENT + 8 * 4, 7);  // lib under dpkg, dpkg under lib
         },
         tolvane::SNAP_BAD_CYCLE, 4},
        {"empty name", [](Bytes& b) { set_u64(b, OFF_NAMELEN + 8 * 12, 0); },
         tolvane::SNAP_BAD_EMPTY_NAME, 12},
        {"same name twice in a directory",
         [](Bytes& b) {
             // /usr renamed "var": two "var" in the root.
             b[OFF_NAME + 64 * 2] = 'v';
             b[OFF_NAME + 64 * 2 + 1] = 'a';
             b[OFF_NAME + 64 * 2 + 2] = 'r';
         },
         tolvane::SNAP_BAD_DUP_NAME, 2},
        {"directory with a size", [](Bytes& b) { set_u64(b, OFF_SIZE + 8 * 3, 1); },
         tolvane::SNAP_BAD_SIZE_NOT_FILE, 3},
        {"directory with a chain length", [](Bytes& b) { set_u64(b, OFF_CHAINLEN + 8 * 3, 1); },
         tolvane::SNAP_BAD_CHAIN_NOT_FILE, 3},
        {"free row with a chain length", [](Bytes& b) { set_u64(b, OFF_CHAINLEN + 8 * 13, 2); },
         tolvane::SNAP_BAD_CHAIN_NOT_FILE, 13},
        {"free row with a size", [](Bytes& b) { set_u64(b, OFF_SIZE + 8 * 13, 2); },
         tolvane::SNAP_BAD_SIZE_NOT_FILE, 13},
        {"contents need 64 slots",
         [](Bytes& b) {
             // The empty file (row 14, whose contents would come last) gets
             // 62 chunks of data beside the 2 slots the others need.
             set_u64(b, OFF_SIZE + 8 * 14, 62 * 65536);
             set_u64(b, OFF_CHAINLEN + 8 * 14, 62);
             b.resize(b.size() + 62 * 65536, 0x01);
         },
         tolvane::SNAP_BAD_SLOTS, 14},
    };
    return v;
}

}  // namespace persist_test
