// The mapping of every kind of client failure to an errno. (The table's one
// row per server text the compiler checks in errmap.cpp.)
#include "errmap.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

using tlnclient::Error;
using tlnclient::ErrorKind;
using tlnmount::errno_for;
using tlnmount::errno_for_text;

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
