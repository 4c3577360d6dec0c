// The trace of the 9P2000 traffic (VELMOR_TRACE), on the real server binary:
// the lines of a session on standard input and output, the clients and fids
// of a posted name, the capture as tshark decodes it, and a file that cannot
// be opened.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "9p/9p.h"
#include "host.h"
#include "kernel_test_util.h"
#include "support.h"

namespace {

using namespace ktest;
using tolvane_test::Proc;
using tolvane_test::proc_call;
using tolvane_test::rerror_text;
using tolvane_test::type_of;

// The lines of the trace at path after the header: each must begin with the
// time of day (HH:MM:SS.uuuuuu), which is taken off.
std::vector<std::string> trace_lines(const std::string& path) {
    static const std::regex TIME("^\\d\\d:\\d\\d:\\d\\d\\.\\d{6} ");
    std::istringstream in(tolvane_test::read_file(path));
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# velmor trace of pid ", 0) == 0 && out.empty()) continue;
        std::smatch m;
        EXPECT_TRUE(std::regex_search(line, m, TIME)) << "no time of day: " << line;
        out.push_back(m.empty() ? line : m.suffix().str());
    }
    return out;
}

// Waits (up to 5 s) until the trace at path has a line containing text.
bool wait_for_line(const std::string& path, const std::string& text) {
    for (int waited = 0; waited < 5000; waited += 10) {
        if (tolvane_test::read_file(path).find(text + "\n") != std::string::npos) return true;
        tolvane_test::pause_ms(10);
    }
    return false;
}

// The qid of an Rattach, Rwalk (its last) or Rcreate, as the trace shows one.
std::string qid_text(const Bytes& reply) {
    uint16_t tag, nwqid = 0;
    uint8_t type[P9_MAX_WELEM] = {};
    uint32_t vers[P9_MAX_WELEM] = {}, iounit;
    uint64_t path[P9_MAX_WELEM] = {};
    if (type_of(reply) == P9_RWALK) {
        EXPECT_GE(p9_decode_rwalk(reply.data(), reply.size(), &tag, &nwqid, type, vers, path), 0);
        nwqid = nwqid > 0 ? nwqid - 1 : 0;
    } else if (type_of(reply) == P9_RCREATE) {
        EXPECT_GE(p9_decode_rcreate(reply.data(), reply.size(), &tag, type, vers, path, &iounit),
                  0);
    } else {
        EXPECT_GE(p9_decode_rattach(reply.data(), reply.size(), &tag, type, vers, path), 0);
    }
    char b[64];
    std::snprintf(b, sizeof b, "(%016llx %u %02x)", static_cast<unsigned long long>(path[nwqid]),
                  vers[nwqid], type[nwqid]);
    return b;
}

Bytes call(int fd, const Bytes& request) {
    write_all(fd, request);
    return read_message(fd).value_or(Bytes{});
}

// Stops a posted server as a service manager does; its exit status.
int terminate(Proc& p) {
    kill(p.pid, SIGTERM);
    return tolvane_test::proc_wait(p);
}

TEST(Trace, StdioSessionHasALinePerMessage) {
    TempDir dir;
    const std::string trace = dir / "trace.txt";
    Proc p = tolvane_test::spawn_server({}, {{"VELMOR_STORE", ""}, {"VELMOR_TRACE", trace}});
    const Bytes hello = {'h', 'e', 'l', 'l', 'o', '\n'};
    ASSERT_EQ(type_of(proc_call(p, tolvane_test::tversion(P9_NOTAG, 8192))), P9_RVERSION);
    Bytes attach = proc_call(p, tolvane_test::tattach(1, 0));
    Bytes walk = proc_call(p, tolvane_test::twalk(2, 0, 1, {"etc"}));
    Bytes create = proc_call(p, tolvane_test::tcreate(3, 1, "motd", 0644, P9_ORDWR));
    ASSERT_EQ(type_of(proc_call(p, tolvane_test::twrite(4, 1, 0, hello))), P9_RWRITE);
    ASSERT_EQ(tolvane_test::rread_data(proc_call(p, tolvane_test::tread(5, 1, 0, 100))), hello);
    Bytes error = proc_call(p, tolvane_test::twalk(6, 0, 2, {"nosuch"}));
    EXPECT_EQ(tolvane_test::proc_finish(p), 0);

    const std::vector<std::string> expected = {
        "client>server Tversion tag 65535 msize 8192 version 9P2000",
        "server>client Rversion tag 65535 msize 8192 version 9P2000",
        "client>server Tattach tag 1 fid 0 afid -1 uname test aname ''",
        "server>client Rattach tag 1 qid " + qid_text(attach),
        "client>server Twalk tag 2 fid 0 newfid 1 nwname 1 0:etc",
        "server>client Rwalk tag 2 nwqid 1 0:" + qid_text(walk),
        "client>server Tcreate tag 3 fid 1 name motd perm 0644 mode 2",
        "server>client Rcreate tag 3 qid " + qid_text(create) + " iounit 0",
        "client>server Twrite tag 4 fid 1 offset 0 count 6 'hello\\n'",
        "server>client Rwrite tag 4 count 6",
        "client>server Tread tag 5 fid 1 offset 0 count 100",
        "server>client Rread tag 5 count 6 'hello\\n'",
        "client>server Twalk tag 6 fid 0 newfid 2 nwname 1 0:nosuch",
        "server>client Rerror tag 6 ename " + rerror_text(error),
        "client>server end of stream",
        "velmor exit 0",
    };
    EXPECT_EQ(trace_lines(trace), expected);
}

