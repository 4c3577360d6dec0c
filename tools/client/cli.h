// The command-line skeleton tlnc, tlnimg and tlnmount share: help and usage
// errors, a table of commands each with its own help and options, and where
// the server is (-s NAME, -a SOCKET or -c COMMAND).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client.h"

// The help lines on -s and -a, the same in every tool that finds a server;
// a macro so that each tool's help stays one string literal.
#define TLNCLI_WHERE_HELP                                                           \
    "Where the server is (one of; the default is -s tolvane):\n"                    \
    "  -s NAME      the server posted as NAME in the /srv registry: $VELMOR_SRV,\n" \
    "               else $XDG_RUNTIME_DIR/velmor-srv, else /tmp/velmor-srv-UID\n"   \
    "  -a SOCKET    a unix socket at the path SOCKET\n"

namespace tlncli {

// What a tool's messages need to know about it.
struct Tool {
    const char* name;   // "tlnc": begins every message
    const char* help;   // the tool's own help
    int usage_status;   // exit status of bad usage
    int output_status;  // exit status when standard output fails
};

// "--help" or "-h".
bool is_help_flag(std::string_view arg);

// Writes TEXT to standard output. Returns 0, or the tool's output_status when
// standard output did not take it.
int show(const Tool& tool, const char* text);

// Writes "NAME: TEXT" and a pointer to --help to standard error; returns the
// usage status.
int usage_error(const Tool& tool, const std::string& text);

// Writes "NAME: CMD: wrong number of arguments" and the command's HELP to
// standard error; returns the usage status.
int wrong_count(const Tool& tool, const char* cmd, const char* help);

// The words after a command's name, split into its options and operands.
struct Words {
    std::vector<std::string> options;
    std::vector<std::string> operands;
    bool has(std::string_view option) const;
};

// Splits REST for the command CMD, which takes OPTIONS (space-separated, such
// as "-l --tar"): "--" ends the options, and any other word of two or more
// characters beginning with '-' is an option, a usage error when CMD does not
// take it. Returns -1, or the exit status of the usage error.
int split_words(const Tool& tool, const char* cmd, const char* options,
                const std::vector<std::string>& rest, Words& words);

// The entry of TABLE named NAME, or null. A table entry has a name, a help
// text and a run function, null for the help command.
template <typename Command, size_t N>
const Command* find_command(const Command (&table)[N], std::string_view name) {
    for (const Command& c : table) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

// Answers what runs no command: a help flag anywhere in REST shows CMD's
// help, and the help command shows the tool's help or that of the command
// named in REST. Returns the exit status, or -1 when CMD is to run.
template <typename Command, size_t N>
int answer_help(const Tool& tool, const Command (&table)[N], const Command& cmd,
                const std::vector<std::string>& rest) {
    for (const auto& r : rest) {
        if (is_help_flag(r)) return show(tool, cmd.help);
    }
    if (cmd.run) return -1;
    if (rest.empty()) return show(tool, tool.help);
    const Command* about = find_command(table, rest[0]);
    if (!about || rest.size() > 1) return usage_error(tool, "no command '" + rest[0] + "'");
    return show(tool, about->help);
}

// Takes the command named ARGS[AT] from TABLE and the words after it: answers
// help (answer_help) and splits the rest into WORDS (split_words). Returns -1
// when CMD is to run, else the exit status ("no command given" and "unknown
// command 'X'" are usage errors).
template <typename Command, size_t N>
int take_command(const Tool& tool, const Command (&table)[N], const std::vector<std::string>& args,
                 size_t at, const Command*& cmd, Words& words) {
    if (at >= args.size()) return usage_error(tool, "no command given");
    cmd = find_command(table, args[at]);
    if (!cmd) return usage_error(tool, "unknown command '" + args[at] + "'");
    std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    if (int status = answer_help(tool, table, *cmd, rest); status >= 0) return status;
    return split_words(tool, cmd->name, cmd->options, rest, words);
}

// Where the server is: -s NAME (the default, the server posted as tolvane),
// -a SOCKET or -c COMMAND. A -c command wins over a socket, and a socket over
// a name.
struct Source {
    std::string name = "tolvane";
    std::string socket;
    std::string command;
    int given = 0;  // how many of -s, -a and -c

    // The usage error when more than one was given.
    static constexpr const char* ONLY_ONE = "give only one of -s, -a and -c";

    // Takes VALUE for OPT, one of 's', 'a' and 'c'; false for another option.
    bool take(char opt, const std::string& value);
    bool posted() const { return command.empty() && socket.empty(); }
    // The name, socket path or command used.
    const std::string& where() const;
    tlnclient::Result<std::unique_ptr<tlnclient::Client>> connect(
        const tlnclient::Options& opts) const;
    // After a failed connect E to a posted server, writes the line that says
    // why to standard error, as "TOOL: no server is posted as 'NAME' (in
    // DIR)" followed by NOT_POSTED_TAIL, or as "TOOL: the server posted as
    // 'NAME' did not answer in TIMEOUT_S s".
    void explain(const char* tool, const tlnclient::Error& e, int timeout_s,
                 const char* not_posted_tail) const;
};

}  // namespace tlncli
