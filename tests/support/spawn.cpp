#include "spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

extern char** environ;

namespace tolvane_test {

std::vector<std::string> merged_env(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (char** e = environ; *e; e++) {
        std::string kv = *e;
        if (!env.count(kv.substr(0, kv.find('=')))) out.push_back(kv);
    }
    for (const auto& [k, v] : env) {
        if (v != "<unset>") out.push_back(k + "=" + v);
    }
    return out;
}

void exec_child(const std::string& path, const std::vector<std::string>& argv,
                const std::vector<std::string>& envs) {
    std::vector<char*> av;
    for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    std::vector<char*> ev;
    for (const auto& e : envs) ev.push_back(const_cast<char*>(e.c_str()));
    ev.push_back(nullptr);
    ::execve(path.c_str(), av.data(), ev.data());
    _exit(127);
}

pid_t spawn(const std::string& path, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env, Stdio stdio, bool own_group) {
    std::vector<std::string> envs = merged_env(env);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (own_group) ::setpgid(0, 0);
        // A test binary ignores SIGPIPE (a server writing to a client the
        // test closed must not end it) and may catch the stop signals; the
        // child starts as it would from a shell.
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_DFL);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(stdio.in == NULL_FD ? null : stdio.in, 0);
        ::dup2(stdio.out == NULL_FD ? null : stdio.out, 1);
        ::dup2(stdio.err == NULL_FD ? null : stdio.err, 2);
        exec_child(path, argv, envs);
    }
    if (pid > 0 && own_group) ::setpgid(pid, pid);
    return pid;
}

}  // namespace tolvane_test
