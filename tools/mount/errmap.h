// tlnmount's one table from the server's error texts to the errno a program
// sees through the mount.
//
// tolvane answers a refused request with a text beginning "tolvane: "; the
// kernel's own 9P client would hand most of those to programs as error 526.
// Here every text the server can send has its row, so ls, cp and shells get
// ENOENT, EEXIST, ENOSPC and so on. A text without a row, and every broken
// connection or protocol failure, is EIO.
#pragma once

#include <span>
#include <string_view>

#include "client.h"

namespace tlnmount {

struct ErrnoRule {
    std::string_view text;  // the server's whole error text
    int err;                // the errno programs see
};

// Every row of the table, in the order the server's handlers check them.
std::span<const ErrnoRule> errno_rules();

// The errno for a refusal text: its row's errno, ENOENT for the client
// library's own account of a walk that stopped ("'NAME': not found"), else EIO.
int errno_for_text(std::string_view text);

// The errno for any failed client call: refusals through errno_for_text, the
// client's "out of fids" as EMFILE, everything else (protocol, connection,
// local) EIO.
int errno_for(const tlnclient::Error& e);

}  // namespace tlnmount
