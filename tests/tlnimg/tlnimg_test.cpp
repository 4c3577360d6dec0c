// tlnimg end to end: images it packs are served by the real server and read
// back through tlnc; images the real server saved are extracted and packed
// again; its verdict on every refused image is the server's; hostile images
// extract inside DIR only; pack refuses what does not fit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "bad_images.h"
#include "host.h"
#include "image.h"
#include "persist_util.h"
#include "support.h"

namespace fs = std::filesystem;
using persist_test::ImageDesc;
using tolvane_test::Ran;
using tolvane_test::read_file;
using tolvane_test::TempDir;
using tolvane_test::write_file;

namespace {

Ran tlnimg(const std::vector<std::string>& args) {
    return tolvane_test::run_program(TLNIMG_BINARY, args);
}

// tlnc on a server started on its standard streams with the backing store
// STORE; the server restores tln-0.img from there and saves at the end.
Ran tlnc_served(const std::string& store, const std::vector<std::string>& args) {
    std::vector<std::string> a{"-c", tolvane_test::server_binary() + " 2>/dev/null"};
    a.insert(a.end(), args.begin(), args.end());
    return tolvane_test::run_program(TLNC_BINARY, a, {{"VELMOR_STORE", store}});
}

void put_bytes(const std::string& path, const persist_test::Bytes& b) {
    write_file(path, std::string(b.begin(), b.end()));
}

// Every path below TOP (links not followed), relative, directories ending in '/'.
std::set<std::string> listing(const std::string& top) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(top)) {
        std::string rel = fs::relative(e.path(), top).string();
        out.insert(rel + (e.is_directory() && !e.is_symlink() ? "/" : ""));
    }
    return out;
}

// The directories of a fresh start, as extract writes them.
const std::set<std::string> SKELETON = {"etc/",       "usr/",           "var/",
                                        "var/cache/", "var/cache/apt/", "var/cache/apt/archives/",
                                        "var/lib/",   "var/lib/dpkg/",  "var/lib/dpkg/info/",
                                        "var/www/"};

std::set<std::string> without_skeleton(std::set<std::string> s) {
    for (const auto& k : SKELETON) s.erase(k);
    return s;
}

// Member names of a tar archive (ustar headers, no long names).
std::set<std::string> tar_names(const std::string& tar) {
    std::set<std::string> out;
    for (size_t at = 0; at + 512 <= tar.size();) {
        const char* h = tar.data() + at;
        if (h[0] == 0) break;
        out.insert(std::string(h, strnlen(h, 100)));
        uint64_t size = std::stoull(std::string(h + 124, 11), nullptr, 8);
        at += 512 + (size + 511) / 512 * 512;
    }
    return out;
}

// A host tree under ROOT: directories, and files (path -> contents) with
// their parent directories.
void make_tree(const std::string& root, const std::vector<std::string>& dirs,
               const std::map<std::string, std::string>& files) {
    for (const auto& d : dirs) fs::create_directories(root + "/" + d);
    for (const auto& [p, data] : files) {
        fs::create_directories(fs::path(root + "/" + p).parent_path());
        write_file(root + "/" + p, data);
    }
}

TEST(Tlnimg, PackedImageServesTheHostFilesAndSavesTheSameBytes) {
    TempDir t;
    const std::map<std::string, std::string> files = {
        {"etc/motd", "hello\n"},
        {"etc/app/conf", tolvane_test::pattern(1000, 1)},
        {"var/www/index.html", tolvane_test::pattern(150000, 2)},
        {"opt/empty", ""},
        {"opt/deep/a/b/c", tolvane_test::pattern(70000, 3)},
        {"opt/zeros", std::string(70000, '\0')},
    };
    make_tree(t / "src", {"opt/deep/a/b", "etc/app", "var/www"}, files);
    Ran p = tlnimg({"pack", t / "src", t / "a.img"});
    ASSERT_EQ(p.status, 0) << p.err;
    std::string img = read_file(t / "a.img");

    fs::create_directory(t / "store");
    write_file(t / "store/tln-0.img", img);
    for (const auto& [path, data] : files) {
        Ran g = tlnc_served(t / "store", {"get", "/" + path, t / "got"});
        ASSERT_EQ(g.status, 0) << path << ": " << g.err;
        EXPECT_EQ(read_file(t / "got"), data) << path;
    }
    // Each run ended with a save of the tree it restored.
    EXPECT_TRUE(read_file(t / "store/tln-0.img") == img) << "the server's save differs";
}

