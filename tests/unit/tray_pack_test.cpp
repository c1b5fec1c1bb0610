// Tray programs as the packer writes them and as the tray host starts them:
// the desktop backend and the icons in the archive, the backend written out
// beside the runtime library, and the one-line reasons of a start that
// cannot open the desktop. The desktop itself is exercised by the end-to-end
// tests (tests/e2e).
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>

#include "src/bfs/bfs.h"
#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"
#include "tools/md5.h"
#include "tools/pack_common.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kBackend = std::string(KV_LIB_DIR) + "/libnimbrel-qt.so";
const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8);


struct TrayPack : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the program's temporary path

    ProcResult pack(const std::vector<std::string>& options, const std::string& script = "print 'main ran';\n") {
        write_text(dir.file("app.pl"), script);
        std::vector<std::string> args = {kBin + "/kovpack", "-q"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {dir.file("app.pl"), "-o", dir.file("app")});
        return run_process(args);
    }
    ProcResult start(const std::vector<std::string>& env) {
        std::vector<std::string> all = {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log"),
                                        "QT_QPA_PLATFORM", "WAYLAND_DISPLAY"};
        all.insert(all.end(), env.begin(), env.end());
        ProcResult r = run_process({dir.file("app")}, all);
        wait_for_cache_writers(tmp.path);
        r.err = mask_process_dirs(r.err);
        return r;
    }
    // Files below the temporary path named `name`.
    std::vector<std::string> found(const std::string& name) {
        std::vector<std::string> paths;
        for (const auto& e : std::filesystem::recursive_directory_iterator(tmp.path))
            if (e.path().filename() == name) paths.push_back(e.path().string());
        return paths;
    }
};

TEST_F(TrayPack, BindsTheBackendTheIconsAndTheirChecksums) {
    write_text(dir.file("red.png"), kPng + "red");
    write_text(dir.file("green.png"), kPng + "green");
    write_text(dir.file("three.svg"), "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
    // The glue library is found by the scan and bound under the name that
    // `use Nimbrel` asks for.
    ProcResult r = pack({"--tray", "--icon", dir.file("red.png"), "--icon", "green=" + dir.file("green.png"), "--icon",
                         "#003=" + dir.file("three.svg"), "--icon", "green=" + dir.file("red.png")},
                        "use Nimbrel;\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto e = entries_of(dir.file("app"));
    EXPECT_EQ(e["Nimbrel.pm"], read_text(std::string(KV_SOURCE_DIR) + "/perl/Nimbrel.pm"));
    EXPECT_EQ(e["*TRAYLIBS"], "libnimbrel-qt.so\n");
    std::string backend = read_text(kBackend);
    EXPECT_EQ(e["libnimbrel-qt.so"], backend);
    char crc[9];
    snprintf(crc, sizeof crc, "%08lx", crc32_z(0, reinterpret_cast<const unsigned char*>(backend.data()), backend.size()));
    EXPECT_EQ(e["libnimbrel-qt.so.crc32"], crc);
    // The cache directory's name covers the backend too.
    Md5 md5;
    for (const char* name : {"perl536.so", "libperl.so.5.36", "libnimbrel-qt.so"}) md5.update(e[name].data(), e[name].size());
    EXPECT_EQ(e["perl.md5"], md5.hex());
    // Icons under the names _LoadIcon looks up; the last one given wins.
    EXPECT_EQ(e["*ICON"], kPng + "red");
    EXPECT_EQ(e["*ICON:green"], kPng + "red");
    EXPECT_EQ(e["*ICON:#3"], read_text(dir.file("three.svg")));
}

TEST_F(TrayPack, RefusesIconsItCannotBind) {
    write_text(dir.file("notes.txt"), "not an image");
    write_text(dir.file("icon.png"), kPng);
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string err;
    } cases[] = {
        {{"--tray", "--icon", dir.file("notes.txt")}, 1,
         "kovpack: icon '" + dir.file("notes.txt") + "' is not a PNG, SVG or ICO image\n"},
        {{"--icon", dir.file("icon.png")}, 1, "kovpack: --icon binds icons of a tray program: give --tray\n"},
        {{"--tray", "--icon", "#0=" + dir.file("icon.png")}, 2,
         "kovpack: icon name '#0' is '#' and a number from 1\nTry 'kovpack --help' for more information.\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = pack(c.options);
        EXPECT_EQ(r.status, c.status) << c.options.back();
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(TrayPack, TheHostLinksNoToolkit) {
    ProcResult r = run_process({"/usr/bin/ldd", kBin + "/nimbrel"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("libQt"), std::string::npos) << r.out;
}

// A start that cannot open the desktop says why in one line, has written the
// backend beside the runtime library first, and leaves no process directory.
TEST_F(TrayPack, AStartWithoutADesktopSaysWhy) {
    ASSERT_EQ(pack({"--tray"}).status, 0);
    struct Case {
        std::vector<std::string> env;
        std::string err;
    } cases[] = {
        {{"DISPLAY"}, "Panic: Can't open the desktop: no display (DISPLAY is not set)\n"},
        // No X server listens on this display number's socket.
        {{"DISPLAY=:64999"}, "Panic: Can't open the desktop: can't connect to the display :64999\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = start(c.env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(found("libnimbrel-qt.so").size(), 1u);
    EXPECT_EQ(found("perl536.so").size(), 0u);  // the script's session never started
    for (const auto& e : std::filesystem::directory_iterator(tmp.path)) {
        std::string name = e.path().filename().string();
        EXPECT_EQ(std::count(name.begin(), name.end(), '-'), 1) << "process directory left: " << name;  // qrx-USER
    }
}

TEST_F(TrayPack, AProgramWithoutAUsableBackendSaysWhy) {
    // A backend whose toolkit is not installed, a library that is no
    // backend, and a program that carries none.
    ASSERT_EQ(pack({"--tray", "--tray-backend", std::string(KV_TEST_LIBS_DIR) + "/libbackend_without_qt.so"}).status, 0);
    ProcResult r = start({"DISPLAY=:64999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: Can't load the desktop backend: Qt 6 is not installed (libQt6Absent.so.6: cannot open "
                     "shared object file: No such file or directory)\n");

    std::filesystem::copy_file(std::string(KV_TEST_LIBS_DIR) + "/fake_unstamped.so", dir.file("libfake.so"));
    ASSERT_EQ(pack({"--tray", "--tray-backend", dir.file("libfake.so")}).status, 0);
    r = start({"DISPLAY=:64999"});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(found("libfake.so").size(), 1u);
    // Loaded through the process directory by the start that wrote it.
    std::string cached = found("libfake.so")[0], base = cached.substr(0, cached.find('/', tmp.path.size() + 1));
    EXPECT_EQ(r.err, "Panic: " + base + "-*/libfake.so is not a desktop backend\n");

    ASSERT_EQ(pack({"--host-exe", kBin + "/nimbrel"}).status, 0);
    r = start({"DISPLAY=:64999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: This program carries no desktop backend\n");
}

}  // namespace
