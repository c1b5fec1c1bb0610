// The packer's archive commands, run as a user would run them.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "tests/support/proc_util.h"

namespace {

// A mapped archive lives as long as the process; keeping its pointer
// reachable tells the leak checker so.
const BfsArchive* volatile mapped_archive = nullptr;

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

class CliTest : public testing::Test {
protected:
    // Runs kovpack; "@NAME" in an argument, at its start or after a '=',
    // names a file in the temporary directory. A packer that waits for ever
    // is stopped and fails.
    ProcResult pack(std::vector<std::string> args, const std::vector<std::string>& env = {}) const {
        for (auto& a : args) {
            size_t eq = a.find("=@"), at = eq == std::string::npos ? 0 : eq + 1;
            if (a.size() > at + 1 && a[at] == '@') a = a.substr(0, at) + dir.file(a.substr(at + 1));
        }
        args.insert(args.begin(), {"/usr/bin/timeout", "-s", "KILL", "120", std::string(KV_BIN_DIR) + "/kovpack"});
        return run_process(args, env);
    }
    // Arguments that pack a script with stand-ins for the host and the
    // runtime library (any regular file does).
    static std::vector<std::string> script_mode(std::vector<std::string> args) {
        args.insert(args.begin(), {"--host-exe", "/bin/true", "--runtime", std::string(KV_BIN_DIR) + "/kovpack",
                                   "--no-bundle-libperl", "-q"});
        return args;
    }
    bool exists(const std::string& name) const { return access(dir.file(name).c_str(), F_OK) == 0; }

    TempDir dir;
};

}  // namespace

