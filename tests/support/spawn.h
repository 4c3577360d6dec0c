// Starting a real program as a child: the one fork and exec that the suites,
// their helpers and the soak driver share. No GoogleTest here, so that drivers
// outside GoogleTest can link it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tolvane_test {

// The test's environment with ENV applied: each key replaces the variable of
// that name, and a value "<unset>" removes it.
std::vector<std::string> merged_env(const std::map<std::string, std::string>& env);
// For a forked child, after it set up its descriptors: runs PATH with ARGV
// (argv[0] included) and the environment ENVS; exits 127 when that fails.
[[noreturn]] void exec_child(const std::string& path, const std::vector<std::string>& argv,
                             const std::vector<std::string>& envs);

// A child's standard input, output and error: a descriptor of the parent's
// each, or NULL_FD for /dev/null.
inline constexpr int NULL_FD = -1;
struct Stdio {
    int in = NULL_FD;
    int out = NULL_FD;
    int err = NULL_FD;
};

// Forks and runs PATH with ARGV (argv[0] included), ENV applied as by
// merged_env, and STDIO on its standard streams; with OWN_GROUP the child
// leads a process group of its own (so that one kill reaches what it starts).
// The child starts with SIGPIPE and the stop signals at their defaults.
// The caller closes its copies of the child's ends afterwards. Returns the
// child's pid, or -1 when fork failed.
pid_t spawn(const std::string& path, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env, Stdio stdio, bool own_group = false);

}  // namespace tolvane_test
