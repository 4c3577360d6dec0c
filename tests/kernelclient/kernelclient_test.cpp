// The Linux kernel's own 9P2000 client against a posted tolvane server.
//
// A host cannot load kernel modules for a test, so a small Linux guest boots
// under QEMU with the distribution's kernel and a busybox initramfs built here
// (make_initramfs.sh). QEMU connects the guest's virtio-serial port to a
// posted socket; the guest mounts it with trans=fd on that port and runs an
// ordinary workload (guest_init.sh), reporting one line per step on its
// serial console, which this test reads from QEMU's standard output and
// checks step by step. Every wait is bounded: QEMU is killed when the guest
// has not finished in time.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "host.h"
#include "tempdir.h"

namespace {

using Clock = std::chrono::steady_clock;
using tolvane_test::TempDir;

constexpr int GUEST_TIMEOUT_S = 150;  // a whole guest run under TCG takes about 20 s

// A program of that name on the PATH, or "".
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string p = dir + "/" + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// What the guest needs from the host: QEMU, a kernel image with its 9P and
// virtio modules, a static busybox and cpio.
struct GuestKit {
    std::string qemu;
    std::string kernel;   // /boot/vmlinuz-VERSION
    std::string version;  // its module directory's name
    std::string accel;    // kvm or tcg
    std::string missing;  // why the guest cannot run here ("" when it can)
};

GuestKit find_guest_kit() {
    GuestKit kit;
    kit.qemu = on_path("qemu-system-x86_64");
    if (kit.qemu.empty()) {
        kit.missing = "qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)";
        return kit;
    }
    if (on_path("busybox").empty() || on_path("cpio").empty()) {
        kit.missing = "busybox or cpio is missing (apt-get install busybox-static cpio)";
        return kit;
    }
    // The newest kernel image that can be read and has the 9P file system
    // among its modules.
    glob_t g{};
    if (::glob("/boot/vmlinuz-*", 0, nullptr, &g) == 0) {
        std::vector<std::string> images(g.gl_pathv, g.gl_pathv + g.gl_pathc);
        std::sort(images.rbegin(), images.rend());
        for (const std::string& img : images) {
            std::string ver = img.substr(std::strlen("/boot/vmlinuz-"));
            std::string dep = "/lib/modules/" + ver + "/modules.dep";
            if (::access(img.c_str(), R_OK) != 0 || ::access(dep.c_str(), R_OK) != 0) continue;
            std::string deps = tolvane_test::read_file(dep);
            if (deps.find("/9p.ko") == std::string::npos) continue;
            kit.kernel = img;
            kit.version = ver;
            break;
        }
    }
    ::globfree(&g);
    if (kit.kernel.empty()) {
        kit.missing =
            "no readable /boot/vmlinuz-* with 9P modules under /lib/modules "
            "(apt-get install linux-image-amd64)";
        return kit;
    }
    // Software emulation unless asked for KVM: a /dev/kvm that opens is no
    // promise that a guest boots (nested KVM on the build machines opens,
    // then hangs the guest with no output at all).
    const char* accel = std::getenv("TOLVANE_GUEST_ACCEL");
    kit.accel = accel != nullptr && std::string(accel) == "kvm" ? "kvm" : "tcg";
    return kit;
}

// What the guest reported.
struct GuestRun {
    std::map<std::string, std::string> steps;  // name -> "ok" or "fail TEXT"
    std::map<std::string, std::string> times;  // name -> seconds
    bool held = false;                         // the guest reached HOLD
    bool done = false;                         // the guest reached DONE
    std::string console;                       // everything it printed
};

// Builds the initramfs in DIR, boots the guest with its port connected to
// SOCKET and collects its report. At HOLD, ON_HOLD runs while the guest's
// mount is in use; then the guest is told to go on. SHORT stops the workload
// after its first copy.
GuestRun run_guest(const GuestKit& kit, const std::string& dir, const std::string& socket,
                   bool short_run, const std::function<void()>& on_hold) {
    GuestRun run;
    std::string build = "sh '" GUEST_DIR "/make_initramfs.sh' '" + dir + "' '" + kit.version +
                        "' '" GUEST_DIR "/guest_init.sh' 2>&1";
    FILE* mk = ::popen(build.c_str(), "r");
    if (mk == nullptr) {
        ADD_FAILURE() << "cannot run make_initramfs.sh";
        return run;
    }
    std::string mk_out;
    char buf[4096];
    for (size_t k; (k = std::fread(buf, 1, sizeof buf, mk)) > 0;) mk_out.append(buf, k);
    if (::pclose(mk) != 0) {
        ADD_FAILURE() << "make_initramfs.sh failed:\n" << mk_out;
        return run;
    }

    std::vector<std::string> argv = {
        kit.qemu,
        "-accel",
        kit.accel,
        "-m",
        "256",
        "-smp",
        "1",
        "-nodefaults",
        "-no-reboot",
        "-display",
        "none",
        "-monitor",
        "none",
        "-serial",
        "stdio",
        "-net",
        "none",
        "-kernel",
        kit.kernel,
        "-initrd",
        dir + "/initramfs.cpio",
        "-append",
        std::string("console=ttyS0 quiet panic=-1") + (short_run ? " tlnwork=short" : ""),
        "-device",
        "virtio-serial-pci,id=vs",
        "-chardev",
        "socket,id=p9,path=" + socket,
        "-device",
        "virtserialport,bus=vs.0,chardev=p9,name=tolvane"};
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    pid_t pid = tolvane_test::spawn(kit.qemu, argv, {}, {in[0], out[1], out[1]}, true);
    ::close(in[0]);
    ::close(out[1]);

    auto deadline = Clock::now() + std::chrono::seconds(GUEST_TIMEOUT_S);
    std::string pending;
    bool eof = false;
    while (!eof) {
        int left = tolvane_test::ms_left(deadline);
        if (left == 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) continue;
        ssize_t k = ::read(out[0], buf, sizeof buf);
        if (k <= 0) {
            eof = true;
            k = 0;
        }
        run.console.append(buf, static_cast<size_t>(k));
        pending.append(buf, static_cast<size_t>(k));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            std::istringstream ls(line);
            std::string word, name, rest;
            ls >> word >> name;
            std::getline(ls, rest);
            if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
            if (word == "STEP") {
                run.steps[name] = rest;
            } else if (word == "TIME") {
                run.times[name] = rest;
            } else if (word == "HOLD") {
                run.held = true;
                on_hold();
                tolvane_test::write_fully(in[1], reinterpret_cast<const uint8_t*>("go\n"), 3);
            } else if (word == "DONE") {
                run.done = true;
            }
        }
    }
    if (!eof) {
        ::kill(-pid, SIGKILL);
        ADD_FAILURE() << "the guest did not finish in " << GUEST_TIMEOUT_S << " s; killed QEMU";
    }
    if (tolvane_test::wait_pid(pid, 10000) < 0) ADD_FAILURE() << "QEMU did not exit";
    ::close(in[1]);
    ::close(out[0]);
    return run;
}

