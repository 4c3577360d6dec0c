// tlnimg's view of one snapshot image. Loading goes through the server's own
// reader (tln_deserialize into the server's global tables), so an image is
// accepted or refused exactly as the server would; what the tool needs is
// then copied out of the tables into the ordinary structures below, so that
// a second image can be loaded after it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tlnimg {

// Exit statuses, as tlnc's.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_REFUSED = 1;  // refused image, different images, refused request
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_IO = 3;  // a host file could not be read or written

// One row of the node table as the image holds it.
struct Row {
    uint8_t kind = 0;  // 0 free, 1 directory, 2 file (anything in a refused image)
    int64_t parent = 0;
    std::string name;      // the name's bytes (at most 64; cut there in a refused image)
    uint64_t namelen = 0;  // as stored, even when over 64
    uint64_t size = 0;
    uint32_t vers = 0;
    uint64_t chain_len = 0;
    bool readable = false;  // its contents (if it has any) were read
    std::string data;       // a file's bytes, holes as zeros
    std::string damage;     // a refused image: why this row cannot be used as it is
};

struct Image {
    std::string path;
    uint64_t length = 0;  // bytes in the file
    bool accepted = false;
    std::string verdict;      // "accepted", or why the server refuses it
    bool rows_known = false;  // the row tables could be read (magic and fixed part intact)
    std::array<Row, 384> rows;
    uint32_t slots = 0;  // data slots the contents need
};

// The server's tables as at its start (the root and the skeleton), once per
// process and before any image is loaded.
void fresh_tables();

// Reads the file PATH as the server's backing store would hand it over and
// runs the server's reader on it. On an accepted image the server's tables
// now hold its tree. On a refused one the rows are read from the bytes as far
// as the damage allows. False (with ERR set) when the file cannot be read.
// Without CONTENTS the rows of an accepted image are copied out without
// their files' bytes (for info and check, which need only the rows).
bool load_image(const std::string& path, Image* img, std::string* err, bool contents = true);

// The reader's last refusal in words: the rule, the row and the field value.
std::string refusal_text();

// Rows in use that are children of DIR, lowest row first.
std::vector<uint64_t> children(const Image& img, uint64_t dir);

// A name that can be a host file name: not empty, not "." or "..", no '/' and
// no NUL. The server refuses to create any other, but an image may hold one.
bool safe_name(const std::string& name);

// A name or path for a line of text: bytes below 0x20, 0x7f and '\' become
// \xHH, so that every entry stays on one line.
std::string quoted(const std::string& s);

// Every row the tool can place in a host tree, as a path, depth first with
// the names of each directory in byte order; rows it cannot place are
// listed in SKIPPED ("row N NAME: why").
struct Entry {
    uint64_t row;
    std::string path;  // "/etc/a"
    int depth;         // 1 for a child of the root
};
std::vector<Entry> walk(const Image& img, std::vector<std::string>* skipped);

}  // namespace tlnimg
