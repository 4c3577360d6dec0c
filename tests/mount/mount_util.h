// Real mounts for the tlnmount suite: a tolvane server posted under a name,
// tlnmount run against it, shell commands and single system calls run
// against the mount point. Every wait is bounded, and nothing the test
// process itself does touches the mount directly: calls that enter the mount
// run in a forked child that is killed when it takes too long, so a hung
// mount fails a test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host.h"

namespace mount_test {

// Empty when FUSE mounts can be made here (/dev/fuse opens for reading and
// writing and fusermount3 is on the PATH); otherwise why not.
std::string fuse_unusable_reason();

// One finished command.
struct Ran {
    int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed
    std::string out;  // standard output and standard error together
};

// Runs CMD with /bin/sh -c, ENV added to the environment; kills it (its whole
// process group) after TIMEOUT_S seconds.
Ran sh(const std::string& cmd, const std::map<std::string, std::string>& env = {},
       int timeout_s = 60);

// Runs CALL in a forked child and returns its errno when it returned a
// negative number, 0 when it did not; -1 (after killing the child and
// failing the test) when it took longer than TIMEOUT_S.
int errno_of(const std::function<int()>& call, int timeout_s = 30);

// A forked child that works in the mount one step at a time and keeps its
// descriptors open between steps, so that the test can act in between (stop
// and start the server, remove a file). Each step writes its answer to the
// string it is given.
class Steps {
public:
    using Step = std::function<void(std::string&)>;
    explicit Steps(std::vector<Step> steps);
    ~Steps();  // waits up to 10 s for the child to finish, then kills it
    Steps(const Steps&) = delete;
    Steps& operator=(const Steps&) = delete;

    // Runs the next step and returns its answer: "<timeout>" after killing
    // the child and failing the test when it takes longer than TIMEOUT_S,
    // "<died>" when the child crashed or has no step left.
    std::string next(int timeout_s = 60);

private:
    void kill_now();

    pid_t pid_ = -1;
    int fd_ = -1;  // our end of a socketpair: a byte asks for a step, answers come back
};

// Runs BODY in a forked child as the one step of a Steps; returns its answer.
std::string in_child(const Steps::Step& body, int timeout_s = 60);

// True when PATH is a mount point of a tolvane FUSE mount (read from
// /proc/self/mountinfo, which does not enter the mount).
bool mounted(const std::string& path);

// Waits up to TIMEOUT_MS for PID to exit: its status, 128 + signal, or -1
// (after SIGKILL) when it did not.
using tolvane_test::wait_pid;

// "tolvane post NAME" with VELMOR_SRV=SRV_DIR, VELMOR_STORE=STORE_DIR and ENV;
// its standard error goes to LOG_PATH. Waits up to 10 s for it to post.
class Server {
public:
    Server(std::string name, std::string srv_dir, std::string store_dir, std::string log_path,
           const std::map<std::string, std::string>& env = {});
    ~Server();  // SIGKILL when still running
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool ready() const { return ready_; }
    // SIGTERM (the server saves and exits); its exit status, or -1.
    int stop();
    // SIGKILL: gone without a last save.
    void kill_hard();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    std::string log() const;

private:
    std::string log_path_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// tlnmount -f running against a server, mounted at a directory. The
// destructor always leaves the directory unmounted: fusermount3 -u -z, then
// up to 10 s for tlnmount to exit, then SIGKILL.
class Mounted {
public:
    // Runs tlnmount -f ARGS... MOUNTPOINT with ENV, its standard error to
    // LOG_PATH, and waits up to 10 s for the mount to appear.
    Mounted(const std::vector<std::string>& args, std::string mountpoint,
            const std::map<std::string, std::string>& env, std::string log_path);
    ~Mounted();
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;

    bool ready() const { return ready_; }
    // fusermount3 -u (not lazy) and up to 10 s for tlnmount to exit; its exit
    // status, or -1.
    int unmount();
    // Waits up to TIMEOUT_MS for tlnmount to exit by itself: its status or -1.
    int wait_exit(int timeout_ms);
    std::string log() const;

private:
    void force_down();

    std::string mountpoint_;
    std::string log_path_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Path of the built tlnmount.
std::string tlnmount_binary();

// Deterministic bytes (SIZE bytes of a sequence chosen by SEED), and a host
// file written whole: shared with the other suites that run real programs.
using tolvane_test::pattern;
using tolvane_test::write_file;

}  // namespace mount_test