class KernelClient : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // a QEMU that died must not take the test with it
        kit_ = find_guest_kit();
        if (!kit_.missing.empty()) GTEST_SKIP() << "no guest to boot: " << kit_.missing;
        std::cout << "guest: " << kit_.kernel << " under QEMU with " << kit_.accel << "\n";
    }

    std::string registry() const { return dir_ / "srv"; }

    GuestKit kit_;
    TempDir dir_;
};

// A step's expected outcome: "" when it must succeed, else a text its error
// line must contain.
struct Expect {
    const char* step;
    const char* error;
};

void check_steps(const GuestRun& run, const std::vector<Expect>& expected) {
    for (const Expect& e : expected) {
        auto it = run.steps.find(e.step);
        if (it == run.steps.end()) {
            ADD_FAILURE() << "the guest did not report step " << e.step;
            continue;
        }
        if (e.error[0] == '\0') {
            EXPECT_EQ(it->second, "ok") << "step " << e.step;
        } else {
            EXPECT_TRUE(it->second.starts_with("fail ") &&
                        it->second.find(e.error) != std::string::npos)
                << "step " << e.step << ": wanted a failure with '" << e.error << "', got '"
                << it->second << "'";
        }
    }
}

// Through NAME.linux the kernel's client works as on any file server: every
// step passes (emptying, growing and touching a file included), except the
// refusals (a rename, a mode, a file cut short), which carry the right
// errno; and a tlnc session on NAME works on the same tree while the guest's
// mount is in use.
TEST_F(KernelClient, WorkloadThroughTheLinuxDialect) {
    e2e::PostedServer server("kc", registry(), dir_ / "store");
    ASSERT_TRUE(server.ready());
    std::map<std::string, std::string> env = {{"VELMOR_SRV", registry()}};
    std::string listed;
    e2e::Outcome wrote;
    GuestRun run = run_guest(kit_, dir_.path(), registry() + "/kc.linux", false, [&] {
        listed = e2e::tlnc({"-t", "10", "-s", "kc", "ls", "/w/many"}, "", env).out;
        wrote = e2e::tlnc({"-t", "10", "-s", "kc", "write", "/w/from-host"}, "written by the host",
                          env);
    });
    for (const char* name : {"cp_3m_in", "cp_3m_out", "ls_l_300"}) {
        std::cout << "guest (" << kit_.accel << "): " << name << " " << run.times[name] << " s\n";
    }
    EXPECT_TRUE(run.done) << "console:\n" << run.console;
    ASSERT_TRUE(run.held) << "console:\n" << run.console;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 300) << listed;
    EXPECT_EQ(wrote.status, 0) << wrote.err;
    check_steps(run, {
                         {"mount", ""},
                         {"ls", ""},
                         {"mkdir_p", ""},
                         {"echo_new", ""},
                         {"cat", ""},
                         {"append", ""},
                         {"cp_1m", ""},
                         {"read_bs4096", ""},
                         {"read_bs65536", ""},
                         {"read_bs_odd", ""},
                         {"rm_1m", ""},
                         {"cp_3m_in", ""},
                         {"cp_3m_out", ""},
                         {"cp_small", ""},
                         {"read_bs1", ""},
                         {"rm", ""},
                         {"rmdir_empty", ""},
                         {"rmdir_nonempty", "Directory not empty"},
                         {"many_files", ""},
                         {"ls_l_300", ""},
                         {"sparse_dd", ""},
                         {"overwrite", ""},
                         {"emptied", ""},
                         {"cp_over", ""},
                         {"truncate_0", ""},
                         {"truncate_grow", ""},
                         {"ten_bytes", ""},
                         {"truncate_shrink", "Operation not supported"},
                         {"kept_ten", ""},
                         {"mv", "Operation not supported"},
                         {"chmod", "Operation not supported"},
                         {"truncate", "Operation not supported"},
                         {"touch", ""},
                         {"from_host", ""},
                         {"umount", ""},
                         {"mount_again", ""},
                         {"still_there", ""},
                     });
    if (HasFailure()) std::cout << "console:\n" << run.console;
}

// NAME itself is unchanged: the server's own texts reach the kernel's client,
// which knows none of them, so a lookup of a missing name (and with it every
// create) fails with error 526.
TEST_F(KernelClient, NativeSocketStaysUnchanged) {
    e2e::PostedServer server("kc", registry(), dir_ / "store");
    ASSERT_TRUE(server.ready());
    GuestRun run = run_guest(kit_, dir_.path(), registry() + "/kc", true, [] {});
    EXPECT_TRUE(run.done) << "console:\n" << run.console;
    check_steps(run, {
                         {"mount", ""},
                         {"ls", ""},
                         {"mkdir_p", "Unknown error 526"},
                         {"echo_new", "Unknown error 526"},
                         {"cp_1m", "Unknown error 526"},
                     });
    if (HasFailure()) std::cout << "console:\n" << run.console;
}

}  // namespace
