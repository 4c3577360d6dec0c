// The error table against the server's own sources, and the mapping of every
// kind of client failure.
#include "errmap.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using tlnclient::Error;
using tlnclient::ErrorKind;
using tlnmount::errno_for;
using tlnmount::errno_for_text;

// Every "tolvane: ..." literal in the server's handlers and in errors.h,
// where the texts are named.
std::set<std::string> server_texts() {
    std::set<std::string> out;
    std::regex lit("\"(tolvane: [^\"]*)\"");
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(TOLVANE_SOURCE_DIR) + "/user/tolvane")) {
        if (e.path().extension() != ".cpp" && e.path().filename() != "errors.h") continue;
        std::ifstream f(e.path());
        std::stringstream ss;
        ss << f.rdbuf();
        std::string src = ss.str();
        for (std::sregex_iterator it(src.begin(), src.end(), lit), end; it != end; ++it) {
            out.insert((*it)[1].str());
        }
    }
    return out;
}

TEST(ErrnoTable, HasOneRowForEveryTextTheServerSends) {
    std::set<std::string> texts = server_texts();
    ASSERT_GE(texts.size(), 20u) << "the server's sources were not found under "
                                 << TOLVANE_SOURCE_DIR;
    std::set<std::string> rows;
    for (const auto& r : tlnmount::errno_rules()) {
        EXPECT_TRUE(rows.insert(std::string(r.text)).second) << "two rows for " << r.text;
        EXPECT_GT(r.err, 0) << r.text;
    }
    for (const auto& t : texts) EXPECT_TRUE(rows.count(t)) << "no row for the server's " << t;
    for (const auto& r : rows) {
        if (r.rfind("velmor: ", 0) == 0) continue;  // the stand-in's own, on a posted name
        EXPECT_TRUE(texts.count(r)) << "the server never sends " << r;
    }
}

TEST(ErrnoTable, MapsTheServerTextsProgramsMeet) {
    const struct {
        const char* text;
        int err;
    } cases[] = {
        {"tolvane: no such file or directory", ENOENT},
        {"tolvane: name exists", EEXIST},
        {"tolvane: directory not empty", ENOTEMPTY},
        {"tolvane: create in a non-directory", ENOTDIR},
        {"tolvane: node table full", ENOSPC},
        {"tolvane: file-data pool exhausted", ENOSPC},
        {"tolvane: snapshot capacity exhausted", ENOSPC},
        {"tolvane: file too large", EFBIG},
        {"tolvane: bad name length", ENAMETOOLONG},
        {"tolvane: bad name", EINVAL},
        {"tolvane: fid table full", EMFILE},
        {"tolvane: file removed", ESTALE},
        {"tolvane: Twstat not supported", ENOTSUP},
        {"tolvane: fid not open for write", EBADF},
        {"tolvane: fid not open for read", EBADF},
        {"tolvane: directory is read-only", EISDIR},
        {"tolvane: cannot write a directory", EISDIR},
        {"tolvane: persist failed", EIO},
        {"tolvane: remove not persisted", EIO},
        {"tolvane: cannot remove root", EBUSY},
        {"tolvane: unknown fid", EIO},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errno_for_text(c.text), c.err) << c.text;
        EXPECT_EQ(errno_for(Error{ErrorKind::refused, c.text}), c.err) << c.text;
    }
}

TEST(ErrnoTable, OtherTextsAreEio) {
    for (const char* t : {"", "tolvane:", "tolvane: no such file or directory ",
                          "TOLVANE: NAME EXISTS", "tolvane: name exists\n", "no such file",
                          "permission denied", "'': not found", "x': not found"}) {
        EXPECT_EQ(errno_for_text(t), EIO) << "'" << t << "'";
    }
}

TEST(ErrnoTable, TheClientsAccountOfAStoppedWalkIsEnoent) {
    EXPECT_EQ(errno_for_text("'b': not found"), ENOENT);
    EXPECT_EQ(errno_for(Error{ErrorKind::refused, "'some name': not found"}), ENOENT);
}

TEST(ErrnoTable, BrokenConnectionsAndLocalFailures) {
    // A server text carried by a dead connection is still a dead connection.
    EXPECT_EQ(errno_for(Error{ErrorKind::connection, "tolvane: name exists"}), EIO);
    EXPECT_EQ(errno_for(Error{ErrorKind::protocol, "Rread of 9 bytes for a Tread of 8"}), EIO);
    EXPECT_EQ(errno_for(Error{ErrorKind::connection, "timed out"}), EIO);
    EXPECT_EQ(errno_for(Error{ErrorKind::local, "out of fids"}), EMFILE);
    EXPECT_EQ(errno_for(Error{ErrorKind::local, "path element too long"}), EIO);
    EXPECT_EQ(errno_for(Error{ErrorKind::local, std::string(tlnmount::NOT_CONNECTED) + ": gone"}),
              ENOTCONN);
}

}  // namespace
