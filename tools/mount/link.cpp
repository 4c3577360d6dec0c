// The mount's connection: checked before each request, dialled again after
// a break, within a bounded wait.
#include "link.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "errmap.h"

namespace tlnmount {

using tlnclient::Error;
using tlnclient::ErrorKind;
using tlnclient::Status;

Link::Link(std::unique_ptr<tlnclient::Client> client, tlnclient::Fid root, std::string aname,
           Dial dial, std::chrono::milliseconds limit)
    : client_(std::move(client)),
      root_(root),
      aname_(std::move(aname)),
      dial_(std::move(dial)),
      limit_(limit) {}

void Link::broke(const Error& e) {
    if (client_->usable() || told_broken_ == generation_) return;
    told_broken_ = generation_;
    std::fprintf(stderr, "tlnmount: connection lost: %s; %s\n", e.text.c_str(),
                 reconnects() ? "reconnecting" : "unmounting");
}

Status Link::up() {
    if (client_->usable()) {
        Status idle = client_->check_idle();
        if (idle) return idle;
        broke(idle.error());
    }
    if (!reconnects()) return client_->check_idle();  // dead: why it died
    if (!until_) until_ = Clock::now() + limit_;
    std::chrono::milliseconds pause = BACKOFF_FIRST;
    for (;;) {
        Status s = redial();
        if (s) return s;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*until_ - Clock::now());
        if (left.count() <= 0) break;
        std::this_thread::sleep_for(std::min(pause, left));
        pause = std::min(pause * 2, BACKOFF_MOST);
    }
    if (!told_gave_up_) {
        told_gave_up_ = true;
        std::fprintf(stderr,
                     "tlnmount: no server after %lld s (%s); every request fails with ENOTCONN "
                     "until it is back\n",
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(limit_).count()),
                     why_.c_str());
    }
    return Error{ErrorKind::local, std::string(NOT_CONNECTED) + ": " + why_};
}

// One attempt: a new connection, attached to the same tree. On success it
// replaces the broken one, whose fids go with it.
Status Link::redial() {
    auto c = dial_();
    if (!c) {
        why_ = c.error().text;
        return c.error();
    }
    auto root = c.value()->attach(aname_);
    if (!root) {
        why_ = "attach '" + aname_ + "': " + root.error().text;
        (void)c.value()->close();
        return root.error();
    }
    client_ = std::move(c).value();
    root_ = root.value();
    generation_++;
    until_.reset();
    told_gave_up_ = false;
    std::fprintf(stderr, "tlnmount: reconnected\n");
    return tlnclient::ok_status();
}

Status Link::close() {
    if (client_->usable()) (void)client_->clunk(root_);
    return client_->close();
}

}  // namespace tlnmount