// Two clients with the same fid numbers, one on each socket of the name: each
// line names its client, and the client's fids with the server's.
TEST(Trace, PostedNameTellsClientsApartAndMapsTheirFids) {
    TempDir dir;
    const std::string trace = dir / "trace.txt";
    Proc p = tolvane_test::spawn_server(
        {"post", "tln"},
        {{"VELMOR_STORE", ""}, {"VELMOR_SRV", dir / "srv"}, {"VELMOR_TRACE", trace}});
    int a = connect_unix(dir / "srv/tln", 5000);
    ASSERT_GE(a, 0);
    ASSERT_EQ(type_of(call(a, tolvane_test::tversion(1, 8192))), P9_RVERSION);
    ASSERT_EQ(type_of(call(a, tolvane_test::tattach(2, 7))), P9_RATTACH);
    ASSERT_EQ(type_of(call(a, tolvane_test::twalk(3, 7, 8, {"etc"}))), P9_RWALK);
    const std::string native = rerror_text(call(a, tolvane_test::twalk(4, 7, 9, {"nosuch"})));
    int b = connect_unix(dir / "srv/tln.linux");
    ASSERT_GE(b, 0);
    ASSERT_EQ(type_of(call(b, tolvane_test::tversion(1, 8192))), P9_RVERSION);
    ASSERT_EQ(type_of(call(b, tolvane_test::tattach(2, 7))), P9_RATTACH);
    const std::string linux_text = rerror_text(call(b, tolvane_test::twalk(3, 7, 8, {"nosuch"})));
    close(a);
    ASSERT_TRUE(wait_for_line(trace, "tln#1 closed"));
    // The next event lets the stand-in clunk the departed client's fids.
    ASSERT_EQ(type_of(call(b, tolvane_test::tclunk(4, 7))), P9_RCLUNK);
    close(b);
    EXPECT_EQ(terminate(p), 0);

    std::string all;
    for (const std::string& l : trace_lines(trace)) all += l + "\n";
    auto server_fid = [&](const std::string& pattern) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(all, m, std::regex(pattern, std::regex::multiline)))
            << pattern << " in\n"
            << all;
        return m.size() > 1 ? m[1].str() : "";
    };
    // The stand-in's own requests and answers are marked as its own.
    server_fid("^velmor>server Tversion tag 65535 msize \\d+ version 9P2000$");
    server_fid("^tln#1>velmor Tversion tag 1 msize 8192 version 9P2000$");
    server_fid("^velmor>tln#1 Rversion tag 1 msize 8192 version 9P2000$");
    std::string a7 = server_fid("^tln#1>server Tattach tag 2 fid 7/s(\\d+) afid -1 ");
    std::string b7 = server_fid("^tln\\.linux#2>server Tattach tag 2 fid 7/s(\\d+) afid -1 ");
    EXPECT_NE(a7, b7) << "one server fid per client fid";
    std::string a8 =
        server_fid("^tln#1>server Twalk tag 3 fid 7/s" + a7 + " newfid 8/s(\\d+) nwname 1 0:etc$");
    server_fid("^tln\\.linux#2>server Twalk tag 3 fid 7/s" + b7 + " newfid 8/s\\d+ ");
    EXPECT_NE(all.find("\nserver>tln.linux#2 Rerror tag 3 ename " + native +
                       "; sent as: " + linux_text + "\n"),
              std::string::npos)
        << all;
    // The departed client's fids, clunked by the stand-in.
    server_fid("^velmor>server Tclunk tag \\d+ fid " + a7 + " \\(tln#1's fid 7\\)$");
    server_fid("^velmor>server Tclunk tag \\d+ fid " + a8 + " \\(tln#1's fid 8\\)$");
    server_fid("^tln\\.linux#2>server Tclunk tag 4 fid 7/s" + b7 + "$");
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        if (!d.empty() && access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
    }
    return "";
}

