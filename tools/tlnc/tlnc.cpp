// tlnc: a command-line 9P2000 client. Connects to a server (posted name,
// socket path, or a server command on its stdio), attaches, runs one command
// on the tree and hangs up.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "client.h"
#include "commands.h"

namespace {

using namespace tlnc;

const char* const MAIN_HELP =
    "usage: tlnc [-s NAME | -a SOCKET | -c COMMAND] [-A ANAME] [-t SECONDS] CMD [ARG ...]\n"
    "\n"
    "Speaks 9P2000 to a file server and runs one command on its tree. Paths are\n"
    "taken from the root of the attached tree; \"a/b\" and \"/a/b\" are the same.\n"
    "\n" TLNCLI_WHERE_HELP
    "  -c COMMAND   start COMMAND (with /bin/sh -c) and speak on its standard input\n"
    "               and output; at the end its input is closed (a tolvane server then\n"
    "               saves its tree) and tlnc waits for it to exit; its standard\n"
    "               error stays tlnc's (add 2>/dev/null to COMMAND to quiet it)\n"
    "  -A ANAME     attach to the tree named ANAME instead of the server's root\n"
    "  -t SECONDS   give up on a server that stays silent this long (default 20)\n"
    "\n"
    "Commands:\n"
    "  ls [-l] [PATH]      list a directory (names, or -l: mode, owner, length, qid)\n"
    "  stat PATH           show a file's stat record\n"
    "  cat PATH ...        copy files to standard output, one after another\n"
    "  write PATH          copy standard input into a file (created or truncated)\n"
    "  mkdir PATH          make a directory\n"
    "  rm PATH             remove a file or an empty directory\n"
    "  put HOSTFILE PATH   copy a host file into the tree (-r: a whole directory)\n"
    "  get PATH HOSTFILE   copy a file out of the tree into a host file (-r: a\n"
    "                      whole directory)\n"
    "  tree [PATH]         list every path below PATH (default /)\n"
    "  df                  nodes, data slots and image bytes used and free\n"
    "  help [CMD]          show this text, or the help of CMD\n"
    "\n"
    "'tlnc CMD --help' shows the help of CMD.\n"
    "\n"
    "Errors go to standard error as 'tlnc: CMD PATH: REASON', REASON being the\n"
    "server's own error text when the server refused. Exit status: 0 done; 1 the\n"
    "server refused or a host file failed; 2 bad usage; 3 no connection, or the\n"
    "server broke the protocol, hung up or went silent.\n";

// What a command is given: its positional arguments, -l for ls, -r for put
// and get.
struct Args {
    std::vector<std::string> v;
    bool long_form = false;
    bool recursive = false;
    std::string at(size_t i, const char* dflt) const { return i < v.size() ? v[i] : dflt; }
};

struct Command {
    const char* name;
    int min_args;  // positional arguments, options excluded
    int max_args;
    const char* options;                // the options it takes, space-separated
    int (*run)(Session&, const Args&);  // null for help, which needs no server
    const char* help;
};

const Command COMMANDS[] = {
    {"ls", 0, 1, "-l",
     [](Session& s, const Args& a) { return cmd_ls(s, a.long_form, a.at(0, "/")); },
     "usage: tlnc ls [-l] [PATH]\n"
     "\n"
     "Lists the directory PATH (default /), one name a line, sorted. For a file,\n"
     "prints PATH itself. With -l each line is\n"
     "  MODE UID GID LENGTH (QIDPATH QIDVERSION QIDTYPE) NAME\n"
     "with MODE as in d-rwxrwxrwx, the qid path in hexadecimal and the qid type\n"
     "in hexadecimal (80 for a directory).\n"},
    {"stat", 1, 1, "", [](Session& s, const Args& a) { return cmd_stat(s, a.v[0]); },
     "usage: tlnc stat PATH\n"
     "\n"
     "Prints every field of PATH's stat record, one 'field value' a line: name,\n"
     "qid (path version type), mode, length, uid, gid, muid, atime, mtime, type,\n"
     "dev.\n"},
    {"cat", 1, 1 << 16, "", [](Session& s, const Args& a) { return cmd_cat_all(s, a.v); },
     "usage: tlnc cat PATH ...\n"
     "\n"
     "Copies each file PATH to standard output, in the order given. A file that\n"
     "cannot be read is reported and the others are still copied; the exit\n"
     "status is then 1.\n"},
    {"write", 1, 1, "", [](Session& s, const Args& a) { return cmd_write(s, a.v[0]); },
     "usage: tlnc write PATH\n"
     "\n"
     "Copies standard input into the file PATH: a file that exists is truncated\n"
     "first, a missing one is created in its directory. When the copy fails part\n"
     "way (the server refuses, is full, or takes no more bytes), the file is\n"
     "removed, so no partial file is left.\n"},
    {"mkdir", 1, 1, "", [](Session& s, const Args& a) { return cmd_mkdir(s, a.v[0]); },
     "usage: tlnc mkdir PATH\n"
     "\n"
     "Makes the directory PATH. Its parent must exist.\n"},
    {"rm", 1, 1, "", [](Session& s, const Args& a) { return cmd_rm(s, a.v[0]); },
     "usage: tlnc rm PATH\n"
     "\n"
     "Removes the file or empty directory PATH.\n"},
    {"put", 2, 2, "-r",
     [](Session& s, const Args& a) {
         return a.recursive ? cmd_put_tree(s, a.v[0], a.v[1]) : cmd_put(s, a.v[0], a.v[1]);
     },
     "usage: tlnc put HOSTFILE PATH\n"
     "       tlnc put -r HOSTDIR PATH\n"
     "\n"
     "Copies the host file HOSTFILE into the file PATH (created, or truncated if\n"
     "it exists); when PATH is a directory, into PATH/<name of HOSTFILE>. Data\n"
     "goes in requests as large as the message size allows. A server that takes\n"
     "fewer bytes than offered is asked again for the rest; when it refuses or\n"
     "takes nothing more (a tolvane file holds at most 4 MiB, and all its files\n"
     "share 63 data slots of 64 KiB), put fails and removes the partial file.\n"
     "\n"
     "With -r, copies the host directory HOSTDIR and everything below it into\n"
     "the directory PATH (made if missing), or into PATH/<name of HOSTDIR> when\n"
     "PATH is a directory already; files that exist are overwritten. Symbolic\n"
     "links and special files are skipped with a warning. The first failure\n"
     "(the server full, a name refused) stops the copy: the failing file is\n"
     "removed, the files copied before it stay, and a second line names the\n"
     "path it stopped at and counts the files, bytes and directories copied.\n"},
    {"get", 2, 2, "-r",
     [](Session& s, const Args& a) {
         return a.recursive ? cmd_get_tree(s, a.v[0], a.v[1]) : cmd_get(s, a.v[0], a.v[1]);
     },
     "usage: tlnc get PATH HOSTFILE\n"
     "       tlnc get -r PATH HOSTDIR\n"
     "\n"
     "Copies the file PATH into the host file HOSTFILE (or HOSTFILE/<name> when\n"
     "HOSTFILE is a directory). The bytes go to a temporary file beside HOSTFILE\n"
     "that is renamed over it only when the whole file arrived, so a failed get\n"
     "leaves HOSTFILE as it was.\n"
     "\n"
     "With -r, copies the directory PATH and everything below it into the host\n"
     "directory HOSTDIR (made if missing), or into HOSTDIR/<name of PATH> when\n"
     "HOSTDIR is a directory already. The first failure stops the copy and is\n"
     "reported as with put -r.\n"},
    {"tree", 0, 1, "", [](Session& s, const Args& a) { return cmd_tree(s, a.at(0, "/")); },
     "usage: tlnc tree [PATH]\n"
     "\n"
     "Prints PATH (default /) and every path below it, one a line, depth first\n"
     "and sorted by name; directories end in '/'.\n"},
    {"df", 0, 0, "", [](Session& s, const Args&) { return cmd_df(s); },
     "usage: tlnc df\n"
     "\n"
     "Counts the tree from the attach root down and prints, used, free and in\n"
     "all: nodes (files and directories, the root included), data slots of\n"
     "64 KiB (one per 64 KiB begun of each file; slot 0 is never used), and\n"
     "image bytes (the fixed tables and every file's length: what the next\n"
     "save writes, at most). The\n"
     "capacities are a tolvane server's; tlnmount's statfs reports the same\n"
     "node and slot figures.\n"},
    {"help", 0, 1, "", nullptr,
     "usage: tlnc help [CMD]\n"
     "\n"
     "Shows tlnc's help, or the help of the command CMD.\n"},
};

const tlncli::Tool TOOL{"tlnc", MAIN_HELP, EXIT_USAGE, EXIT_REFUSED};

int usage_error(const std::string& text) {
    return tlncli::usage_error(TOOL, text);
}

struct Settings {
    tlncli::Source source;
    std::string aname;
    int timeout_s = 20;
};

int run(const Settings& st, const Command& cmd, const Args& args) {
    tlnclient::Options opts;
    opts.timeout_ms = st.timeout_s * 1000;
    const char* user = std::getenv("USER");
    if (user && *user) opts.uname = user;

    auto connected = st.source.connect(opts);
    if (!connected) {
        report("connect", st.source.where(), connected.error());
        st.source.explain("tlnc", connected.error(), st.timeout_s, "; scripts/run.sh starts one");
        return EXIT_CONNECTION;
    }
    tlnclient::Client& client = *connected.value();
    tlnclient::Result<tlnclient::Fid> root = client.attach(st.aname);
    if (!root) {
        int status = report("attach", st.aname.empty() ? "/" : st.aname, root.error());
        (void)client.close();
        return status;
    }

    Session s{&client, root.value()};
    int status = cmd.run(s, args);

    if (std::fflush(stdout) != 0 && status == EXIT_OK) {
        std::fprintf(stderr, "tlnc: %s: standard output: %s\n", cmd.name, std::strerror(errno));
        status = EXIT_REFUSED;
    }
    if (client.usable()) (void)client.clunk(root.value());
    tlnclient::Status down = client.close();
    if (!down) {
        report("hang-up", "", down.error());
        if (status == EXIT_OK) status = EXIT_CONNECTION;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output or a vanished server must show as an error
    // from write(), not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> a(argv + 1, argv + argc);
    Settings st;
    size_t i = 0;
    for (; i < a.size(); i++) {
        const std::string& o = a[i];
        if (o == "--") {
            i++;
            break;
        }
        if (tlncli::is_help_flag(o)) return tlncli::show(TOOL, MAIN_HELP);
        if (o.size() < 2 || o[0] != '-') break;
        if (o != "-s" && o != "-a" && o != "-c" && o != "-A" && o != "-t") {
            return usage_error("unknown option '" + o + "'");
        }
        if (i + 1 >= a.size()) return usage_error("option " + o + " needs a value");
        const std::string& v = a[++i];
        if (o == "-A") {
            st.aname = v;
        } else if (o == "-t") {
            char* end = nullptr;
            long t = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || t < 1 || t > 86400) {
                return usage_error("-t needs a number of seconds from 1 to 86400");
            }
            st.timeout_s = static_cast<int>(t);
        } else {
            if (v.empty()) return usage_error("option " + o + " needs a non-empty value");
            st.source.take(o[1], v);
        }
    }
    if (st.source.given > 1) return usage_error(tlncli::Source::ONLY_ONE);
    const Command* cmd = nullptr;
    tlncli::Words words;
    if (int status = tlncli::take_command(TOOL, COMMANDS, a, i, cmd, words); status >= 0) {
        return status;
    }
    Args args{std::move(words.operands), words.has("-l"), words.has("-r")};
    if (static_cast<int>(args.v.size()) < cmd->min_args ||
        static_cast<int>(args.v.size()) > cmd->max_args) {
        return tlncli::wrong_count(TOOL, cmd->name, cmd->help);
    }
    return run(st, *cmd, args);
}
