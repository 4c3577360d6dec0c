// The error table: one row per text the server can send, and the Linux
// kernel's text for each errno a row names.
#include "errors/errmap.h"

#include <array>
#include <cerrno>

#include "errors/errors.h"

namespace {

using namespace tolvane;

// Choices that are not obvious:
// - Texts that only a client bug could provoke (unknown fid, fid in use, fid
//   already open, bad directory offset) are EIO: a program can do nothing
//   about them and they should show up as I/O failures, not as its mistake.
// - "file removed" comes back through a handle whose file another path
//   removed; ESTALE ("Stale file handle") says exactly that.
// - A failed save left the change in the server's memory but not on its
//   store: EIO, as a disk error would.
// - Every Twstat is refused: chmod, chown, rename and explicit times see
//   ENOTSUP ("Operation not supported"), which tells the user the server
//   cannot do it rather than that they may not.
// - "not implemented" answers message types a client should not send (Tauth).
// - The image's capacity and a file's largest size are ENOSPC and EFBIG, as
//   a full disk and a file past the file system's limit would be.
// - The stand-in's own: a request it could not read is EPROTO ("Protocol
//   error"); a client over the cap is EUSERS ("Too many users"); an msize
//   too small for any reply is EINVAL.
constexpr std::array<ErrmapRule, 34> RULES = {{
    {ERR_UNKNOWN_FID, EIO},
    {ERR_FILE_REMOVED, ESTALE},
    {ERR_FID_IN_USE, EIO},
    {ERR_UNKNOWN_ATTACH_TREE, ENOENT},
    {ERR_FID_TABLE_FULL, EMFILE},
    {ERR_FID_IS_OPEN, EIO},
    {ERR_NEWFID_IN_USE, EIO},
    {ERR_NO_SUCH_FILE, ENOENT},
    {ERR_FID_ALREADY_OPEN, EIO},
    {ERR_DIRECTORY_READ_ONLY, EISDIR},
    {ERR_OTRUNC_NEEDS_WRITE, EACCES},
    {ERR_CREATE_IN_NON_DIRECTORY, ENOTDIR},
    {ERR_BAD_NAME_LENGTH, ENAMETOOLONG},
    {ERR_BAD_NAME, EINVAL},
    {ERR_NAME_EXISTS, EEXIST},
    {ERR_NODE_TABLE_FULL, ENOSPC},
    {ERR_BAD_DIRECTORY_OFFSET, EIO},
    {ERR_READ_COUNT_TOO_SMALL, EINVAL},
    {ERR_FID_NOT_OPEN, EBADF},
    {ERR_FID_NOT_OPEN_FOR_READ, EBADF},
    {ERR_FID_NOT_OPEN_FOR_WRITE, EBADF},
    {ERR_CANNOT_WRITE_DIRECTORY, EISDIR},
    {ERR_POOL_EXHAUSTED, ENOSPC},
    {ERR_SNAPSHOT_CAPACITY, ENOSPC},
    {ERR_FILE_TOO_LARGE, EFBIG},
    {ERR_PERSIST_FAILED, EIO},
    {ERR_CANNOT_REMOVE_ROOT, EBUSY},
    {ERR_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
    {ERR_REMOVE_NOT_PERSISTED, EIO},
    {ERR_TWSTAT_NOT_SUPPORTED, ENOTSUP},
    {ERR_NOT_IMPLEMENTED, ENOSYS},
    {VELMOR_ERR_MALFORMED, EPROTO},
    {VELMOR_ERR_TOO_MANY, EUSERS},
    {VELMOR_ERR_MSIZE, EINVAL},
}};

struct LinuxText {
    int err;
    std::string_view text;
};

// The kernel's text for each errno of the table: the C library's strerror
// text, which the kernel's list (net/9p/error.c) maps back to that errno.
// Kept here rather than asked of strerror() so nothing here needs the C
// library's locale state.
//
// One errno has no text on the kernel's list: ESTALE. Its nearest entry,
// "file has been removed", is EIDRM ("Identifier removed"), which tells a
// program nothing; the file is gone, so the dialect says ENOENT.
constexpr std::array<LinuxText, 19> LINUX_TEXTS = {{
    {EIO, "Input/output error"},
    {ESTALE, "No such file or directory"},
    {ENOENT, "No such file or directory"},
    {EMFILE, "Too many open files"},
    {EISDIR, "Is a directory"},
    {EACCES, "Permission denied"},
    {ENOTDIR, "Not a directory"},
    {ENAMETOOLONG, "File name too long"},
    {EINVAL, "Invalid argument"},
    {EEXIST, "File exists"},
    {ENOSPC, "No space left on device"},
    {EBADF, "Bad file descriptor"},
    {EFBIG, "File too large"},
    {EBUSY, "Device or resource busy"},
    {ENOTEMPTY, "Directory not empty"},
    {ENOTSUP, "Operation not supported"},
    {ENOSYS, "Function not implemented"},
    {EPROTO, "Protocol error"},
    {EUSERS, "Too many users"},
}};

constexpr std::string_view linux_text_for(int err) {
    for (const LinuxText& t : LINUX_TEXTS) {
        if (t.err == err) return t.text;
    }
    return {};
}

// One row for every text of errors.h, and no other.
constexpr bool has_row(std::string_view text) {
    int rows = 0;
    for (const ErrmapRule& r : RULES) rows += r.text == text ? 1 : 0;
    return rows == 1;
}
constexpr bool one_row_per_text() {
    for (std::string_view t : ERR_ALL) {
        if (!has_row(t)) return false;
    }
    for (std::string_view t : VELMOR_ERR_ALL) {
        if (!has_row(t)) return false;
    }
    return RULES.size() == ERR_ALL.size() + VELMOR_ERR_ALL.size();
}
static_assert(one_row_per_text());

// Every row's errno has a kernel text, no longer than the promised bound.
constexpr bool every_row_has_a_linux_text() {
    for (const ErrmapRule& r : RULES) {
        std::string_view t = linux_text_for(r.err);
        if (t.empty() || t.size() > ERRMAP_LINUX_TEXT_MAX) return false;
    }
    return true;
}
static_assert(every_row_has_a_linux_text());

}  // namespace

std::span<const ErrmapRule> errmap_rules() {
    return RULES;
}

int errmap_errno(std::string_view text) {
    for (const ErrmapRule& r : RULES) {
        if (r.text == text) return r.err;
    }
    return 0;
}

std::string_view errmap_linux_text(std::string_view text) {
    int err = errmap_errno(text);
    return err == 0 ? text : linux_text_for(err);
}
