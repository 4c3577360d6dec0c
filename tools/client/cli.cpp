#include "cli.h"

#include <cstdio>

namespace tlncli {

bool is_help_flag(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

int show(const Tool& tool, const char* text) {
    std::fputs(text, stdout);
    return std::fflush(stdout) == 0 ? 0 : tool.output_status;
}

int usage_error(const Tool& tool, const std::string& text) {
    std::fprintf(stderr, "%s: %s\nrun '%s --help' for usage\n", tool.name, text.c_str(), tool.name);
    return tool.usage_status;
}

int wrong_count(const Tool& tool, const char* cmd, const char* help) {
    std::fprintf(stderr, "%s: %s: wrong number of arguments\n%s", tool.name, cmd, help);
    return tool.usage_status;
}

bool Words::has(std::string_view option) const {
    for (const auto& o : options) {
        if (o == option) return true;
    }
    return false;
}

int split_words(const Tool& tool, const char* cmd, const char* options,
                const std::vector<std::string>& rest, Words& words) {
    const std::string takes = std::string(" ") + options + " ";
    bool options_done = false;
    for (const auto& r : rest) {
        if (!options_done && r == "--") {
            options_done = true;
        } else if (!options_done && r.size() > 1 && r[0] == '-') {
            if (takes.find(" " + r + " ") == std::string::npos) {
                return usage_error(tool, std::string(cmd) + ": unknown option '" + r + "'");
            }
            words.options.push_back(r);
        } else {
            words.operands.push_back(r);
        }
    }
    return -1;
}

bool Source::take(char opt, const std::string& value) {
    std::string* slot = opt == 's' ? &name : opt == 'a' ? &socket : opt == 'c' ? &command : nullptr;
    if (!slot) return false;
    *slot = value;
    given++;
    return true;
}

const std::string& Source::where() const {
    return !command.empty() ? command : !socket.empty() ? socket : name;
}

tlnclient::Result<std::unique_ptr<tlnclient::Client>> Source::connect(
    const tlnclient::Options& opts) const {
    if (!command.empty()) return tlnclient::Client::spawn(command, opts);
    if (!socket.empty()) return tlnclient::Client::connect_socket(socket, opts);
    return tlnclient::Client::connect_posted(name, opts);
}

void Source::explain(const char* tool, const tlnclient::Error& e, int timeout_s,
                     const char* not_posted_tail) const {
    if (!posted()) return;
    if (e.not_posted) {
        std::fprintf(stderr, "%s: no server is posted as '%s' (in %s)%s\n", tool, name.c_str(),
                     tlnclient::registry_dir().c_str(), not_posted_tail);
    } else if (e.timed_out) {
        std::fprintf(stderr, "%s: the server posted as '%s' did not answer in %d s\n", tool,
                     name.c_str(), timeout_s);
    }
}

}  // namespace tlncli