TEST(Tlnimg, ServerBuiltTreeExtractsAndPacksToTheSameBytes) {
    TempDir t;
    const std::map<std::string, std::string> files = {
        {"etc/app/conf", tolvane_test::pattern(200000, 4)},
        {"etc/motd", "welcome\n"},
        {"opt/x", tolvane_test::pattern(65536, 5)},
        {"var/www/index.html", "<p>hi</p>\n"},
    };
    make_tree(t / "src", {"etc/app", "opt", "var/www"}, files);
    fs::create_directory(t / "store");
    // Built in the order pack uses: depth first, names in byte order.
    const std::vector<std::vector<std::string>> steps = {
        {"mkdir", "/etc/app"},
        {"put", t / "src/etc/app/conf", "/etc/app/conf"},
        {"put", t / "src/etc/motd", "/etc/motd"},
        {"mkdir", "/opt"},
        {"put", t / "src/opt/x", "/opt/x"},
        {"put", t / "src/var/www/index.html", "/var/www/index.html"},
    };
    for (const auto& s : steps) {
        Ran r = tlnc_served(t / "store", s);
        ASSERT_EQ(r.status, 0) << s[0] << " " << s.back() << ": " << r.err;
    }
    std::string saved = read_file(t / "store/tln-0.img");
    write_file(t / "saved.img", saved);

    Ran x = tlnimg({"extract", t / "saved.img", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    std::set<std::string> want = {"etc/app/", "opt/"};
    for (const auto& [path, data] : files) {
        want.insert(path);
        EXPECT_EQ(read_file(t / "out/" + path), data) << path;
    }
    EXPECT_EQ(without_skeleton(listing(t / "out")), want);

    Ran p = tlnimg({"pack", t / "out", t / "again.img"});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_TRUE(read_file(t / "again.img") == saved) << "pack of the extracted tree differs";
}

TEST(Tlnimg, CheckAndInfoGiveTheServersVerdictOnEveryRefusedImage) {
    TempDir t;
    put_bytes(t / "good.img", persist_test::good_image());
    Ran ok = tlnimg({"check", t / "good.img"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, t / "good.img" + ": accepted\n");

    int i = 0;
    for (const auto& bad : persist_test::bad_images()) {
        SCOPED_TRACE(bad.name);
        persist_test::Bytes b = persist_test::good_image();
        bad.spoil(b);
        std::string img = t / ("bad" + std::to_string(i++) + ".img");
        put_bytes(img, b);

        // The server's reader, in this process: the rule and row the
        // persistence suite pins down for this image.
        tlnimg::Image in;
        std::string err;
        ASSERT_TRUE(tlnimg::load_image(img, &in, &err)) << err;
        EXPECT_FALSE(in.accepted);
        EXPECT_EQ(tolvane::snap_reason, bad.reason);
        EXPECT_EQ(tolvane::snap_reason_row, bad.row);
        std::string verdict = "refused: " + tlnimg::refusal_text();
        if (bad.row >= 0) {
            EXPECT_NE(verdict.find("row " + std::to_string(bad.row) + ": "), std::string::npos);
        }

        Ran c = tlnimg({"check", img});
        EXPECT_EQ(c.status, 1);
        EXPECT_EQ(c.err, "tlnimg: check " + img + ": " + verdict + "\n");
        Ran info = tlnimg({"info", img});
        EXPECT_EQ(info.status, 1);
        EXPECT_NE(info.out.find("\nverdict    " + verdict + "\n"), std::string::npos) << info.out;

        // The real server refuses it too (an empty image is no image to it).
        TempDir store;
        put_bytes(store / "tln-0.img", b);
        tolvane_test::Proc s = tolvane_test::spawn_server({}, {{"VELMOR_STORE", store.path()}});
        std::string log;
        EXPECT_EQ(tolvane_test::proc_finish(s, &log), 0);
        EXPECT_NE(log.find(b.empty() ? "no snapshot" : "snapshot rejected"), std::string::npos)
            << log;
    }
}

// A hostile image: rows set up by FILL on the skeleton, with the paths
// extract must place (besides the skeleton) and the rows it must skip.
struct Hostile {
    const char* name;
    std::function<void(ImageDesc&)> fill;
    std::set<std::string> placed;
    std::vector<int> skipped;
};

void file(ImageDesc& d, uint64_t row, int64_t parent, std::string_view name,
          const std::string& data) {
    d.rows[row] = persist_test::file_row(parent, name, data.size(), data.empty() ? 0 : 1);
    d.data[row] = persist_test::Bytes(data.begin(), data.end());
}

void dir(ImageDesc& d, uint64_t row, int64_t parent, std::string_view name) {
    d.rows[row] = persist_test::dir_row(parent, name);
}

TEST(Tlnimg, ExtractOfHostileImagesStaysInsideDir) {
    const std::vector<Hostile> cases = {
        {"names the server's reader takes",
         [](ImageDesc& d) {
             file(d, 11, 0, "..", "up");
             file(d, 12, 0, "a/b", "slash");
             file(d, 13, 0, std::string_view("x\0y", 3), "nul");
             dir(d, 14, 0, ".");
             file(d, 15, 14, "f", "in dot");
             file(d, 16, 0, "ok", "fine");
             dir(d, 17, 0, "sub");
             file(d, 18, 17, "..", "up from sub");
         },
         {"ok", "sub/"},
         {11, 12, 13, 14, 15, 18}},
        {"a name of 65 bytes",
         [](ImageDesc& d) {
             file(d, 11, 0, std::string(64, 'n'), "long");
             d.rows[11].namelen = 65;
             file(d, 12, 0, "ok", "fine");
         },
         {"ok"},
         {11}},
        {"a cycle of directories",
         [](ImageDesc& d) {
             dir(d, 20, 21, "c1");
             dir(d, 21, 20, "c2");
             file(d, 22, 20, "in-cycle", "lost");
             file(d, 23, 3, "ok", "fine");
         },
         {"etc/ok"},
         {20, 21, 22}},
        {"duplicate names",
         [](ImageDesc& d) {
             file(d, 11, 0, "dup", "first");
             file(d, 12, 0, "dup", "second");
         },
         {"dup"},
         {12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        ImageDesc d = persist_test::skeleton_desc();
        c.fill(d);
        put_bytes(t / "h.img", d.encode());
        fs::create_directory(t / "outside");

        Ran x = tlnimg({"extract", t / "h.img", t / "dir"});
        EXPECT_EQ(x.status, 1);
        for (int row : c.skipped) {
            EXPECT_NE(x.err.find("skipped row " + std::to_string(row) + " "), std::string::npos)
                << x.err;
        }
        EXPECT_EQ(without_skeleton(listing(t / "dir")), c.placed);
        EXPECT_EQ(listing(t.path()).size(), listing(t / "dir").size() + 3)
            << "only dir/, h.img and outside/ at the top";
        EXPECT_TRUE(listing(t / "outside").empty());
        if (c.placed.count("dup")) {
            EXPECT_EQ(read_file(t / "dir/dup"), "first");
        }

        Ran tar = tlnimg({"extract", "--tar", t / "h.img"});
        EXPECT_EQ(tar.status, 1);
        std::set<std::string> want = c.placed;
        want.insert(SKELETON.begin(), SKELETON.end());
        EXPECT_EQ(tar_names(tar.out), want);
    }

    // Links already in DIR are not followed, whether a directory of the
    // image or a file of it lands on them, with -f or without.
    TempDir t;
    ImageDesc d = persist_test::skeleton_desc();
    file(d, 11, 3, "passwd", "root");
    put_bytes(t / "l.img", d.encode());
    fs::create_directories(t / "outside/etc");
    fs::create_directories(t / "dir1");
    fs::create_symlink(t / "outside/etc", t / "dir1/etc");
    fs::create_directories(t / "dir2/etc");
    fs::create_symlink(t / "outside/etc/passwd", t / "dir2/etc/passwd");
    EXPECT_NE(tlnimg({"extract", t / "l.img", t / "dir1"}).status, 0);
    EXPECT_NE(tlnimg({"extract", "-f", t / "l.img", t / "dir1"}).status, 0);
    EXPECT_NE(tlnimg({"extract", "-f", t / "l.img", t / "dir2"}).status, 0);
    EXPECT_TRUE(listing(t / "outside").size() == 1) << "only outside/etc/";
}

TEST(Tlnimg, PackRefusesWhatDoesNotFitAndWritesNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string host;  // the path the error names, relative to the tree
        std::string why;
    };
    const std::vector<Case> cases = {
        {"symbolic link", [](const std::string& s) { fs::create_symlink("motd", s + "/link"); },
         "link", "a symbolic link (links are not followed)"},
        {"named pipe",
         [](const std::string& s) { ASSERT_EQ(::mkfifo((s + "/p").c_str(), 0600), 0); }, "p",
         "a named pipe"},
        {"name over 64 bytes",
         [](const std::string& s) { write_file(s + "/" + std::string(65, 'n'), ""); },
         std::string(65, 'n'), "a name of 65 bytes, over 64"},
        {"file over 4 MiB",
         [](const std::string& s) {
             write_file(s + "/big", "");
             fs::resize_file(s + "/big", 4194305);
         },
         "big", "4194305 bytes, over the largest file of 4194304 bytes"},
        {"more entries than free rows",
         [](const std::string& s) {
             for (int i = 0; i < 374; i++) write_file(s + "/e" + std::to_string(1000 + i), "");
         },
         "e1373", "entry 374 of the tree, over the 373 node rows that are free"},
        {"more than 63 slots",
         [](const std::string& s) {
             for (int i = 0; i < 64; i++) write_file(s + "/f" + std::to_string(10 + i), "x");
         },
         "f73", "need 64 data slots of 64 KiB, over 63"},
        {"a file where the skeleton has a directory",
         [](const std::string& s) { write_file(s + "/usr", "not a directory"); }, "usr",
         "a file, where the image has the directory /usr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        fs::create_directories(t / "src");
        write_file(t / "src/motd", "hi");
        c.make(t / "src");
        Ran p = tlnimg({"pack", t / "src", t / "x.img"});
        EXPECT_EQ(p.status, 1);
        EXPECT_EQ(p.err.rfind("tlnimg: pack " + t / "src/" + c.host + ": ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find(c.why), std::string::npos) << p.err;
        EXPECT_EQ(listing(t.path()).count("x.img"), 0u);
        EXPECT_EQ(listing(t.path()).size(), listing(t / "src").size() + 1) << "only src/";
    }
}

TEST(Tlnimg, DiffListsAddedRemovedAndChangedPaths) {
    TempDir t;
    make_tree(t / "a", {"opt/d"},
              {{"etc/a", "1"}, {"etc/b", "22"}, {"etc/c", "x"}, {"etc/gone", "g"}});
    make_tree(t / "b", {"etc"},
              {{"etc/a", "1"}, {"etc/b", "333"}, {"etc/c", "y"}, {"etc/new", "n"}, {"opt/d", "f"}});
    ASSERT_EQ(tlnimg({"pack", t / "a", t / "a.img"}).status, 0);
    ASSERT_EQ(tlnimg({"pack", t / "b", t / "b.img"}).status, 0);
    Ran d = tlnimg({"diff", t / "a.img", t / "b.img"});
    EXPECT_EQ(d.status, 1) << d.err;
    EXPECT_EQ(d.out,
              "changed /etc/b: length 2 -> 3\n"
              "changed /etc/c: contents\n"
              "removed /etc/gone\n"
              "added   /etc/new\n"
              "changed /opt/d: directory -> file\n");
    Ran same = tlnimg({"diff", t / "a.img", t / "a.img"});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "");
}

TEST(Tlnimg, ServedCommandsPrintWhatTlncPrints) {
    TempDir t;
    make_tree(t / "src", {"etc/app"}, {{"etc/motd", "hello\n"}, {"etc/app/conf", "k=v\n"}});
    ASSERT_EQ(tlnimg({"pack", t / "src", t / "a.img"}).status, 0);
    fs::create_directory(t / "store");
    write_file(t / "store/tln-0.img", read_file(t / "a.img"));
    const std::vector<std::vector<std::string>> cmds = {
        {"ls", "/"},          {"ls", "-l", "/etc"}, {"ls", "-l", "/etc/motd"},
        {"tree", "/"},        {"tree", "/etc/app"}, {"stat", "/etc"},
        {"cat", "/etc/motd"}, {"ls", "/nope"},      {"cat", "/etc"},
    };
    for (const auto& c : cmds) {
        SCOPED_TRACE(c[0] + " " + c.back());
        std::vector<std::string> a = c;
        a.insert(a.begin() + 1 + (c[1] == "-l"), t / "a.img");
        Ran mine = tlnimg(a);
        Ran theirs = tlnc_served(t / "store", c);
        EXPECT_EQ(mine.status, theirs.status);
        EXPECT_EQ(mine.out, theirs.out);
        std::string err = theirs.err;
        if (err.rfind("tlnc: ", 0) == 0) err = "tlnimg: " + err.substr(6);
        EXPECT_EQ(mine.err, err);
    }
}

}  // namespace

namespace {

TEST(Tlnimg, HelpUsageAndHostErrorsHaveTheirExitStatus) {
    TempDir t;
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{"--help"}, 0},
        {{"help", "pack"}, 0},
        {{"extract", "--help"}, 0},
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"check"}, 2},
        {{"ls", "-x", "a.img"}, 2},
        {{"extract", "-f", "--tar", "a.img"}, 2},
        {{"check", t / "missing.img"}, 3},
        {{"pack", t / "missing", t / "a.img"}, 3},
    };
    for (const auto& [args, status] : runs) {
        Ran r = tlnimg(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.status, status) << line << r.err;
        EXPECT_EQ(r.out.rfind("usage: tlnimg", 0) == 0, status == 0) << line << r.out;
    }
}

}  // namespace
