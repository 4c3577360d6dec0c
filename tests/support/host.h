// Helpers for the suites that run real programs on the host, and for the fake
// servers those programs meet: whole reads and writes on a descriptor, a
// child's start (spawn.h), bounded waits for a child, host files and
// deterministic data. Apart from support.h, so that a suite including
// support.h does not meet these names next to its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "spawn.h"

namespace tolvane_test {

// Reads exactly N bytes into P. With TIMEOUT_MS >= 0, every wait for more
// bytes is bounded by it. False on end of stream, an error or a timeout.
bool read_fully(int fd, uint8_t* p, size_t n, int timeout_ms = -1);
// Writes all N bytes of P: send without SIGPIPE on a socket, write on
// anything else. False when the peer is gone or on an error (errno says).
bool write_fully(int fd, const uint8_t* p, size_t n);

// Milliseconds until DEADLINE, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline);
void pause_ms(int ms);

// A status from waitpid as a number: the exit status, 128 + signal, or -1.
int exit_code(int status);
// Waits up to TIMEOUT_MS for PID to end: its exit_code; -1 (after SIGKILL and
// reaping it) when it did not end in time, or when it cannot be waited for.
int wait_pid(pid_t pid, int timeout_ms);

// One finished program run.
struct Ran {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs PATH with ARGS (argv[0] not included) and ENV applied as by
// merged_env, standard input /dev/null, collecting its standard output and
// error. Fails the test and kills it when it takes longer than 60 s.
Ran run_program(const std::string& path, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {});

// Deterministic bytes: SIZE bytes of a sequence chosen by SEED.
std::string pattern(size_t size, uint32_t seed);
// Writes DATA as the whole of the host file PATH (fails the test when it cannot).
void write_file(const std::string& path, const std::string& data);

}  // namespace tolvane_test
