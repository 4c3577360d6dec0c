// tlnmount: mounts a 9P2000 file server's tree at a directory with FUSE, so
// ordinary programs (ls, cat, cp, shells, editors) can use it.
//
// Order of start-up: the command line; in the background case a fork, the
// child in a session of its own and the parent waiting to hear how start-up
// went; the connection and the attach; the FUSE mount; then the child's
// standard streams go to /dev/null and the parent exits. So every start-up
// failure is reported on the terminal with the exit status, and a -c server
// is the child's own child, which waits for it at the end.
//
// Only the first connection must succeed at start-up. After that, with -s
// and -a, a connection that ends is made again (link.h); a -c server ends
// with its connection, so there the mount ends too.
#include <fcntl.h>
#include <fuse.h>
#include <getopt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "9p/9p.h"
#include "cli.h"
#include "client.h"
#include "link.h"
#include "mountfs.h"

namespace {

// Exit statuses.
constexpr int EXIT_OK = 0;          // unmounted
constexpr int EXIT_LOST = 1;        // the connection broke for good while mounted
constexpr int EXIT_USAGE = 2;       // bad command line
constexpr int EXIT_CONNECTION = 3;  // no connection, or the attach was refused
constexpr int EXIT_MOUNT = 4;       // FUSE could not mount

const char* const HELP =
    "usage: tlnmount [-s NAME | -a SOCKET | -c COMMAND] [-A ANAME] [-t SECONDS]\n"
    "                [-m BYTES] [-f] [-d] [-o OPTION[,OPTION...]] MOUNTPOINT\n"
    "\n"
    "Mounts a 9P2000 file server's tree at the directory MOUNTPOINT with FUSE,\n"
    "for ordinary programs to use. Unmount with 'fusermount3 -u MOUNTPOINT'; the\n"
    "server goes on serving.\n"
    "\n" TLNCLI_WHERE_HELP
    "  -c COMMAND   start COMMAND (with /bin/sh -c) and speak on its standard input\n"
    "               and output; at unmount its input is closed (a tolvane server\n"
    "               then saves its tree) and tlnmount waits for it to exit\n"
    "  -A ANAME     mount the tree named ANAME instead of the server's root\n"
    "  -t SECONDS   give up on a server that stays silent this long (default 20):\n"
    "               the connection is lost, as when the server hangs up\n"
    "  -m BYTES     largest message to offer the server (default 131072; the\n"
    "               server may lower it)\n"
    "\n"
    "  -f           stay in the foreground (default: detach once mounted)\n"
    "  -d           foreground, and name every refusal on standard error: the\n"
    "               operation, the path, the server's text and the errno given\n"
    "  -o OPTIONS   FUSE mount options, e.g. allow_other, ro, attr_timeout=SECS,\n"
    "               and these of tlnmount's own:\n"
    "    reconnect  (the default with -s and -a) when the connection is lost (the\n"
    "               server restarted), connect and attach again and carry on; open\n"
    "               files are opened again by their path. A request the loss cut\n"
    "               off answers EIO, and so does the next close of a file whose\n"
    "               writes were not yet saved; a file gone meanwhile is ESTALE\n"
    "    reconnect_limit=SECONDS\n"
    "               how long a request waits for the server to come back (default\n"
    "               30); after that each request fails with ENOTCONN until it does\n"
    "    noreconnect  a lost connection unmounts (exit status 1); always so with -c,\n"
    "               whose server ends with its connection: nothing to reconnect to\n"
    "\n"
    "Exit status: 0 unmounted; 1 the connection was lost and not made again; 2\n"
    "bad usage; 3 no connection, or the server refused the attach; 4 FUSE could\n"
    "not mount.\n";

struct Args {
    tlncli::Source source;
    std::string aname;
    int timeout_s = 20;
    uint32_t msize = 131072;
    bool foreground = false;
    bool debug = false;
    int reconnect = -1;  // -o reconnect 1, noreconnect 0, else by the source
    bool limit_given = false;
    int reconnect_limit_s = static_cast<int>(tlnmount::Link::RECONNECT_LIMIT.count());
    std::vector<std::string> fuse_opts;
    std::string mountpoint;
};

int usage_error(const std::string& why) {
    std::fprintf(stderr, "tlnmount: %s\n%s", why.c_str(), HELP);
    return EXIT_USAGE;
}

// Takes tlnmount's own options out of one -o list and keeps the rest, still
// comma-separated (a comma escaped with a backslash stays inside its option),
// for FUSE. Returns -1 to go on, else the exit status.
int take_own_options(const std::string& list, Args& a) {
    constexpr std::string_view LIMIT_OPTION = "reconnect_limit=";
    std::string rest, opt;
    auto take = [&]() -> int {
        if (opt == "reconnect" || opt == "noreconnect") {
            a.reconnect = opt == "reconnect";
        } else if (opt.starts_with(LIMIT_OPTION)) {
            const char* v = opt.c_str() + LIMIT_OPTION.size();
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (*v == '\0' || *end != '\0' || n < 0 || n > INT_MAX / 1000) {
                return usage_error("reconnect_limit wants whole seconds, not '" + std::string(v) +
                                   "'");
            }
            a.reconnect_limit_s = static_cast<int>(n);
            a.limit_given = true;
        } else if (!opt.empty()) {
            rest += (rest.empty() ? "" : ",") + opt;
        }
        opt.clear();
        return -1;
    };
    for (size_t i = 0; i < list.size(); i++) {
        if (list[i] == '\\' && i + 1 < list.size()) {
            opt += list.substr(i++, 2);
        } else if (list[i] == ',') {
            if (int st = take(); st >= 0) return st;
        } else {
            opt += list[i];
        }
    }
    if (int st = take(); st >= 0) return st;
    if (!rest.empty()) a.fuse_opts.push_back(rest);
    return -1;
}

// Parses argv into A; returns -1 to go on, else the exit status.
int parse(int argc, char** argv, Args& a) {
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {}};
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":s:a:c:A:t:m:fdo:h", longs, nullptr)) != -1) {
        switch (c) {
            case 's':
            case 'a':
            case 'c':
                a.source.take(static_cast<char>(c), optarg);
                break;
            case 'A':
                a.aname = optarg;
                break;
            case 't': {
                char* end = nullptr;
                long v = std::strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || v <= 0 || v > INT_MAX / 1000) {
                    return usage_error(std::string("-t wants whole seconds, not '") + optarg + "'");
                }
                a.timeout_s = static_cast<int>(v);
                break;
            }
            case 'm': {
                char* end = nullptr;
                unsigned long v = std::strtoul(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || v < P9_MSIZE_MIN || v > (16u << 20)) {
                    return usage_error(std::string("-m wants a message size from ") +
                                       std::to_string(P9_MSIZE_MIN) + " to 16777216, not '" +
                                       optarg + "'");
                }
                a.msize = static_cast<uint32_t>(v);
                break;
            }
            case 'f':
                a.foreground = true;
                break;
            case 'd':
                a.debug = true;
                a.foreground = true;
                break;
            case 'o':
                if (int st = take_own_options(optarg, a); st >= 0) return st;
                break;
            case 'h':
                std::fputs(HELP, stdout);
                return EXIT_OK;
            case ':':
                return usage_error(std::string("-") + static_cast<char>(optopt) +
                                   " needs an argument");
            default:
                return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (a.source.given > 1) return usage_error(tlncli::Source::ONLY_ONE);
    if (!a.source.command.empty() && (a.reconnect == 1 || a.limit_given)) {
        return usage_error(
            "-c cannot reconnect: its server is tlnmount's own child and ends with the "
            "connection, so there is nothing to reconnect to (use -s or -a)");
    }
    if (a.reconnect < 0) a.reconnect = a.source.command.empty();
    if (optind != argc - 1) return usage_error("give exactly one MOUNTPOINT");
    a.mountpoint = argv[optind];
    return -1;
}

