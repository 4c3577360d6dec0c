// Running the real binaries for the end-to-end suite: a tolvane server posted
// under a name (or several), tlnc runs with their output and status, host
// files, and a few hostile stand-in servers for tlnc to meet on its stdio.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host.h"
#include "support.h"

namespace e2e {

using tolvane_test::Bytes;

// One finished tlnc run.
struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs tlnc with ARGS, feeding IN on its standard input, with ENV added to
// the environment (a value "<unset>" removes the variable). Fails the test and
// kills tlnc when it takes longer than 60 s.
Outcome tlnc(const std::vector<std::string>& args, const std::string& in = "",
             const std::map<std::string, std::string>& env = {});

// Starts tlnc with ARGS and ENV without waiting; its standard streams are
// /dev/null. Returns its pid.
pid_t tlnc_start(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {});
// Bounded waits for a child, host files, deterministic data: shared with the
// other suites that run real programs.
using tolvane_test::pattern;
using tolvane_test::wait_pid;
using tolvane_test::write_file;

// A tolvane server in post mode: "tolvane post NAME [DIGIT]" with its own
// registry and backing store directories.
class PostedServer {
public:
    PostedServer(std::string name, std::string srv_dir, std::string store_dir,
                 std::string digit = "");
    ~PostedServer();  // kills a server still running
    PostedServer(const PostedServer&) = delete;
    PostedServer& operator=(const PostedServer&) = delete;

    // True once the server said it is posted (up to 10 s).
    bool ready() const { return ready_; }
    // SIGTERM, then waits (up to 20 s) for the exit; returns the exit status,
    // or -1 (failing the test) when it had to be killed.
    int stop();
    // SIGKILL and wait, for a server that must die without saving.
    void kill_hard();
    // Everything the server wrote to stderr so far (all of it after stop()).
    const std::string& log() const { return log_; }
    const std::string& name() const { return name_; }
    pid_t pid() const { return proc_.pid; }

private:
    void read_log(int timeout_ms);
    int reap(int timeout_ms);

    std::string name_;
    tolvane_test::Proc proc_;
    std::string log_;
    bool ready_ = false;
    bool running_ = false;
};

// Path of this test binary, which also plays hostile servers (see main).
std::string self_binary();

// Runs one hostile server on stdin/stdout; MODE names its behaviour. Returns
// the exit status.
int fake_server_main(const std::string& mode);

}  // namespace e2e
