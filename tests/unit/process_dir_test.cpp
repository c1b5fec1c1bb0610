// Process directories of real packed programs: they belong to one process
// (not to a forked child), go with the process when a signal ends it, are
// swept by a later start when the process died without a chance, and a
// directory planted by someone else does not stop a program.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/launcher/session.h"
#include "tests/support/proc_util.h"

namespace {


// Every mode loads an extension library (POSIX.so) and leaves a file in its
// process directory first.
const char* const kScript = R"(require POSIX; $| = 1;
my ($mode, $arg) = @ARGV;
my $dir = Kovar::get_temp_dir(1);
{ open my $mark, '>', "${dir}mark" or die "mark: $!" }
if ($mode eq 'signal') { kill $arg => $$; sleep 30; print "survived\n" }
elsif ($mode eq 'handler') { $SIG{TERM} = sub { print "caught\n"; exit 3 }; kill TERM => $$; sleep 30 }
elsif ($mode eq 'flood') { print "$dir\n" while 1 }
elsif ($mode eq 'fork') {
    my $pid = fork // die "fork: $!";
    if (!$pid) { require List::Util; exit 0 }
    waitpid $pid, 0;
    print -d $dir ? "kept\n" : "gone\n";
    require List::Util;
    print "loaded\n";
}
elsif ($mode eq 'kill') { print "$dir\n"; kill KILL => $$ }
elsif ($mode eq 'wait') { open my $f, '>', "$arg.tmp" or die; print $f $dir; close $f; rename "$arg.tmp", $arg; <STDIN> }
elsif ($mode eq 'base') {
    print Kovar::_check("f", "s", 'BEGIN { Kovar::get_temp_dir(0) } 1;'), "\n";
    print Kovar::get_temp_dir(0), "\n";
}
print "ok\n";
)";

struct ProcessDir : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path
    std::string user_dir, exe;

    void SetUp() override {
        char u[KV_PATH_MAX + 1];
        user_dir = "qrx-" + (plat_user_name(u, sizeof u) ? std::string(u) : std::to_string(geteuid()));
        // SIGQUIT dumps core by default; none is wanted here.
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        exe = pack();
    }
    std::string pack(const std::vector<std::string>& options = {}) {
        static int count = 0;
        write_text(dir.file("pd.pl"), kScript);
        std::string out = dir.file("pd" + std::to_string(++count));
        return pack_quietly(dir.file("pd.pl"), out, options);
    }
    std::vector<std::string> env(const std::string& temp = "") const {
        std::vector<std::string> e = {"TMPDIR=" + (temp.empty() ? tmp.path : temp), "KOVRUN_DEBUG_LOG=" + dir.file("debug.log"),
                                      "XDG_RUNTIME_DIR"};
        if (const char* lsan = getenv("LSAN_OPTIONS")) e.push_back(std::string("LSAN_OPTIONS=") + lsan + ":print_suppressions=0");
        return e;
    }
    ProcResult run(const std::vector<std::string>& args, std::vector<std::string> more_env = {}) {
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> e = env();
        e.insert(e.end(), more_env.begin(), more_env.end());
        return run_process(argv, e);
    }
    // Names in TEMP other than the base directory.
    std::vector<std::string> left(const std::string& temp = "") const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(temp.empty() ? tmp.path : temp))
            if (e.path().filename() != user_dir) names.push_back(e.path().filename());
        return names;
    }
};

