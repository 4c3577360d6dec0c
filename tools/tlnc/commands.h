// tlnc's subcommands: each runs one user-level operation on an attached tree
// and returns the process exit status, having written any error to stderr.
#pragma once

#include <string>
#include <vector>

#include "client.h"

namespace tlnc {

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_REFUSED = 1;     // the server refused, or a host file failed
inline constexpr int EXIT_USAGE = 2;       // bad command line
inline constexpr int EXIT_CONNECTION = 3;  // could not connect, or the protocol broke

// An attached connection: the client and the fid of the attach root.
struct Session {
    tlnclient::Client* client;
    tlnclient::Fid root;
};

// The name errors begin with: "tlnc", or the program that runs these
// commands on its own connection (tlnimg).
extern const char* program_name;

// Writes "tlnc: OP PATH: TEXT" to stderr and returns the exit status for the
// error's kind.
int report(const std::string& op, const std::string& path, const tlnclient::Error& e);

// Each takes the arguments after the command name (options already checked
// by the caller against the command's usage).
int cmd_ls(Session& s, bool long_form, const std::string& path);
int cmd_stat(Session& s, const std::string& path);
int cmd_cat(Session& s, const std::string& path);
int cmd_write(Session& s, const std::string& path);
int cmd_mkdir(Session& s, const std::string& path);
int cmd_rm(Session& s, const std::string& path);
int cmd_put(Session& s, const std::string& hostfile, const std::string& path);
int cmd_get(Session& s, const std::string& path, const std::string& hostfile);
int cmd_tree(Session& s, const std::string& path);
// cat of several files in turn: a file that fails is reported and the rest
// are still copied (unless the connection broke); the status is the worst.
int cmd_cat_all(Session& s, const std::vector<std::string>& paths);
// put -r and get -r: a whole directory, depth first and sorted by name. The
// first failure stops the copy; it names the path it stopped at and what was
// copied before it.
int cmd_put_tree(Session& s, const std::string& hostdir, const std::string& path);
int cmd_get_tree(Session& s, const std::string& path, const std::string& hostdir);
// Nodes, data slots and image bytes used and free, counted from the tree.
int cmd_df(Session& s);

// "d-rwxrwxrwx" for a stat mode.
std::string mode_string(uint32_t mode);

}  // namespace tlnc