TEST_F(CliTest, HelpNamesEveryArchiveOption) {
    ProcResult r = pack({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--archive-only", "--host", "--entry", "--option", "--no-index", "--no-scramble", "-o",
                            "--output", "--list", "--extract", "--help", "--quiet"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, ArchiveRoundTripsThroughListAndExtract) {
    std::string binary, text;
    for (int i = 0; i < 256; i++) binary += static_cast<char>(i);
    for (int i = 0; i < 400; i++) text += "print \"line " + std::to_string(i) + "\\n\";\n";
    write_text(dir.file("bin"), binary);
    write_text(dir.file("main.pl"), text);
    write_text(dir.file("empty"), "");
    const std::map<std::string, std::string> expect = {
        {"data/bin", binary}, {"main.pl", text}, {"empty", ""}, {"*SCRIPTNAME", "main.pl"}, {"*CLEAN", ""}};
    for (int form = 0; form < 4; form++) {
        SCOPED_TRACE(form);
        std::vector<std::string> args = {"--archive-only", "--entry", "data/bin=" + dir.file("bin"),
                                         "--entry", "main.pl=" + dir.file("main.pl"), "--entry", "empty=" + dir.file("empty"),
                                         "--option", "SCRIPTNAME=main.pl", "--option", "*CLEAN", "-o", "@out.bfs"};
        if (form & 1) args.push_back("--no-index");
        if (form & 2) args.push_back("--no-scramble");
        ProcResult w = pack(args);
        ASSERT_EQ(w.status, 0) << w.err;
        std::string img = read_text(dir.file("out.bfs"));
        ASSERT_GE(img.size(), 44u);
        EXPECT_EQ(bfs_u32(reinterpret_cast<const unsigned char*>(img.data()) + 16),
                  (form & 1 ? 0u : 4u) | (form & 2 ? 0u : 2u));

        ProcResult l = pack({"--list", "@out.bfs"});
        EXPECT_EQ(l.status, 0) << l.err;
        for (const auto& [name, contents] : expect) EXPECT_NE(l.out.find(name), std::string::npos) << name;
        EXPECT_NE(l.out.find("5 entries"), std::string::npos) << l.out;
        for (const auto& [name, contents] : expect) {
            ProcResult x = pack({"--extract", name, "@out.bfs"});
            EXPECT_EQ(x.status, 0) << name << ": " << x.err;
            EXPECT_EQ(x.out, contents) << name;
        }
        ProcResult missing = pack({"--extract", "main.PL", "@out.bfs"});
        EXPECT_EQ(missing.status, 1);
        EXPECT_NE(missing.err.find("main.PL"), std::string::npos);
        EXPECT_EQ(missing.out, "");
    }
}

TEST_F(CliTest, HostCopyStillRunsAndCarriesTheArchive) {
    const std::string host = "/bin/true";
    ASSERT_EQ(access(host.c_str(), X_OK), 0);
    const std::string before = read_text(host);
    write_text(dir.file("script.pl"), "print 42;\n");
    ProcResult w = pack({"--host", host, "--entry", "script.pl=" + dir.file("script.pl"), "--option",
                         "SCRIPTNAME=script.pl", "-o", "@app"});
    ASSERT_EQ(w.status, 0) << w.err;
    struct stat st;
    ASSERT_EQ(stat(dir.file("app").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(read_text(host), before);
    EXPECT_EQ(read_text(dir.file("app")).compare(0, before.size(), before), 0);  // the host first, unchanged
    EXPECT_EQ(run_process({dir.file("app")}).status, 0);
    // The reader finds the archive at the end of the copy.
    const BfsArchive* a = bfs_map_file(dir.file("app").c_str());
    ASSERT_NE(a, nullptr);
    mapped_archive = a;
    char* script = bfs_extract(a, "script.pl", "script");
    ASSERT_NE(script, nullptr);
    EXPECT_STREQ(script, "print 42;\n");
    free(script);
    EXPECT_EQ(pack({"--extract", "*SCRIPTNAME", "@app"}).out, "script.pl");
    // A host that already carries an archive is refused.
    EXPECT_EQ(pack({"--host", "@app", "--entry", "a=" + dir.file("script.pl"), "-o", "@app2"}).status, 1);
    EXPECT_FALSE(exists("app2"));
}

TEST_F(CliTest, WrongUsageExitsTwo) {
    write_text(dir.file("f"), "x");
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"--bogus", "-o", "@out"},
        {"--archive-only"},
        {"--archive-only", "--host", "/bin/true", "-o", "@out"},
        {"--archive-only", "--entry", "nameonly", "-o", "@out"},
        {"--archive-only", "--entry", "=f", "-o", "@out"},
        {"--archive-only", "--entry", "a=", "-o", "@out"},
        {"--archive-only", "--option", "=", "-o", "@out"},
        {"--archive-only", "-o"},
        {"--list"},
        {"--list", "a", "b"},
        {"--extract", "onlyname"},
        {"--host"},
    };
    for (const auto& u : usages) {
        ProcResult r = pack(u);
        std::string shown = testing::PrintToString(u);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_NE(r.err.find("kovpack: "), std::string::npos) << shown << ": " << r.err;
        EXPECT_EQ(listing(dir.path), std::set<std::string>{"f"}) << shown;
    }
}

TEST_F(CliTest, UnreadableInputExitsOne) {
    mkdir(dir.file("adir").c_str(), 0755);
    write_text(dir.file("notarchive"), std::string(100, 'z'));
    const std::vector<std::vector<std::string>> failures = {
        {"--archive-only", "--entry", "a=" + dir.file("missing"), "-o", "@out"},
        {"--archive-only", "--entry", "a=" + dir.file("adir"), "-o", "@out"},
        {"--host", "@missing", "--entry", "a=" + dir.file("notarchive"), "-o", "@out"},
        {"--list", "@missing"},
        {"--list", "@notarchive"},
        {"--extract", "a", "@missing"},
        {"--extract", "a", "@notarchive"},
    };
    for (const auto& f : failures) {
        ProcResult r = pack(f);
        std::string shown = testing::PrintToString(f);
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_NE(r.err.find("kovpack: "), std::string::npos) << shown << ": " << r.err;
        EXPECT_FALSE(exists("out")) << shown;
    }
}

TEST_F(CliTest, UnwritableOutputLeavesNothingBehind) {
    write_text(dir.file("in"), "contents");
    write_text(dir.file("plainfile"), "not a directory");
    mkdir(dir.file("outdir").c_str(), 0755);
    const std::set<std::string> before = listing(dir.path);
    for (const char* out : {"@missing/out", "@plainfile/out", "@outdir"}) {
        ProcResult r = pack({"--archive-only", "--entry", "in=" + dir.file("in"), "-o", out});
        EXPECT_NE(r.status, 0) << out;
        EXPECT_NE(r.err.find("cannot write"), std::string::npos) << out << ": " << r.err;
        EXPECT_EQ(listing(dir.path), before) << out;
        EXPECT_TRUE(listing(dir.file("outdir")).empty()) << out;
    }
    // A directory without write permission (which does not stop root).
    if (geteuid() != 0) {
        mkdir(dir.file("locked").c_str(), 0555);
        EXPECT_EQ(pack({"--archive-only", "--entry", "in=" + dir.file("in"), "-o", "@locked/out"}).status, 1);
        EXPECT_TRUE(listing(dir.file("locked")).empty());
    }
}

TEST_F(CliTest, OutputThatIsNotARegularFileIsRefused) {
    write_text(dir.file("in.pl"), "print 1;\n");
    write_text(dir.file("target"), "kept");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    mkdir(dir.file("outdir").c_str(), 0755);
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    // A character device: /dev/null itself only where the packer could not
    // replace it anyway; root gets a private node of the same device.
    std::vector<std::pair<std::string, std::string>> outputs = {
        {dir.file("fifo"), "it is a FIFO, not a regular file"},
        {dir.file("outdir"), "it is a directory, not a regular file"},
        {dir.file("link"), "it is a symbolic link; give the file it points to, or a new name"}};
    const std::string null_node = geteuid() == 0 ? dir.file("null") : "/dev/null";
    if (geteuid() != 0 || mknod(null_node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        outputs.emplace_back(null_node, "it is a character device, not a regular file");
    const std::set<std::string> before = listing(dir.path);
    for (const auto& [out, why] : outputs) {
        for (const auto& mode : {std::vector<std::string>{"--archive-only", "--entry", "in=@in.pl"}, script_mode({"@in.pl"})}) {
            std::vector<std::string> args = mode;
            args.insert(args.end(), {"-o", out});
            ProcResult r = pack(args, {"TMPDIR=" + dir.path});
            EXPECT_EQ(r.status, 1) << out;
            EXPECT_EQ(r.err, "kovpack: cannot write '" + out + "': " + why + "\n");
            EXPECT_EQ(listing(dir.path), before) << out;
        }
    }
    struct stat st;
    ASSERT_EQ(lstat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(lstat(dir.file("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_text(dir.file("target")), "kept");
}

TEST_F(CliTest, InputThatIsNotARegularFileIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    write_text(dir.file("in.pl"), "print 1;\n");
    const std::string fifo = dir.file("fifo"), why = "it is a FIFO, not a regular file\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--archive-only", "--entry", "a=@fifo", "-o", "@out"}, "kovpack: cannot read '" + fifo + "': " + why},
        {{"--archive-only", "--entry", "a=/dev/zero", "-o", "@out"},
         "kovpack: cannot read '/dev/zero': it is a character device, not a regular file\n"},
        {{"--host", "@fifo", "--entry", "a=@in.pl", "-o", "@out"}, "kovpack: host executable: cannot read '" + fifo + "': " + why},
        {script_mode({"@fifo", "-o", "@out"}), "kovpack: cannot read script '" + fifo + "': " + why},
    };
    for (const auto& [args, message] : cases) {
        ProcResult r = pack(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(exists("out"));
    }
}

TEST_F(CliTest, DoubleDashEndsTheOptions) {
    write_text(dir.file("-x.pl"), "print 1;\n");
    // The name as given, relative to the packer's directory.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    ProcResult r = pack(script_mode({"-o", "@out", "--", "-x.pl"}));
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pack({"--extract", "*SCRIPTNAME", "@out"}).out, "-x.pl");
    // After it, an option is an argument.
    EXPECT_EQ(pack(script_mode({"-o", "@out2", "--", "-x.pl", "--verbose"})).err,
              "kovpack: unexpected argument '--verbose'\nTry 'kovpack --help' for more information.\n");
    EXPECT_FALSE(exists("out2"));
}

namespace {

// Starts kovpack with TMPDIR set (env runs it in its own place, under the
// same PID) and its output discarded; returns its PID.
pid_t start_packer(std::vector<std::string> args, const std::string& tmpdir) {
    args.insert(args.begin(), {"/usr/bin/env", "TMPDIR=" + tmpdir, std::string(KV_BIN_DIR) + "/kovpack"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// True once the process is gone (or a zombie that no one has reaped yet).
bool gone(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

}  // namespace

TEST_F(CliTest, SignalDuringTheScanLeavesNoScanDirectory) {
    // The scan compiles the script, and so runs its BEGIN block, which
    // tells its PID and then waits.
    const std::string pidfile = dir.file("begin.pid");
    write_text(dir.file("slow.pl"), "BEGIN { open my $f, '>', '" + pidfile + ".new' or die; print $f $$; close $f; rename '" +
                                        pidfile + ".new', '" + pidfile + "'; sleep 120 }\nprint 1;\n");
    mkdir(dir.file("tmp").c_str(), 0700);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        unlink(pidfile.c_str());
        pid_t packer = start_packer(script_mode({dir.file("slow.pl"), "-o", dir.file("out")}), dir.file("tmp"));
        ASSERT_GT(packer, 0);
        for (int i = 0; i < 1200 && !exists("begin.pid"); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(exists("begin.pid"));
        EXPECT_EQ(listing(dir.file("tmp")).size(), 1u);
        kill(packer, sig);
        int status = 0;
        ASSERT_EQ(waitpid(packer, &status, 0), packer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_EQ(listing(dir.file("tmp")), std::set<std::string>{});
        EXPECT_FALSE(exists("out"));
        // The scan went with the packer.
        pid_t scan = std::stoi(read_text(pidfile));
        for (int i = 0; i < 200 && !gone(scan); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(gone(scan));
    }
}

TEST_F(CliTest, ScanDirectoriesOfDeadPackersAreSwept) {
    const std::string tmp = dir.file("tmp");
    mkdir(tmp.c_str(), 0700);
    // A directory is stale when no process holds its lock; this test holds
    // the lock of "live". One without a lock is being made; a link is not followed.
    for (const char* d : {"kovpack-scan-dead", "kovpack-scan-dead/Kovar", "kovpack-scan-live", "kovpack-scan-new", "elsewhere"})
        mkdir((tmp + "/" + d).c_str(), 0700);
    for (const char* f : {"kovpack-scan-dead/scan.lock", "kovpack-scan-dead/Kovar/ScanReport.pm", "kovpack-scan-live/scan.lock",
                          "kovpack-scan-new/scan.lock.new", "elsewhere/scan.lock"})
        write_text(tmp + "/" + f, "");
    ASSERT_EQ(symlink("elsewhere", (tmp + "/kovpack-scan-link").c_str()), 0);
    int held = open((tmp + "/kovpack-scan-live/scan.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    write_text(dir.file("in.pl"), "print 1;\n");
    ProcResult r = pack(script_mode({"@in.pl", "-o", "@out"}), {"TMPDIR=" + tmp});
    close(held);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(tmp), (std::set<std::string>{"elsewhere", "kovpack-scan-link", "kovpack-scan-live", "kovpack-scan-new"}));
    EXPECT_EQ(listing(tmp + "/elsewhere"), std::set<std::string>{"scan.lock"});
}
