// A scripted 9P server on a thread, for driving tlnclient over a socketpair:
// every whole request is recorded and handed to a handler that answers with
// any bytes at all (a proper reply, garbage, nothing) or hangs up.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support.h"

namespace client_test {

using tolvane_test::Bytes;

struct Reply {
    Bytes bytes;           // written as they are; empty writes nothing
    bool hang_up = false;  // close the server's end after writing
};

class FakeServer {
public:
    using Handler = std::function<Reply(const Bytes& request)>;

    // Tversion is answered here (msize lowered to MSIZE, version "9P2000")
    // unless RAW_VERSION, in which case it reaches the handler like the rest.
    explicit FakeServer(Handler handler, uint32_t msize = 131072, bool raw_version = false);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // The client's end; whoever takes it owns it.
    int take_client_fd();
    // Every request received so far, Tversion included.
    std::vector<Bytes> requests();

private:
    void loop();

    Handler handler_;
    uint32_t msize_;
    bool raw_version_;
    int client_fd_ = -1;
    int server_fd_ = -1;
    std::mutex mu_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

// Reply builders.
Reply rerror(uint16_t tag, std::string_view text);
Reply rwalk(uint16_t tag, uint16_t nwqid, uint8_t qtype = 0x80);
Reply ropen(uint16_t tag, uint8_t qtype = 0);
Reply rread(uint16_t tag, const Bytes& data);
Reply rwrite(uint16_t tag, uint32_t count);
Reply rclunk(uint16_t tag);
Reply rremove(uint16_t tag);
Reply rattach(uint16_t tag);

// Request fields.
uint8_t req_type(const Bytes& r);
uint16_t req_tag(const Bytes& r);
uint32_t u32_at(const Bytes& r, size_t off);
uint64_t u64_at(const Bytes& r, size_t off);
// Names of a Twalk.
std::vector<std::string> twalk_names(const Bytes& r);

// One stat record as directory reads carry it.
Bytes stat_record(std::string_view name, uint64_t length, bool dir, uint64_t qpath);

}  // namespace client_test
