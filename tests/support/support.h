// Test support: drive the real request step over a socketpair, read replies
// (requests come from requests.h), and run the real server binary.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "9p/9p.h"
#include "bytes.h"
#include "requests.h"
#include "tempdir.h"
#include "wire.h"

namespace tolvane_test {

using Bytes = std::vector<uint8_t>;

// Zeroes every table and buffer of the server and the stand-in's read state,
// then builds the root and skeleton, as at process start (no backing store).
void reset_server();

std::string to_hex(const Bytes& b);

// Reply inspection. type_of: byte 4 (0 when shorter). rerror_text: the text of
// an Rerror, or "<not Rerror: type N>".
uint8_t type_of(const Bytes& reply);
uint16_t tag_of(const Bytes& reply);
std::string rerror_text(const Bytes& reply);
// Rread payload (empty with ADD_FAILURE when the reply is not a valid Rread).
Bytes rread_data(const Bytes& reply);

// A socketpair standing in for the client connection: the server end becomes
// srv_rfd/srv_wfd, the test holds the client end.
class Wire {
public:
    Wire();
    ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void send(const Bytes& b);
    // One request step of the server: 1, 0 or -1.
    int32_t step();
    // Reads one whole reply from the client end (fails the test after 5 s).
    Bytes recv();
    // True when a reply (or any byte) is waiting on the client end.
    bool has_reply();
    // send, step (expects 1), recv.
    Bytes call(const Bytes& request);
    // Hangs up the client side for writing, so the server reads end of stream.
    void hang_up();

    int client_fd = -1;
    int server_fd = -1;

private:
    tlnclient::Wire replies_;  // frames what the server writes to client_fd
};

// The real server binary, run with pipes on its standard streams.
struct Proc {
    pid_t pid = -1;
    int in_fd = -1;   // the server's standard input (write requests here)
    int out_fd = -1;  // its standard output (read replies here)
    int err_fd = -1;  // its standard error
    // Frames the replies on out_fd (proc_call); shared by copies of the Proc.
    std::shared_ptr<tlnclient::Wire> replies;
};

// Path of the built tolvane binary.
std::string server_binary();
// Starts the binary with args (not counting argv[0]) and env added to (or, for
// an empty value, set empty in) the test's environment. Keys mapped to
// "<unset>" are removed.
Proc spawn_server(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env);
// Sends a request on in_fd and reads one reply from out_fd (5 s limit).
Bytes proc_call(Proc& p, const Bytes& request);
// Closes stdin (end of stream), waits for exit; returns the exit status
// (128 + signal when killed) and fills err with everything written to stderr.
int proc_finish(Proc& p, std::string* err = nullptr);
// Waits for exit without closing stdin first.
int proc_wait(Proc& p, std::string* err = nullptr);

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace tolvane_test
