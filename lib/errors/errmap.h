// The one table from the server's Rerror texts to Linux errnos, for every
// Linux client of ours that needs errnos.
//
// tolvane refuses a request with a text beginning "tolvane: " (all named in
// tolvane/errors.h). Programs want errnos: tlnmount hands them to FUSE, and
// the stand-in's Linux dialect of a posted server speaks them to the kernel's
// own 9P2000 client as text. That client (legacy 9P2000, no Rerror errno
// field) knows an errno only from a fixed list of texts, mostly the C
// library's strerror texts; any other text reaches programs as error 526
// (ESERVERFAULT), and since the kernel looks a name up before it creates it,
// even mkdir fails. So the dialect replaces each server text by the kernel's
// text for its errno.
//
// Nothing here allocates, throws or keeps state.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "errors/errors.h"

struct ErrmapRule {
    std::string_view text;  // the server's whole Rerror text
    int err;                // the errno programs see
};

// Every row of the table, one per text the server can send, in the order the
// server's handlers check them, then the stand-in's own.
std::span<const ErrmapRule> errmap_rules();

// The errno of the row for TEXT, or 0 when no row has exactly that text.
int errmap_errno(std::string_view text);

// Longest text errmap_linux_text returns for a text that has a row.
inline constexpr uint32_t ERRMAP_LINUX_TEXT_MAX = 32;

// The text the Linux kernel's 9P2000 client turns into the errno of TEXT's
// row: the C library's strerror text where the kernel's list has it (one
// exception, see errmap.cpp). Points into static storage. A text without a
// row comes back unchanged (the same pointer and length).
std::string_view errmap_linux_text(std::string_view text);
