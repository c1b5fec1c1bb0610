// Extension libraries and data files of real packed programs: written once
// per build beside the cached runtime library, taken from there by later
// starts, written again when damaged and never through a link; data files
// in a directory that @INC lists after the hook. A packed program loads no
// module that plain perl does not load for the same script.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/launcher/session.h"
#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;

std::string plain_perl_says(const std::string& code) {
    ProcResult r = run_process({"/usr/bin/perl", "-e", code});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

struct BoundFiles : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path
    std::string user_dir;

    void SetUp() override {
        if (access((kBin + "/kovrun").c_str(), X_OK) != 0 || access((std::string(KV_LIB_DIR) + "/perl536.so").c_str(), R_OK) != 0)
            GTEST_SKIP() << "console host or runtime library not built";
        char u[KV_PATH_MAX + 1];
        user_dir = "qrx-" + (plat_user_name(u, sizeof u) ? std::string(u) : std::to_string(geteuid()));
    }
    std::string pack(const std::string& script, const std::vector<std::string>& options = {}) {
        static int count = 0;
        std::string name = "app" + std::to_string(++count);
        write_text(dir.file(name + ".pl"), script);
        return pack_quietly(dir.file(name + ".pl"), dir.file(name), options);
    }
    ProcResult run(const std::string& exe) {
        std::vector<std::string> env = {"TMPDIR=" + tmp.path};
        if (const char* lsan = getenv("LSAN_OPTIONS")) env.push_back(std::string("LSAN_OPTIONS=") + lsan + ":print_suppressions=0");
        ProcResult r = run_process({exe}, env);
        wait_for_cache_writers(tmp.path);
        return r;
    }
    // Where the program's extension libraries and data files go.
    std::string files_dir(const std::string& exe) {
        auto entries = entries_of(exe);
        EXPECT_EQ(entries["*FILES.md5"].size(), 32u);
        return tmp.path + "/" + user_dir + "/" + entries["perl.md5"] + "/" + entries["*FILES.md5"] + "/";
    }
    // Nothing beside the base directory: no process directory was left.
    std::vector<std::string> beside_base() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(tmp.path))
            if (e.path().filename() != user_dir) names.push_back(e.path().filename());
        return names;
    }
};

TEST_F(BoundFiles, ExtensionLibrariesAreWrittenOnceAndRepairedWhenDamaged) {
    const std::string script = "use strict; use warnings; use List::Util qw(sum);\n"
                               "print sum(1 .. 10), ' ', join(' ', sort keys %INC), \"\\n\";\n";
    // What plain perl loads for this script, and nothing more.
    const std::string expected = plain_perl_says(script);
    std::string exe = pack(script);
    ProcResult r = run(exe);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(beside_base(), std::vector<std::string>{});

    const std::string lib = files_dir(exe) + "auto/List/Util/Util.so";
    const std::string genuine = entries_of(exe)["auto/List/Util/Util.so"];
    ASSERT_EQ(read_text(lib), genuine);
    FileId first = file_id(lib);
    r = run(exe);
    EXPECT_EQ(r.out, expected) << r.err;
    EXPECT_TRUE(file_id(lib) == first) << "an intact library is not written again";

    std::string victim = dir.file("victim");
    write_text(victim, "precious\n");
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const Damage damages[] = {
        {"truncated", [&] { ASSERT_EQ(truncate(lib.c_str(), 100), 0); }},
        {"of the right size, but not a library", [&] { write_text(lib, std::string(genuine.size(), '\0')); }},
        {"a link to another file", [&] {
             ASSERT_EQ(unlink(lib.c_str()), 0);
             ASSERT_EQ(symlink(victim.c_str(), lib.c_str()), 0);
         }},
    };
    for (const Damage& d : damages) {
        d.apply();
        r = run(exe);
        EXPECT_EQ(r.status, 0) << d.what << ": " << r.err;
        EXPECT_EQ(r.out, expected) << d.what;
        EXPECT_NE(file_id(lib).inode, 0u) << d.what << ": not a regular file";
        EXPECT_EQ(read_text(lib), genuine) << d.what;
    }
    EXPECT_EQ(read_text(victim), "precious\n");
}

// A first start loads the library it wrote through its process directory
// and leaves the syncs and renames into the cache to a detached process:
// never one that the program can wait for, whatever it does with SIGCHLD.
TEST_F(BoundFiles, FirstStartLeavesNoChildOfItsOwnAndTheCacheFilled) {
    for (const char* chld : {"DEFAULT", "IGNORE"}) {
        std::string exe = pack(std::string("$SIG{CHLD} = '") + chld + "';\nrequire List::Util;\n"
                               "my $w = wait; print List::Util::sum(1, 2), \" $w $DynaLoader::dl_shared_objects[-1]\\n\";\n");
        ProcResult r = run(exe);
        EXPECT_EQ(r.status, 0) << chld << ": " << r.err;
        EXPECT_EQ(mask_process_dirs(r.out), "3 -1 " + tmp.path + "/" + user_dir + "-*/auto/List/Util/Util.so\n") << chld;
        EXPECT_EQ(read_text(files_dir(exe) + "auto/List/Util/Util.so"), entries_of(exe)["auto/List/Util/Util.so"]) << chld;
        std::filesystem::remove_all(tmp.path + "/" + user_dir);
    }
}