TEST_F(ProcessDir, ForkedChildLeavesTheParentsDirectory) {
    ProcResult r = run({"fork"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "kept\nloaded\nok\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(left(), std::vector<std::string>{});
}

TEST_F(ProcessDir, SignalsRemoveTheDirectoryAndStillEndTheProcess) {
    struct Case {
        int sig;
        const char* name;
        bool clean;
    };
    const Case cases[] = {{SIGTERM, "TERM", false}, {SIGINT, "INT", false},  {SIGHUP, "HUP", false},
                          {SIGQUIT, "QUIT", false}, {SIGUSR1, "USR1", false}, {SIGALRM, "ALRM", false},
                          {SIGPIPE, "PIPE", false}, {SIGTERM, "TERM", true}};
    std::string clean = pack({"--clean"});
    for (const Case& c : cases) {
        std::vector<std::string> argv = {c.clean ? clean : exe, "signal", c.name};
        ProcResult r = run_process(argv, env());
        EXPECT_EQ(r.status, 128 + c.sig) << c.name << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(left(), std::vector<std::string>{}) << c.name << (c.clean ? " --clean" : "");
    }
    // A real broken pipe: the reader goes away after one line.
    ProcResult r = run_process({"/bin/bash", "-c", "set -o pipefail; \"$0\" flood | head -1", exe}, env());
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
    EXPECT_EQ(r.out.rfind(tmp.path + "/" + user_dir + "-", 0), 0u) << r.out;
    EXPECT_EQ(left(), std::vector<std::string>{});
    // The script's own handler comes first.
    r = run({"handler"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, "caught\n");
    EXPECT_EQ(left(), std::vector<std::string>{});
}

TEST_F(ProcessDir, DirectoriesOfDeadProcessesAreSweptThoseOfLiveOnesKept) {
    std::string ready = dir.file("ready");
    std::string command = "TMPDIR='" + tmp.path + "' '" + exe + "' wait '" + ready + "' >/dev/null";
    FILE* live = popen(command.c_str(), "w");
    ASSERT_NE(live, nullptr);
    for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; i++) usleep(100000);
    std::string live_dir = read_text(ready);
    ASSERT_FALSE(live_dir.empty());

    ProcResult killed = run({"kill"});
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    std::string dead_dir = killed.out.substr(0, killed.out.find('\n'));
    EXPECT_TRUE(std::filesystem::exists(dead_dir + "mark")) << killed.out;

    ProcResult next = run({"none"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_FALSE(std::filesystem::exists(dead_dir)) << dead_dir;
    EXPECT_TRUE(std::filesystem::exists(live_dir + "mark")) << live_dir;

    EXPECT_EQ(pclose(live), 0);
    EXPECT_EQ(left(), std::vector<std::string>{});
}

TEST_F(ProcessDir, PlantedForeignBaseDirectoryFallsBackAndSaysSoOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs a directory of another user";
    std::string planted = tmp.path + "/" + user_dir;
    ASSERT_EQ(mkdir(planted.c_str(), 0755), 0);
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    TempDir runtime;  // stands for $XDG_RUNTIME_DIR
    for (bool xdg : {false, true}) {
        unlink(dir.file("debug.log").c_str());
        ProcResult r = run({"base"}, {xdg ? "XDG_RUNTIME_DIR=" + runtime.path : "XDG_RUNTIME_DIR"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("Refusing"), std::string::npos) << r.err;
        // This run's own process directory when there is no runtime directory.
        std::string used = xdg ? runtime.path + "/" + user_dir + "/" : r.out.substr(2, r.out.find('\n', 2) - 2);
        if (!xdg) {
            EXPECT_EQ(used.rfind(planted + "-", 0), 0u) << used;
        }
        EXPECT_EQ(r.out, "0\n" + used + "\nok\n");
        EXPECT_EQ(read_text(dir.file("debug.log")),
                  "Refusing to use " + planted + "/: not a private directory of this user; using " + used + " instead\n");
        EXPECT_EQ(left(), std::vector<std::string>{});
    }
    // The runtime library was cached there for the next start.
    EXPECT_FALSE(left(runtime.path + "/" + user_dir).empty());
}

TEST_F(ProcessDir, LongTemporaryPathsWork) {
    std::string deep = tmp.path + "/" + std::string(200, 'a') + "/" + std::string(100, 'b');
    std::filesystem::create_directories(deep);
    ProcResult r = run_process({exe, "none"}, env(deep));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_EQ(left(deep), std::vector<std::string>{});
}

}  // namespace
