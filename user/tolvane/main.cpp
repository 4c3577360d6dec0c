// Process life: start-up in a fixed order, the serve loop, the shutdown save,
// every progress line and the exit status.
#include "kernel/velmor.h"
#include "tolvane/tolvane.h"

namespace tolvane {

uint64_t tln_instance = 0;
int64_t srv_rfd = 0;  // standard input until post mode moves it
int64_t srv_wfd = 1;  // standard output until post mode moves it
std::array<int32_t, 2> post_sv = {0, 0};

static constexpr int32_t STDERR_FD = 2;

// 1 when s is exactly "post" (case-sensitive), else 0.
int32_t arg_is_post(const char* s) {
    if (s == nullptr) return 0;
    return s[0] == 'p' && s[1] == 'o' && s[2] == 's' && s[3] == 't' && s[4] == '\0' ? 1 : 0;
}

// The value of a one-character argument '0'..'9', else -1 (two digits, a sign,
// a letter and the empty string included).
int64_t digit_arg(const char* s) {
    if (s == nullptr) return -1;
    if (s[0] < '0' || s[0] > '9' || s[1] != '\0') return -1;
    return s[0] - '0';
}

// Bytes before the first NUL.
uint64_t strlen(const char* s) {
    uint64_t n = 0;
    while (s[n] != '\0') n++;
    return n;
}

// Writes s without its NUL to fd in one kernel write. Log lines are best
// effort: the result is not looked at and a short write is not retried.
void write_str(int32_t fd, const char* s) {
    (void)sys_write(fd, s, strlen(s));
}

// The command line is "post NAME [N]" or "[N]", N one decimal digit selecting
// the backing-store instance. Anything else is ignored silently. Returns the
// post name in post mode, else null.
static const char* read_command_line(int32_t argc, char** argv) {
    if (argc >= 3 && arg_is_post(argv[1])) {
        if (argc >= 4 && digit_arg(argv[3]) >= 0) {
            tln_instance = static_cast<uint64_t>(digit_arg(argv[3]));
        }
        return argv[2];
    }
    if (argc >= 2 && digit_arg(argv[1]) >= 0) {
        tln_instance = static_cast<uint64_t>(digit_arg(argv[1]));
    }
    return nullptr;
}

// Creates the socket pair, posts element 0 in /srv under name and serves
// element 1. Returns 0, or 1 (the exit status) after the failure's line.
static int32_t post_in_srv(const char* name) {
    if (sys_socketpair(VELMOR_AF_UNIX, VELMOR_SOCK_STREAM, 0, post_sv.data()) < 0) {
        write_str(STDERR_FD, "[tolvane] FAIL: socketpair\n");
        return 1;
    }
    if (sys_srv_post(name, post_sv[0]) < 0) {
        write_str(STDERR_FD, "[tolvane] FAIL: srv_post\n");
        return 1;
    }
    srv_rfd = post_sv[1];
    srv_wfd = post_sv[1];
    write_str(STDERR_FD, "[tolvane] posted to /srv, serving\n");
    return 0;
}

// The server's entry: builds the skeleton, reads the command line, restores the
// instance's snapshot over the skeleton if there is one, optionally posts
// itself in /srv, then serves until the stream ends or breaks. Returns the
// exit status: 0 after a clean end of stream whose save did not fail, 1 after
// a failed save at the end, a socket-pair or post failure, or a wire error.
int32_t main(int32_t argc, char** argv) {
    init_tree();  // first: a restore below replaces it wholesale
    const char* post_name = read_command_line(argc, argv);

    if (tln_load_from_disk() != 0) {
        write_str(STDERR_FD, "[tolvane] restored snapshot from ext4 backing\n");
    } else {
        write_str(STDERR_FD, "[tolvane] no snapshot \xE2\x80\x94 fresh distro skeleton\n");
    }
    write_str(STDERR_FD, "[tolvane] server starting\n");

    if (post_name != nullptr && post_in_srv(post_name) != 0) return 1;

    bool served_first = false;
    for (;;) {
        int32_t r = serve_one();
        if (r == 0) {
            int32_t saved = tln_save_to_disk();
            write_str(STDERR_FD, "[tolvane] EOF, exiting\n");
            return saved < 0 ? 1 : 0;
        }
        if (r < 0) {
            // The tree is consistent between requests: keep every change made
            // since the last save even though the stream is unusable.
            (void)tln_save_to_disk();
            write_str(STDERR_FD, "[tolvane] wire error, exiting\n");
            return 1;
        }
        if (!served_first) {
            write_str(STDERR_FD, "[tolvane] served first request\n");
            served_first = true;
        }
    }
}

}  // namespace tolvane
