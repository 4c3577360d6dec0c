// tlnmount's errnos: the stand-in's one error table (kernel/linux/errmap.h),
// plus the client library's own failures.
#include "errmap.h"

#include <cerrno>

namespace tlnmount {

std::span<const ErrnoRule> errno_rules() {
    return errmap_rules();
}

int errno_for_text(std::string_view text) {
    int err = errmap_errno(text);
    if (err != 0) return err;
    constexpr std::string_view walk_stop = "': not found";
    if (text.size() > walk_stop.size() + 1 && text.front() == '\'' && text.ends_with(walk_stop)) {
        return ENOENT;
    }
    return EIO;
}

int errno_for(const tlnclient::Error& e) {
    switch (e.kind) {
        case tlnclient::ErrorKind::refused:
            return errno_for_text(e.text);
        case tlnclient::ErrorKind::local:
            if (e.text == "out of fids") return EMFILE;
            return e.text.starts_with(NOT_CONNECTED) ? ENOTCONN : EIO;
        case tlnclient::ErrorKind::protocol:
        case tlnclient::ErrorKind::connection:
            break;
    }
    return EIO;
}

}  // namespace tlnmount
