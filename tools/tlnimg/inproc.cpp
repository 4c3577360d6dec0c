#include "inproc.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tolvane/tolvane.h"

namespace tlnimg {

bool InProcess::start(std::string* err) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *err = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    // No backing store: every save point of the server is skipped.
    tolvane::tln_backing_ok = 0;
    tolvane::srv_rfd = sv[1];
    tolvane::srv_wfd = sv[1];
    int server_fd = sv[1];
    server_ = std::thread([server_fd] {
        while (tolvane::serve_one() == 1) {
        }
        ::close(server_fd);
    });
    tlnclient::Options opts;
    opts.uname = "tlnimg";
    auto c = tlnclient::Client::over_fds(sv[0], sv[0], opts);
    if (!c) {
        *err = c.error().text;
        return false;
    }
    client_ = std::move(c.value());
    auto root = client_->attach("");
    if (!root) {
        *err = root.error().text;
        return false;
    }
    session_ = tlnc::Session{client_.get(), root.value()};
    attached_ = true;
    return true;
}

bool InProcess::finish() {
    bool ok = true;
    if (client_) {
        if (attached_ && client_->usable()) ok = static_cast<bool>(client_->clunk(session_.root));
        attached_ = false;
        ok = static_cast<bool>(client_->close()) && ok;
        client_.reset();
    }
    if (server_.joinable()) server_.join();
    return ok;
}

InProcess::~InProcess() {
    (void)finish();
}

}  // namespace tlnimg
