// tlnmount's connection to its server, made again when it breaks.
//
// A Link holds one connection, attached, and its root fid. When reconnecting
// is on and the connection ends (the server hung up or reset it, or stayed
// silent past the timeout), the next call of up() dials the same posted name
// or socket again, negotiates, attaches anew, and counts one more
// generation. No fid of the old connection is valid on the new one: whoever
// keeps a fid keeps the generation it belongs to beside it, and walks a new
// one by path when the two differ.
//
// Waiting for the server to come back is bounded. up() tries at once, then
// again after BACKOFF_FIRST, and so on with the pause doubled each time up to
// BACKOFF_MOST, until the limit has passed since the break was noticed; past
// that each call makes a single attempt, so every request fails at once with
// a "not connected" error (ENOTCONN for programs) until the server is back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client.h"

namespace tlnmount {

class Link {
public:
    using Clock = std::chrono::steady_clock;
    // A new connection to the same server, negotiated but not attached.
    using Dial = std::function<tlnclient::Result<std::unique_ptr<tlnclient::Client>>()>;

    // How long the first request after a break waits for the server by
    // default (tlnmount -o reconnect_limit=SECONDS).
    static constexpr std::chrono::seconds RECONNECT_LIMIT{30};
    static constexpr std::chrono::milliseconds BACKOFF_FIRST{25};
    static constexpr std::chrono::milliseconds BACKOFF_MOST{1000};

    // CLIENT is attached to ANAME with ROOT. DIAL makes the connections after
    // a break; an empty DIAL never reconnects. LIMIT bounds the wait for the
    // server after each break.
    Link(std::unique_ptr<tlnclient::Client> client, tlnclient::Fid root, std::string aname,
         Dial dial, std::chrono::milliseconds limit = RECONNECT_LIMIT);

    // Makes sure the connection is usable before a request: checks that the
    // server has not hung up meanwhile and, when it has and reconnecting is
    // on, connects again as described above. Fails with the connection's own
    // error when reconnecting is off, else with an error whose text begins
    // with NOT_CONNECTED (errmap.h).
    tlnclient::Status up();

    // Records that a request failed and the connection with it (says so on
    // standard error, once per connection).
    void broke(const tlnclient::Error& e);

    bool reconnects() const { return static_cast<bool>(dial_); }
    tlnclient::Client& client() { return *client_; }
    tlnclient::Fid root() const { return root_; }
    // Counts connections: 1 for the first, one more for each reconnection.
    uint64_t generation() const { return generation_; }

    // Clunks the root when the connection is usable, then hangs up; the
    // hang-up's status (a -c server that exited badly).
    tlnclient::Status close();

private:
    tlnclient::Status redial();

    std::unique_ptr<tlnclient::Client> client_;
    tlnclient::Fid root_;
    std::string aname_;
    Dial dial_;
    std::chrono::milliseconds limit_;
    uint64_t generation_ = 1;
    uint64_t told_broken_ = 0;                // the generation whose break was reported
    std::optional<Clock::time_point> until_;  // while broken: end of the wait
    bool told_gave_up_ = false;
    std::string why_;  // why the last attempt failed
};

}  // namespace tlnmount
