// The process entry of the Linux stand-in: the C runtime's main plays
// velmor's _start. It sets up the process as the kernel would (signals, see
// velmor_linux_start), writes the runtime's start line with one write, runs
// the server's main and hands its result to the kernel's exit call.
#include <cstdint>

#include "kernel/linux/standin.h"
#include "kernel/velmor.h"

// The server's entry (user/tolvane/tolvane.h). Declared here rather than
// included, so the entry builds with the kernel interface alone.
namespace tolvane {
int32_t main(int32_t argc, char** argv);
}

int main(int argc, char** argv) {
    velmor_linux_start();
    static constexpr char START_LINE[] = "[runtime:tolvane] _start\n";
    sys_write(2, START_LINE, sizeof START_LINE - 1);
    sys_exit(static_cast<int64_t>(tolvane::main(argc, argv)));
}
