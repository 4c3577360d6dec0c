#include "host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tolvane_test {

bool read_fully(int fd, uint8_t* p, size_t n, int timeout_ms) {
    size_t got = 0;
    while (got < n) {
        if (timeout_ms >= 0) {
            pollfd pf{fd, POLLIN, 0};
            int r = ::poll(&pf, 1, timeout_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
        }
        ssize_t k = ::read(fd, p + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

bool write_fully(int fd, const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (k < 0 && errno == ENOTSOCK) k = ::write(fd, p + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

void pause_ms(int ms) {
    timespec t{0, ms * 1'000'000L};
    ::nanosleep(&t, nullptr);
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int wait_pid(pid_t pid, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (ms_left(deadline) == 0) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        pause_ms(2);
    }
    return exit_code(status);
}

Ran run_program(const std::string& path, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env) {
    Ran run;
    int pout[2], perr[2];
    if (::pipe2(pout, O_CLOEXEC) || ::pipe2(perr, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = spawn(path, argv, env, {NULL_FD, pout[1], perr[1]});
    ::close(pout[1]);
    ::close(perr[1]);
    int fds[2] = {pout[0], perr[0]};
    std::string* texts[2] = {&run.out, &run.err};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        int r = ::poll(p, 2, ms_left(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ADD_FAILURE() << path << " did not finish within 60 s";
            ::kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t k = ::read(fds[i], buf, sizeof buf);
            if (k > 0) {
                texts[i]->append(buf, static_cast<size_t>(k));
            } else if (k == 0 || errno != EINTR) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = exit_code(status);
    return run;
}

std::string pattern(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 23);
    }
    return s;
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(f.good()) << "cannot write " << path;
}

}  // namespace tolvane_test
