// The Linux dialect's texts against the C library and the kernel's 9P2000
// list. (That the table has one row per text of errors.h, and no other, the
// compiler checks in errmap.cpp.)
#include "errors/errmap.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

namespace {

// The entries of the Linux kernel's 9P2000 error list (net/9p/error.c) for
// the errnos the table uses: the text the kernel matches and its errno.
const std::map<std::string, int> KERNEL_LIST = {
    {"No such file or directory", ENOENT},
    {"Input/output error", EIO},
    {"Bad file descriptor", EBADF},
    {"Permission denied", EACCES},
    {"Device or resource busy", EBUSY},
    {"File exists", EEXIST},
    {"Not a directory", ENOTDIR},
    {"Is a directory", EISDIR},
    {"Invalid argument", EINVAL},
    {"Too many open files", EMFILE},
    {"File too large", EFBIG},
    {"No space left on device", ENOSPC},
    {"File name too long", ENAMETOOLONG},
    {"Function not implemented", ENOSYS},
    {"Directory not empty", ENOTEMPTY},
    {"Operation not supported", EOPNOTSUPP},
    {"Protocol error", EPROTO},
    {"Too many users", EUSERS},
};

// Each row's Linux text is strerror's text for the row's errno (ENOENT's for
// ESTALE, which the kernel's list lacks) and is on the kernel's list for that
// same errno.
TEST(Errmap, LinuxTextsAreTheKernelsTextsForTheRowsErrno) {
    for (const ErrmapRule& r : errmap_rules()) {
        int want = r.err == ESTALE ? ENOENT : r.err;
        std::string_view got = errmap_linux_text(r.text);
        EXPECT_EQ(got, std::string_view(std::strerror(want))) << r.text;
        EXPECT_LE(got.size(), ERRMAP_LINUX_TEXT_MAX) << r.text;
        auto k = KERNEL_LIST.find(std::string(got));
        ASSERT_NE(k, KERNEL_LIST.end()) << "the kernel's list lacks '" << got << "' for " << r.text;
        EXPECT_EQ(k->second, want) << r.text;
    }
}

TEST(Errmap, OtherTextsGoOutUnchanged) {
    for (std::string_view t :
         {"", "tolvane:", "tolvane: no such file or directory ", "TOLVANE: NAME EXISTS",
          "tolvane: name exists\n", "No such file or directory", "'b': not found"}) {
        EXPECT_EQ(errmap_errno(t), 0) << "'" << t << "'";
        std::string_view out = errmap_linux_text(t);
        EXPECT_EQ(out.data(), t.data()) << "'" << t << "'";
        EXPECT_EQ(out.size(), t.size()) << "'" << t << "'";
    }
}

}  // namespace
