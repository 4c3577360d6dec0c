// The wire layer of tlnclient: one 9P2000 message out, one framed message in,
// each within a deadline, and the check of a reply against its request.
//
// Client is built on it; so are the benchmark driver, the soak run and the
// test support, which speak to a server message by message and want the
// framing, the deadline and the reply checks without Client's fids and paths.
// Nothing here throws: failures come back as an Error in a Result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tlnclient {

// Why an operation failed.
enum class ErrorKind {
    refused,     // the server answered Rerror (text is its text) or would not take
                 // the bytes offered; the connection is still usable
    protocol,    // the server's reply broke the protocol; the connection is dead
    connection,  // could not connect, the peer hung up, an I/O error or a
                 // timeout; the connection is dead
    local,       // a bad argument or a failure on this side; nothing was sent
};

struct Error {
    ErrorKind kind = ErrorKind::local;
    std::string text;
    // connect_socket, connect_posted: nothing listens at the path (no socket
    // there, or one no server answers on any more), as opposed to a server
    // that is there but does not answer.
    bool not_posted = false;
    // The peer did not answer (or take a request) within the timeout.
    bool timed_out = false;
};

// Value of a Result that carries none.
struct Unit {};

// Either a T or an Error. value() may be called only when ok().
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    T&& value() && { return std::move(*std::get_if<0>(&v_)); }
    const Error& error() const { return *std::get_if<1>(&v_); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<Unit>;

inline Status ok_status() {
    return Unit{};
}

// Name of a message type ("Rread"), or "type N" for a number that names none.
std::string type_name(uint8_t type);

// Checks the reply MSG (LEN bytes, one whole message as Wire::recv gives it)
// to a request sent with TAG. Succeeds when its type is WANT. Fails with
//   refused   an Rerror; the text is the server's
//   protocol  an undecodable header or Rerror, another tag, another type
Status check_reply(const uint8_t* msg, uint32_t len, uint16_t tag, uint8_t want);

// One end of a 9P byte stream: messages go out on WFD and come in on RFD (the
// two may be one descriptor). The descriptors stay the caller's. Each send
// and each recv has TIMEOUT_MS for the whole message; on a descriptor left
// blocking, a write that has begun may run past it.
//
// A read takes whatever the stream holds, up to the buffer: bytes past the
// message just received (a reply nobody waited for) stay for the next recv,
// so one Wire must read a stream for as long as it is read at all.
class Wire {
public:
    Wire() = default;
    // CAPACITY: the largest message recv will ever be asked to take.
    Wire(int rfd, int wfd, uint32_t capacity, int timeout_ms);

    // Writes all N bytes of MSG. Fails with a connection error: the peer
    // hung up, a write or poll failed, or the time ran out.
    Status send(const uint8_t* msg, size_t n);

    // Receives one whole message of at most MAX bytes (MAX <= capacity) and
    // returns its length; its bytes are at data() until the next recv. Fails
    // with
    //   connection  end of stream (before or inside the message), a read or
    //               poll failure, or the time ran out
    //   protocol    a size field below 7 or above MAX
    Result<uint32_t> recv(uint32_t max);

    const uint8_t* data() const { return buf_.data(); }
    // Bytes already read past the message recv returned last.
    size_t buffered() const { return have_ - last_; }
    int timeout_ms() const { return timeout_ms_; }

private:
    // "timed out after <timeout> ms" + what, marked timed_out.
    Error timeout_error(const char* what) const {
        Error e{ErrorKind::connection, "timed out after " + std::to_string(timeout_ms_) + what};
        e.timed_out = true;
        return e;
    }

    int rfd_ = -1;
    int wfd_ = -1;
    bool wsock_ = false;     // wfd_ is a socket: send with MSG_NOSIGNAL
    bool rblocking_ = true;  // rfd_ blocks: poll before every read
    int timeout_ms_ = 0;
    std::vector<uint8_t> buf_;
    size_t have_ = 0;  // bytes in buf_, the last message's included
    size_t last_ = 0;  // length of the message recv returned last
};

}  // namespace tlnclient
