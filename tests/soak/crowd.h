// tln_soak --clients N: many clients at once on one posted server (crowd.cpp).
#pragma once

#include <cstdint>
#include <string>

struct CrowdOptions {
    int clients = 16;
    uint64_t requests = 20000;  // stops once this many replies were checked
    double seconds = 600;       // or after this long, whichever comes first
    uint64_t seed = 8;
    std::string server;  // the tolvane binary
    std::string base;    // where the registry and store directories go
    bool quiet = false;
};

// Runs the crowd; the process exit status (0 when every check held).
int run_crowd(const CrowdOptions& o);