// Ends start-up: tells a waiting parent STATUS and returns it.
int finish(int report_fd, int status) {
    if (report_fd >= 0) {
        unsigned char b = static_cast<unsigned char>(status);
        while (::write(report_fd, &b, 1) < 0 && errno == EINTR) {
        }
        ::close(report_fd);
    }
    return status;
}

// The background case: forks; the parent waits for the child's start-up
// status and exits with it. Returns the descriptor the child reports on.
int detach() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "tlnmount: pipe: %s\n", std::strerror(errno));
        std::exit(EXIT_MOUNT);
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "tlnmount: fork: %s\n", std::strerror(errno));
        std::exit(EXIT_MOUNT);
    }
    if (pid > 0) {
        ::close(p[1]);
        unsigned char b = 0;
        ssize_t r;
        while ((r = ::read(p[0], &b, 1)) < 0 && errno == EINTR) {
        }
        if (r == 1) _exit(b);
        int st = 0;
        while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        std::fprintf(stderr, "tlnmount: the mounting process ended during start-up\n");
        _exit(EXIT_MOUNT);
    }
    ::close(p[0]);
    ::setsid();
    return p[1];
}

void quiet_stdio() {
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return;
    for (int fd = 0; fd < 3; fd++) ::dup2(null, fd);
    if (null > 2) ::close(null);
}

