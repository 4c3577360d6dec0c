// The one error table against the server's named texts and the stand-in's
// own, and the Linux dialect's texts against the C library and the kernel's
// 9P2000 list.
#include "kernel/linux/errmap.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

// Every "tolvane: ..." text named in the server's errors.h.
std::set<std::string> named_texts() {
    std::ifstream f(std::string(TOLVANE_SOURCE_DIR) + "/user/tolvane/errors.h");
    std::stringstream ss;
    ss << f.rdbuf();
    std::string src = ss.str();
    std::set<std::string> out;
    std::regex lit("\"(tolvane: [^\"]*)\"");
    for (std::sregex_iterator it(src.begin(), src.end(), lit), end; it != end; ++it) {
        out.insert((*it)[1].str());
    }
    return out;
}

// The entries of the Linux kernel's 9P2000 error list (net/9p/error.c) for
// the errnos the table uses: the text the kernel matches and its errno.
const std::map<std::string, int> KERNEL_LIST = {
    {"No such file or directory", ENOENT}, {"Input/output error", EIO},
    {"Bad file descriptor", EBADF},        {"Permission denied", EACCES},
    {"Device or resource busy", EBUSY},    {"File exists", EEXIST},
    {"Not a directory", ENOTDIR},          {"Is a directory", EISDIR},
    {"Invalid argument", EINVAL},          {"Too many open files", EMFILE},
    {"File too large", EFBIG},             {"No space left on device", ENOSPC},
    {"File name too long", ENAMETOOLONG},  {"Function not implemented", ENOSYS},
    {"Directory not empty", ENOTEMPTY},    {"Operation not supported", EOPNOTSUPP},
    {"Protocol error", EPROTO},            {"Too many users", EUSERS},
};

TEST(Errmap, HasOneRowForEveryNamedText) {
    std::set<std::string> named = named_texts();
    ASSERT_GE(named.size(), 20u) << "errors.h was not found under " << TOLVANE_SOURCE_DIR;
    for (const char* own : {VELMOR_ERR_MALFORMED, VELMOR_ERR_TOO_MANY, VELMOR_ERR_MSIZE}) {
        named.insert(own);
    }
    std::set<std::string> rows;
    for (const ErrmapRule& r : errmap_rules()) {
        EXPECT_TRUE(rows.insert(std::string(r.text)).second) << "two rows for " << r.text;
        EXPECT_GT(r.err, 0) << r.text;
        EXPECT_EQ(errmap_errno(r.text), r.err) << r.text;
    }
    for (const auto& t : named) EXPECT_TRUE(rows.count(t)) << "no row for " << t;
    for (const auto& r : rows) EXPECT_TRUE(named.count(r)) << "errors.h does not name " << r;
}

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
    for (std::string_view t : {"", "tolvane:", "tolvane: no such file or directory ",
                               "TOLVANE: NAME EXISTS", "tolvane: name exists\n",
                               "No such file or directory", "'b': not found"}) {
        EXPECT_EQ(errmap_errno(t), 0) << "'" << t << "'";
        std::string_view out = errmap_linux_text(t);
        EXPECT_EQ(out.data(), t.data()) << "'" << t << "'";
        EXPECT_EQ(out.size(), t.size()) << "'" << t << "'";
    }
}

}  // namespace
