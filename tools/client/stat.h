// tlnclient's stat record: the one decoded form of a 9P2000 stat record on
// the client side, and its decoders on the lib/9p codec. Apart from client.h
// so that a client with a client.h of its own (tlnbench) can use it.
#pragma once

#include <cstdint>
#include <string>

#include "9p/9p.h"

namespace tlnclient {

// Mode bits of a stat record besides the directory bit (P9_DMDIR, which is
// also the perm bit that makes Tcreate build a directory).
inline constexpr uint32_t DMAPPEND = 0x40000000;
inline constexpr uint32_t DMEXCL = 0x20000000;

struct Qid {
    uint8_t type = 0;  // P9_QTDIR, P9_QTFILE, ...
    uint32_t version = 0;
    uint64_t path = 0;
    bool is_dir() const { return (type & 0x80) != 0; }
    bool operator==(const Qid&) const = default;
};

// A decoded stat record; the strings are copies.
struct Stat {
    uint16_t type = 0;
    uint32_t dev = 0;
    Qid qid;
    uint32_t mode = 0;
    uint32_t atime = 0;
    uint32_t mtime = 0;
    uint64_t length = 0;
    std::string name;
    std::string uid;
    std::string gid;
    std::string muid;
    bool is_dir() const { return (mode & P9_DMDIR) != 0; }
};

// Decodes the stat record at OFFSET in BUF, which must end by BOUND, into ST
// (the strings copied). Returns the record's length, or the codec's negative
// error, ST then unspecified.
int64_t decode_stat(const uint8_t* buf, uint64_t bound, uint64_t offset, Stat& st);
// Decodes an Rstat message of LEN bytes into TAG and ST, as decode_stat.
int64_t decode_rstat(const uint8_t* buf, uint64_t len, uint16_t& tag, Stat& st);

}  // namespace tlnclient