// A module that boots through DynaLoader.pm's bootstrap, which looks for
// libraries on disk in the file itself, takes its library from the archive.
TEST_F(BoundFiles, DynaLoaderStyleModulesBootTheBoundLibrary) {
    write_text(dir.file("MD5Dyna.pm"), "package Digest::MD5;\nrequire DynaLoader;\nour @ISA = ('DynaLoader');\n"
                                       "our $VERSION = '" + plain_perl_says("require Digest::MD5; print $Digest::MD5::VERSION") +
                                       "';\nbootstrap Digest::MD5 $VERSION;\n1;\n");
    std::string exe = pack("require MD5Dyna;\nprint Digest::MD5::md5_hex('abc'), qq{\\n};\n",
                           {"--entry", "MD5Dyna.pm=" + dir.file("MD5Dyna.pm"), "--add", "Digest::MD5"});
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "900150983cd24fb0d6963f7d28e17f72\n");
}

TEST_F(BoundFiles, DataFilesLieInADirectoryThatIncListsAfterTheHook) {
    const std::string script = R"(my @dirs = grep { !ref } @INC;
print scalar(@INC), ' ', ref($INC[0]), ' ', scalar(@dirs), "\n";
for my $name ('ExtUtils/typemap', 'Encode/encode.h') {
    my ($dir) = grep { -f "$_/$name" } @dirs;
    my $f;
    my $same = defined $dir && open($f, '<', "$dir/$name") && do { local $/; <$f> eq INC($name) };
    print $name, ' ', (defined $dir ? $dir : 'missing'), ($same ? ' same' : ''), "\n";
}
)";
    const std::string typemap = dir.file("typemap"), header = dir.file("encode.h");
    write_text(typemap, "TYPEMAP\nint\tT_IV\n");
    write_text(header, "#define ENCODE_H 1\n");
    std::string exe = pack(script, {"--entry", "ExtUtils/typemap=" + typemap, "--entry", "Encode/encode.h=" + header,
                                    "--option", "DATAFILES=ExtUtils/typemap\n\nEncode/encode.h\n"});
    const std::string data = files_dir(exe) + "data";
    const std::string expected = "2 CODE 1\nExtUtils/typemap " + data + " same\nEncode/encode.h " + data + " same\n";
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    FileId first = file_id(data + "/ExtUtils/typemap");
    r = run(exe);
    EXPECT_EQ(r.out, expected) << r.err;
    EXPECT_TRUE(file_id(data + "/ExtUtils/typemap") == first) << "an intact data file is not written again";
    EXPECT_EQ(beside_base(), std::vector<std::string>{});

    // Without the list nothing lies on disk and @INC holds only the hook.
    r = run(pack(script, {"--entry", "ExtUtils/typemap=" + typemap}));
    EXPECT_EQ(r.out, "1 CODE 0\nExtUtils/typemap missing\nEncode/encode.h missing\n") << r.err;

    // A name that would leave the directory is refused before anything is written.
    for (const std::string name : {"../escaped", "a//b", "/abs", "x/./y"}) {
        exe = pack("print qq{ran\\n};\n", {"--entry", name + "=" + typemap, "--option", "DATAFILES=" + name});
        r = run(exe);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "Panic: Can't extract " + files_dir(exe) + "data/" + name + "\n") << name;
        EXPECT_FALSE(std::filesystem::exists(files_dir(exe) + "escaped")) << name;
    }
}

// diagnostics.pm looks for the text of perldiag.pod in the Perl library's
// pod directory and then in a file diagnostics.pm in a directory of @INC
// whose text has the pod after its last line: bound so, it explains a
// warning where the machine has no Perl library. That directory is hidden
// here in a mount namespace of the test's own.
TEST_F(BoundFiles, DiagnosticsExplainsWarningsFromTheBoundDatabase) {
    std::string privlib = plain_perl_says("use Config; print $Config{privlibexp}");
    std::string module = read_text(privlib + "/diagnostics.pm"), pod = read_text(privlib + "/pod/perldiag.pod");
    ProcResult probe = run_process({"/usr/bin/unshare", "-rm", "sh", "-c", "mount -t tmpfs none \"$0\" && test ! -e \"$0/perldiag.pod\"",
                                    privlib + "/pod"});
    if (module.empty() || pod.empty() || probe.status != 0)
        GTEST_SKIP() << "no perldiag.pod, or no private mount namespace: " << probe.err;
    write_text(dir.file("diagnostics.pm"), module + pod);
    const std::string script = "use warnings;\nuse diagnostics;\nmy $n = 'a' + 1;\nprint \"done\\n\";\n";
    // Bound by hand, and as the packer binds it by itself.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--entry", "diagnostics.pm=" + dir.file("diagnostics.pm"), "--option", "DATAFILES=diagnostics.pm"},
          std::vector<std::string>{}}) {
        std::string exe = pack(script, options);
        ProcResult r = run_process({"/usr/bin/unshare", "-rm", "sh", "-c", "mount -t tmpfs none \"$0\" && exec \"$1\"", privlib + "/pod", exe},
                                   {"TMPDIR=" + tmp.path});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "done\n");
        EXPECT_NE(r.err.find("(W numeric) The indicated string was fed as an argument to an operator"), std::string::npos) << r.err;
    }
}

}  // namespace
