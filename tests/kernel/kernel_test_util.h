// Helpers for the stand-in's tests: temporary directories, environment
// settings undone at the end of a test, standard error capture, framed
// messages and bounded reads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tempdir.h"

namespace ktest {

using Bytes = std::vector<uint8_t>;

// The test support's temporary directory (removed with its contents when the
// object dies).
using tolvane_test::TempDir;

// Sets (or, with nullopt, unsets) an environment variable until the end of
// the scope, then restores what was there.
class EnvSet {
public:
    EnvSet(const char* name, std::optional<std::string> value);
    ~EnvSet();
    EnvSet(const EnvSet&) = delete;
    EnvSet& operator=(const EnvSet&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Sends descriptor 2 to a temporary file until text() or the end of the scope.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Restores descriptor 2 and returns everything written meanwhile.
    std::string text();

private:
    int saved_ = -1;
    int file_ = -1;
};

// A framed message: 4-byte little-endian size, type, 2-byte tag, body.
Bytes message(uint8_t type, uint16_t tag, const Bytes& body);
// A message of exactly size bytes (size >= 7) whose body is a pattern seeded by seed.
Bytes message_of_size(uint32_t size, uint32_t seed);
uint32_t size_field(const Bytes& b);
// Replies as a server would write them: Rerror with text; Rwalk with n qids.
Bytes rerror_msg(uint16_t tag, const std::string& text);
Bytes rwalk_msg(uint16_t tag, uint16_t n);
// Little-endian fields of a message.
uint32_t le32_at(const Bytes& b, size_t at);
uint16_t le16_at(const Bytes& b, size_t at);

// Writes everything (fails the test on error).
void write_all(int fd, const Bytes& b);
// Reads exactly n bytes within timeout_ms; nullopt on timeout or end of stream.
std::optional<Bytes> read_n(int fd, size_t n, int timeout_ms = 5000);
// Reads one framed message within timeout_ms.
std::optional<Bytes> read_message(int fd, int timeout_ms = 5000);
// True when fd has nothing to read within timeout_ms (end of stream counts
// as something).
bool quiet(int fd, int timeout_ms);
// True when the peer closed fd (a read answers 0) within timeout_ms.
bool closed_by_peer(int fd, int timeout_ms = 5000);

// The test as the server of a posted name, on its end of the pair, through
// the server's own calls (sys_read, sys_write): the next request, whole
// (nullopt when none is ready within timeout_ms); a reply; whether no
// request comes within timeout_ms.
std::optional<Bytes> server_read(int server, int timeout_ms = 5000);
void server_write(int server, const Bytes& reply);
bool server_quiet(int server, int timeout_ms);
// Reads the Tversion a posted name opens the server's stream with, checks it
// asks for msize 131072 and "9P2000", and answers it.
void expect_opening_version(int server);
// What the server is sent for a fid its client never made.
inline constexpr uint32_t UNKNOWN_SERVER_FID = 0xFFFFFFFE;
// A Twrite of exactly size bytes (size >= 23) through UNKNOWN_SERVER_FID, so
// that it reaches the server unchanged, and an echo of it comes back to the
// client byte for byte.
Bytes echoed_twrite(uint16_t tag, uint32_t size, uint32_t seed);

// Connects to the unix stream socket at path, trying again for up to wait_ms
// while nothing answers there (a server still starting); -1 on failure.
int connect_unix(const std::string& path, int wait_ms = 0);

// A child process running the probe program with pipes on its standard streams.
struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};
Child spawn_probe(const std::vector<std::string>& args);
// Reads the child's standard error until it contains text (within timeout_ms);
// returns what was read.
std::string read_err_until(Child& c, const std::string& text, int timeout_ms = 5000);
// Closes the pipes, waits (killing the child after timeout_ms); the exit
// status, or 128 + signal; appends the rest of standard error to *err.
int finish(Child& c, std::string* err = nullptr, int timeout_ms = 10000);

}  // namespace ktest
