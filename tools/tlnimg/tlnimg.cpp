// tlnimg: inspects, checks, extracts, builds and compares tolvane snapshot
// images offline, with the server's own image code and request handlers.
#include <signal.h>

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "image.h"
#include "ops.h"

namespace {

using namespace tlnimg;

const char* const MAIN_HELP =
    "usage: tlnimg CMD [OPTION ...] ARG ...\n"
    "\n"
    "Works on tolvane snapshot images (\"TLNIMG03\", one file per instance, such as\n"
    "tln-0.img in the backing store) without a running server. The image is read\n"
    "by the server's own reader, so it is accepted or refused exactly as the server\n"
    "would at start-up; ls, tree, stat and cat serve it in process and run tlnc's\n"
    "commands of those names on it.\n"
    "\n"
    "Commands:\n"
    "  info IMG              size, nodes, slots, file bytes, largest file, deepest\n"
    "                        path, and the server's verdict on the image\n"
    "  check IMG             exit 0 when the server accepts IMG, 1 with the reason\n"
    "  ls [-l] IMG [PATH]    list a directory, as tlnc ls\n"
    "  tree IMG [PATH]       every path below PATH, as tlnc tree\n"
    "  stat IMG PATH         a stat record, as tlnc stat\n"
    "  cat IMG PATH          a file's bytes to standard output, as tlnc cat\n"
    "  extract [-f] IMG DIR  every directory and file into the host directory DIR\n"
    "  extract --tar IMG     the same as a tar archive on standard output\n"
    "  pack DIR IMG          build IMG from the host directory DIR\n"
    "  diff IMG1 IMG2        paths added, removed and changed, one a line\n"
    "  help [CMD]            show this text, or the help of CMD\n"
    "\n"
    "'tlnimg CMD --help' shows the help of CMD.\n"
    "\n"
    "Errors go to standard error as 'tlnimg: CMD PATH: REASON'. Exit status: 0 done\n"
    "(or the same, for diff); 1 the image is refused, the images differ, or what was\n"
    "asked is refused; 2 bad usage; 3 a host file could not be read or written.\n";

struct Args {
    std::vector<std::string> v;
    bool long_form = false;  // ls -l
    bool force = false;      // extract -f
    bool tar = false;        // extract --tar
};

struct Command {
    const char* name;
    int min_args;
    int max_args;
    const char* options;  // the options it takes, space-separated
    int (*run)(const Args&);
    const char* help;
};

std::string at(const Args& a, size_t i, const char* dflt) {
    return i < a.v.size() ? a.v[i] : dflt;
}

const Command COMMANDS[] = {
    {"info", 1, 1, "", [](const Args& a) { return cmd_info(a.v[0]); },
     "usage: tlnimg info IMG\n"
     "\n"
     "Prints the image's size against the 5 MiB an image may take, the node rows in\n"
     "use of 384, the 64 KiB data slots its contents need of 63, the bytes in its\n"
     "files, its largest file, its deepest path, and the verdict of the server's\n"
     "reader: accepted, or refused with the rule, the row and the field value that\n"
     "refused it. Exit status 0 when accepted, 1 when refused.\n"},
    {"check", 1, 1, "", [](const Args& a) { return cmd_check(a.v[0]); },
     "usage: tlnimg check IMG\n"
     "\n"
     "Exit status 0 (and 'IMG: accepted') when the server would accept IMG at\n"
     "start-up; 1, with the reason on standard error, when it would refuse it.\n"},
    {"ls", 1, 2, "-l",
     [](const Args& a) { return cmd_served("ls", a.v[0], a.long_form, at(a, 1, "/")); },
     "usage: tlnimg ls [-l] IMG [PATH]\n"
     "\n"
     "Lists the directory PATH (default /) of the image, in tlnc ls's format.\n"},
    {"tree", 1, 2, "",
     [](const Args& a) { return cmd_served("tree", a.v[0], false, at(a, 1, "/")); },
     "usage: tlnimg tree IMG [PATH]\n"
     "\n"
     "Prints PATH (default /) and every path below it, in tlnc tree's format.\n"},
    {"stat", 2, 2, "", [](const Args& a) { return cmd_served("stat", a.v[0], false, a.v[1]); },
     "usage: tlnimg stat IMG PATH\n"
     "\n"
     "Prints PATH's stat record, in tlnc stat's format.\n"},
    {"cat", 2, 2, "", [](const Args& a) { return cmd_served("cat", a.v[0], false, a.v[1]); },
     "usage: tlnimg cat IMG PATH\n"
     "\n"
     "Copies the file PATH of the image to standard output, as tlnc cat.\n"},
    {"extract", 1, 2, "-f --tar",
     [](const Args& a) {
         return a.tar ? cmd_extract_tar(a.v[0]) : cmd_extract(a.v[0], a.v[1], a.force);
     },
     "usage: tlnimg extract [-f] IMG DIR\n"
     "       tlnimg extract --tar IMG > FILE.tar\n"
     "\n"
     "Writes every directory and file of the image, with its contents (holes as\n"
     "zeros), into the host directory DIR (made if missing), or as a tar archive to\n"
     "standard output. Entries go depth first, each directory's names in byte order.\n"
     "Nothing is written outside DIR: a name that cannot be a host file name (empty,\n"
     "'.', '..', or holding '/' or a NUL byte) is skipped, and links already in DIR\n"
     "are not followed. An existing file is not overwritten unless -f is given.\n"
     "\n"
     "From an image the server refuses, extract takes what the damage allows and\n"
     "lists the rows it skipped. Exit status 1 when the image is refused or a row\n"
     "was skipped.\n"},
    {"pack", 2, 2, "", [](const Args& a) { return cmd_pack(a.v[0], a.v[1]); },
     "usage: tlnimg pack DIR IMG\n"
     "\n"
     "Builds the image IMG from the host directory DIR, which may hold regular files\n"
     "and directories only. The server's start-up tree comes first (the root, /var,\n"
     "/usr, /etc and the rest of the skeleton; a host directory of the same path is\n"
     "merged into it); then DIR's entries, depth first, each directory's names in\n"
     "byte order, each made by the server's own handlers as 'tlnc mkdir' and\n"
     "'tlnc put' would make it. The image is what the server would save after\n"
     "restoring it, so serving IMG and saving it gives the same bytes.\n"
     "\n"
     "Anything that does not fit is an error naming the host path, and no image is\n"
     "written: links, devices, pipes and sockets (not followed); a name over 64\n"
     "bytes; a file over 4 MiB; more entries than the 373 free node rows; contents\n"
     "needing more than 63 data slots of 64 KiB; an image over 5 MiB. IMG is\n"
     "written to a temporary file beside it and renamed into place.\n"},
    {"diff", 2, 2, "", [](const Args& a) { return cmd_diff(a.v[0], a.v[1]); },
     "usage: tlnimg diff IMG1 IMG2\n"
     "\n"
     "Prints one line per path that differs, in byte order of the paths:\n"
     "  added   PATH             only in IMG2\n"
     "  removed PATH             only in IMG1\n"
     "  changed PATH: length A -> B\n"
     "  changed PATH: contents\n"
     "  changed PATH: file -> directory (or the other way)\n"
     "Directories end in '/'. Exit status 0 when the trees are the same, 1 when\n"
     "they differ (or an image is refused).\n"},
    {"help", 0, 1, "", nullptr,
     "usage: tlnimg help [CMD]\n"
     "\n"
     "Shows tlnimg's help, or the help of the command CMD.\n"},
};

const tlncli::Tool TOOL{"tlnimg", MAIN_HELP, EXIT_USAGE, EXIT_IO};

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> a(argv + 1, argv + argc);
    if (!a.empty() && tlncli::is_help_flag(a[0])) return tlncli::show(TOOL, MAIN_HELP);
    const Command* cmd = nullptr;
    tlncli::Words words;
    if (int status = tlncli::take_command(TOOL, COMMANDS, a, 0, cmd, words); status >= 0) {
        return status;
    }
    Args args{std::move(words.operands), words.has("-l"), words.has("-f"), words.has("--tar")};
    int want_min = cmd->min_args, want_max = cmd->max_args;
    if (std::string_view(cmd->name) == "extract") {
        if (args.tar && args.force)
            return tlncli::usage_error(TOOL, "extract: -f goes with DIR, not --tar");
        want_min = want_max = args.tar ? 1 : 2;
    }
    if (static_cast<int>(args.v.size()) < want_min || static_cast<int>(args.v.size()) > want_max) {
        return tlncli::wrong_count(TOOL, cmd->name, cmd->help);
    }
    return cmd->run(args);
}