tlnclient::Options client_options(const Args& a) {
    tlnclient::Options opts;
    opts.timeout_ms = a.timeout_s * 1000;
    opts.msize = a.msize;
    opts.uname = "tlnmount";
    return opts;
}

// Connects to the -s or -a server again after a break.
tlnmount::Link::Dial dialer(const Args& a) {
    return [source = a.source, opts = client_options(a)] { return source.connect(opts); };
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    int status = parse(argc, argv, a);
    if (status >= 0) return status;

    char real[PATH_MAX];
    if (!::realpath(a.mountpoint.c_str(), real)) {
        std::fprintf(stderr, "tlnmount: %s: %s\n", a.mountpoint.c_str(), std::strerror(errno));
        return EXIT_MOUNT;
    }
    a.mountpoint = real;

    int report_fd = a.foreground ? -1 : detach();

    std::string what = a.source.where();
    tlnmount::Link::Dial dial = a.source.command.empty() ? dialer(a) : nullptr;
    auto conn = a.source.connect(client_options(a));
    if (!conn) {
        std::fprintf(stderr, "tlnmount: connect %s: %s\n", what.c_str(), conn.error().text.c_str());
        a.source.explain("tlnmount", conn.error(), a.timeout_s, "");
        return finish(report_fd, EXIT_CONNECTION);
    }
    std::unique_ptr<tlnclient::Client> client = std::move(conn).value();
    auto root = client->attach(a.aname);
    if (!root) {
        std::fprintf(stderr, "tlnmount: attach '%s': %s\n", a.aname.c_str(),
                     root.error().text.c_str());
        (void)client->close();
        return finish(report_fd, EXIT_CONNECTION);
    }
    tlnmount::Mount mount(
        tlnmount::Link(std::move(client), root.value(), a.aname, a.reconnect ? dial : nullptr,
                       std::chrono::seconds(a.reconnect_limit_s)),
        a.debug);

    // fsname shows in mount(8) and df as the source of the file system.
    char* opts = nullptr;
    std::string fsname = "fsname=" + what;
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    bool built = fuse_opt_add_arg(&args, argv[0]) == 0 &&
                 fuse_opt_add_opt_escaped(&opts, fsname.c_str()) == 0 &&
                 fuse_opt_add_opt(&opts, "subtype=tolvane") == 0 &&
                 fuse_opt_add_arg(&args, "-o") == 0 && fuse_opt_add_arg(&args, opts) == 0;
    for (const std::string& o : a.fuse_opts) {
        built =
            built && fuse_opt_add_arg(&args, "-o") == 0 && fuse_opt_add_arg(&args, o.c_str()) == 0;
    }
    std::free(opts);
    if (!built) {
        std::fprintf(stderr, "tlnmount: out of memory\n");
        fuse_opt_free_args(&args);
        return finish(report_fd, EXIT_MOUNT);
    }

    fuse* f = fuse_new(&args, &tlnmount::Mount::operations(), sizeof(fuse_operations), &mount);
    fuse_opt_free_args(&args);
    if (!f) {
        (void)mount.shutdown();
        return finish(report_fd, EXIT_MOUNT);
    }
    if (fuse_mount(f, a.mountpoint.c_str()) != 0) {
        fuse_destroy(f);
        (void)mount.shutdown();
        return finish(report_fd, EXIT_MOUNT);
    }
    fuse_session* se = fuse_get_session(f);
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_unmount(f);
        fuse_destroy(f);
        (void)mount.shutdown();
        return finish(report_fd, EXIT_MOUNT);
    }
    if (a.debug) {
        std::fprintf(stderr, "tlnmount: %s mounted at %s\n", what.c_str(), a.mountpoint.c_str());
    }
    if (report_fd >= 0) {
        (void)finish(report_fd, EXIT_OK);
        quiet_stdio();
        (void)::chdir("/");
    }

    // One request at a time: the single-threaded loop.
    int loop = fuse_loop(f);
    fuse_remove_signal_handlers(se);
    fuse_unmount(f);
    bool clean = mount.shutdown();
    fuse_destroy(f);
    if (a.debug) std::fprintf(stderr, "tlnmount: unmounted %s\n", a.mountpoint.c_str());
    return clean && loop == 0 ? EXIT_OK : EXIT_LOST;
}
