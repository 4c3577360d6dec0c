// tlnmount's errnos: what a program sees through the mount for each failed
// call.
//
// tolvane answers a refused request with a text beginning "tolvane: ". The
// one table of those texts lives in the stand-in (kernel/linux/errmap.h),
// shared with the Linux dialect of posted servers, so ls, cp and shells get
// ENOENT, EEXIST, ENOSPC and so on through either. A text without a row, and
// every broken connection or protocol failure, is EIO.
#pragma once

#include <span>
#include <string_view>

#include "client.h"
#include "errors/errmap.h"

namespace tlnmount {

using ErrnoRule = ErrmapRule;

// Every row of the table, in the order the server's handlers check them.
std::span<const ErrnoRule> errno_rules();

// The errno for a refusal text: its row's errno, ENOENT for the client
// library's own account of a walk that stopped ("'NAME': not found"), else EIO.
int errno_for_text(std::string_view text);

// How the text of the mount's own error begins when no connection can be
// had (the server did not come back in time after a break).
inline constexpr std::string_view NOT_CONNECTED = "not connected";

// The errno for any failed client call: refusals through errno_for_text, the
// client's "out of fids" as EMFILE, a local error beginning with
// NOT_CONNECTED as ENOTCONN, everything else (protocol, connection, local)
// EIO.
int errno_for(const tlnclient::Error& e);

}  // namespace tlnmount
