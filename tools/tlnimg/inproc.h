// The server's own request step, run in a thread of this process over a
// socket pair on whatever tree its tables hold, with tlnc's client on the
// other end. ls, tree, stat and cat are then tlnc's own commands, and pack
// builds its tree through the same Tcreate and Twrite requests as tlnc.
// Saves are off: the tree only changes in memory.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "client.h"
#include "commands.h"

namespace tlnimg {

class InProcess {
public:
    InProcess() = default;
    ~InProcess();  // hangs up and waits for the server thread
    InProcess(const InProcess&) = delete;
    InProcess& operator=(const InProcess&) = delete;

    // Starts the server thread, connects (Tversion) and attaches. False, with
    // the reason in ERR, when that fails.
    bool start(std::string* err);
    tlnc::Session& session() { return session_; }
    // Clunks the root, hangs up and waits for the server to see end of
    // stream. False when the client saw an error doing so.
    bool finish();

private:
    std::unique_ptr<tlnclient::Client> client_;
    tlnc::Session session_{};
    std::thread server_;
    bool attached_ = false;
};

}  // namespace tlnimg
