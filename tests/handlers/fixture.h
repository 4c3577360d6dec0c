// Shared fixture of the handler suites: a fresh server (skeleton, no backing
// store) behind a socketpair, and request helpers that check the reply type
// and tag and decode the reply's fields.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "stat.h"
#include "support.h"
#include "tolvane/tolvane.h"

// For gtest's messages, which look the printer up in the type's namespace.
namespace tlnclient {
std::ostream& operator<<(std::ostream& os, const Qid& q);
}  // namespace tlnclient

namespace tolvane_test {

using Qid = tlnclient::Qid;

// A stat record as the client library decodes it, with the length the
// record took on the wire.
struct Stat : tlnclient::Stat {
    size_t record_len = 0;
};

// Decodes a run of whole stat records (a directory read); fails the test on
// a record that does not decode or bytes left over.
std::vector<Stat> parse_listing(const Bytes& data);
// Names of a listing, in order.
std::vector<std::string> names_of(const std::vector<Stat>& list);

// Skeleton rows (node numbers) of a fresh tree.
inline constexpr int64_t ROW_VAR = 1, ROW_USR = 2, ROW_ETC = 3, ROW_LIB = 4, ROW_CACHE = 5,
                         ROW_WWW = 6, ROW_DPKG = 7, ROW_INFO = 8, ROW_APT = 9, ROW_ARCHIVES = 10;
inline constexpr int64_t SKELETON_ROWS = 11;
// Creates that fill the node table after the skeleton.
inline constexpr int64_t FREE_ROWS = static_cast<int64_t>(tolvane::NODE_CAP) - SKELETON_ROWS;
static_assert(FREE_ROWS == 373);

inline constexpr uint32_t ROOT_FID = 0;
inline constexpr uint8_t OREAD = P9_OREAD, OWRITE = P9_OWRITE, ORDWR = P9_ORDWR, OEXEC = P9_OEXEC,
                         OTRUNC = P9_OTRUNC;

Bytes pattern(size_t n, uint8_t seed = 1);

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends one request through the real request step and returns the reply;
    // checks the reply echoes the request's tag.
    Bytes call(const Bytes& request);
    // The Rerror text of a request expected to be refused.
    std::string refused(const Bytes& request) { return rerror_text(call(request)); }

    // Each expects success and fails the test otherwise.
    Qid attach(uint32_t fid, std::string_view aname = "");
    std::vector<Qid> walk(uint32_t fid, uint32_t newfid, const std::vector<std::string>& names);
    Qid open(uint32_t fid, uint8_t mode);
    Qid create(uint32_t fid, std::string_view name, uint32_t perm, uint8_t mode);
    uint32_t write(uint32_t fid, uint64_t offset, const Bytes& data);
    Bytes read(uint32_t fid, uint64_t offset, uint32_t count);
    void clunk(uint32_t fid);
    void remove(uint32_t fid);
    Stat stat(uint32_t fid);

    // Root fid 0 attached, fid walked from it along names (no names: a clone).
    void walk_new(uint32_t newfid, const std::vector<std::string>& names);
    // Creates a file in the directory at path (from the root), leaving fid
    // open on it with mode; returns its qid.
    Qid create_in(uint32_t fid, const std::vector<std::string>& dir, std::string_view name,
                  uint8_t mode = ORDWR, uint32_t perm = 0644);
    // Creates and clunks a node, through a temporary fid.
    Qid make(const std::vector<std::string>& dir, std::string_view name, uint32_t perm = 0644);
    // The whole listing of the directory at path, read in one request.
    std::vector<Stat> list(const std::vector<std::string>& dir);
    // Node row of a qid (the low half of its path).
    static int64_t row(const Qid& q) { return static_cast<int64_t>(q.path & 0xFFFFFFFFu) - 1; }

    std::unique_ptr<Wire> wire;
    uint16_t next_tag = 1;
    uint16_t tag() { return next_tag++; }
};

}  // namespace tolvane_test