// Each client is a TCP connection of its own, and the stream the server
// reads one more; tshark reassembles and decodes every message, a Twrite
// larger than one captured segment included.
TEST(Trace, CaptureDecodesWithTshark) {
    const std::string tshark = find_program("tshark");
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    TempDir dir;
    const std::string capture = dir / "trace.pcap";
    Proc p = tolvane_test::spawn_server(
        {"post", "tln"},
        {{"VELMOR_STORE", ""}, {"VELMOR_SRV", dir / "srv"}, {"VELMOR_TRACE", capture}});
    const Bytes data(100000, 'x');
    std::map<uint16_t, std::string> enames;  // by the Twrite's tag
    // Each client has tags of its own, to tell the connections apart.
    for (auto [socket, tag] : {std::pair{"srv/tln", 1}, std::pair{"srv/tln.linux", 11}}) {
        int c = connect_unix(dir / socket, 5000);
        ASSERT_GE(c, 0);
        auto t = static_cast<uint16_t>(tag);
        ASSERT_EQ(type_of(call(c, tolvane_test::tversion(t, 131072))), P9_RVERSION);
        ASSERT_EQ(type_of(call(c, tolvane_test::tattach(t + 1, 5))), P9_RATTACH);
        // Through a fid it never made: the server refuses it.
        enames[t + 2] = rerror_text(call(c, tolvane_test::twrite(t + 2, 6, 0, data)));
        close(c);
    }
    EXPECT_EQ(terminate(p), 0);

    tolvane_test::Ran bad = tolvane_test::run_program(
        tshark, {"-r", capture, "-Y", "_ws.malformed || _ws.expert.severity >= warning"});
    EXPECT_EQ(bad.status, 0) << bad.err;
    EXPECT_EQ(bad.out, "") << "malformed or not reassembled";

    tolvane_test::Ran ran = tolvane_test::run_program(
        tshark, {"-r", capture, "-Y", "9p", "-T", "fields", "-E", "separator=|", "-e", "tcp.stream",
                 "-e", "9p.msgtype", "-e", "9p.tag", "-e", "9p.count", "-e", "9p.ename"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    std::map<std::string, std::string> streams;  // "type:tag" of each message, by connection
    std::map<std::string, std::string> decoded;  // Rerror texts, by "connection:tag"
    std::istringstream in(ran.out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string v; std::getline(fields, v, '|');) f.push_back(v);
        f.resize(5);
        streams[f[0]] += f[1] + ":" + f[2] + " ";
        if (f[1] == std::to_string(P9_TWRITE)) {
            EXPECT_EQ(f[3], std::to_string(data.size()));
        }
        if (f[1] == std::to_string(P9_RERROR)) decoded[f[0] + ":" + f[2]] = f[4];
    }
    ASSERT_EQ(streams.size(), 3u) << ran.out;
    // The server's stream, then the two clients as they connected.
    EXPECT_EQ(streams["0"].rfind("100:65535 101:65535 104:2 105:2 118:3 107:3 ", 0), 0u)
        << streams["0"];
    EXPECT_NE(streams["0"].find(" 104:12 105:12 118:13 107:13 "), std::string::npos)
        << streams["0"];
    EXPECT_EQ(streams["1"], "100:1 101:1 104:2 105:2 118:3 107:3 ");
    EXPECT_EQ(streams["2"], "100:11 101:11 104:12 105:12 118:13 107:13 ");
    // Each client's connection has the text it got; the server's stream has
    // the server's, for the client of NAME.linux too.
    EXPECT_EQ(decoded["1:3"], enames[3]);
    EXPECT_EQ(decoded["2:13"], enames[13]);
    EXPECT_EQ(decoded["0:3"], enames[3]);
    EXPECT_EQ(decoded["0:13"], enames[3]);
}

// A trace that cannot be opened is one line at start; the server serves.
TEST(Trace, FileThatCannotBeOpenedIsOneLineAndTheServerServes) {
    TempDir dir;
    const std::string trace = dir / "missing/trace.txt";
    Proc p = tolvane_test::spawn_server({}, {{"VELMOR_STORE", ""}, {"VELMOR_TRACE", trace}});
    EXPECT_EQ(type_of(proc_call(p, tolvane_test::tversion(P9_NOTAG, 8192))), P9_RVERSION);
    std::string err;
    EXPECT_EQ(tolvane_test::proc_finish(p, &err), 0);
    const std::string line =
        "[velmor] trace: cannot open " + trace + " (No such file or directory)\n";
    EXPECT_EQ(err.rfind(line, 0), 0u) << err;
    EXPECT_EQ(err.find("[velmor]", line.size()), std::string::npos) << err;
}

}  // namespace
