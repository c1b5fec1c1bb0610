// The packer's archive commands, run as a user would run them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"

namespace {

const std::string kPack = std::string(KV_BIN_DIR) + "/kovpack";

// A mapped archive lives as long as the process; keeping its pointer
// reachable tells the leak checker so.
const BfsArchive* volatile mapped_archive = nullptr;

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

struct Outcome {
    int status;  // exit code, or -1 when the program did not exit normally
    std::string out, err;
};

class CliTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kv-kovpack-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "chmod -R u+w '" + dir_ + "' && rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Runs kovpack with arguments (already quoted where needed) in the
    // temporary directory, capturing both output streams.
    Outcome pack(const std::string& args) const {
        std::string cmd = "cd '" + dir_ + "' && '" + kPack + "' " + args + " >'" + path(".out") + "' 2>'" + path(".err") + "' </dev/null";
        int rc = system(cmd.c_str());
        Outcome r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(path(".out")), slurp(path(".err"))};
        unlink(path(".out").c_str());
        unlink(path(".err").c_str());
        return r;
    }

    std::string dir_;
};

}  // namespace

TEST_F(CliTest, HelpNamesEveryArchiveOption) {
    Outcome r = pack("--help");
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--archive-only", "--host", "--entry", "--option", "--no-index", "--no-scramble", "-o",
                            "--output", "--list", "--extract", "--help", "--quiet"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, ArchiveRoundTripsThroughListAndExtract) {
    std::string binary;
    for (int i = 0; i < 256; i++) binary += static_cast<char>(i);
    std::string text;
    for (int i = 0; i < 400; i++) text += "print \"line " + std::to_string(i) + "\\n\";\n";
    spit(path("bin"), binary);
    spit(path("main.pl"), text);
    spit(path("empty"), "");
    const std::map<std::string, std::string> expect = {
        {"data/bin", binary}, {"main.pl", text}, {"empty", ""}, {"*SCRIPTNAME", "main.pl"}, {"*CLEAN", ""}};
    for (const char* flags : {"", "--no-index", "--no-scramble", "--no-index --no-scramble"}) {
        SCOPED_TRACE(flags);
        Outcome w = pack(std::string("--archive-only ") + flags +
                     " --entry data/bin=bin --entry main.pl=main.pl --entry empty=empty"
                     " --option SCRIPTNAME=main.pl --option '*CLEAN' -o out.bfs");
        ASSERT_EQ(w.status, 0) << w.err;
        std::string img = slurp(path("out.bfs"));
        ASSERT_GE(img.size(), 44u);
        uint32_t header_flags = bfs_u32(reinterpret_cast<const unsigned char*>(img.data()) + 16);
        EXPECT_EQ(header_flags, (strstr(flags, "--no-index") ? 0u : 4u) | (strstr(flags, "--no-scramble") ? 0u : 2u));

        Outcome l = pack("--list out.bfs");
        EXPECT_EQ(l.status, 0) << l.err;
        for (const auto& [name, contents] : expect) EXPECT_NE(l.out.find(name), std::string::npos) << name;
        EXPECT_NE(l.out.find("5 entries"), std::string::npos) << l.out;

        for (const auto& [name, contents] : expect) {
            Outcome x = pack("--extract '" + name + "' out.bfs");
            EXPECT_EQ(x.status, 0) << name << ": " << x.err;
            EXPECT_EQ(x.out, contents) << name;
        }
        Outcome missing = pack("--extract main.PL out.bfs");
        EXPECT_EQ(missing.status, 1);
        EXPECT_NE(missing.err.find("main.PL"), std::string::npos);
        EXPECT_EQ(missing.out, "");
    }
}

TEST_F(CliTest, HostCopyStillRunsAndCarriesTheArchive) {
    const std::string host = "/bin/true";
    ASSERT_EQ(access(host.c_str(), X_OK), 0);
    const std::string before = slurp(host);
    spit(path("script.pl"), "print 42;\n");
    Outcome w = pack("--host " + host + " --entry script.pl=script.pl --option SCRIPTNAME=script.pl -o app");
    ASSERT_EQ(w.status, 0) << w.err;
    struct stat st;
    ASSERT_EQ(stat(path("app").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(slurp(host), before);
    std::string app = slurp(path("app"));
    EXPECT_EQ(app.compare(0, before.size(), before), 0);  // the host comes first, unchanged
    EXPECT_EQ(system(("'" + path("app") + "'").c_str()), 0);
    // The reader finds the archive at the end of the copy.
    const BfsArchive* a = bfs_map_file(path("app").c_str());
    ASSERT_NE(a, nullptr);
    mapped_archive = a;
    char* script = bfs_extract(a, "script.pl", "script");
    ASSERT_NE(script, nullptr);
    EXPECT_STREQ(script, "print 42;\n");
    free(script);
    Outcome x = pack("--extract '*SCRIPTNAME' app");
    EXPECT_EQ(x.status, 0);
    EXPECT_EQ(x.out, "script.pl");
    // A host that already carries an archive is refused.
    Outcome again = pack("--host app --entry a=script.pl -o app2");
    EXPECT_EQ(again.status, 1);
    EXPECT_FALSE(exists(path("app2")));
}

TEST_F(CliTest, WrongUsageExitsTwo) {
    spit(path("f"), "x");
    const std::vector<std::string> usages = {
        "",
        "--bogus -o out",
        "--archive-only",
        "--archive-only --host /bin/true -o out",
        "--archive-only --entry nameonly -o out",
        "--archive-only --entry =f -o out",
        "--archive-only --entry a= -o out",
        "--archive-only --option = -o out",
        "--archive-only -o",
        "--list",
        "--list a b",
        "--extract onlyname",
        "--host",
    };
    for (const auto& u : usages) {
        Outcome r = pack(u);
        EXPECT_EQ(r.status, 2) << u;
        EXPECT_NE(r.err.find("kovpack: "), std::string::npos) << u << ": " << r.err;
        EXPECT_EQ(listing(dir_), std::set<std::string>{"f"}) << u;
    }
}

TEST_F(CliTest, UnreadableInputExitsOne) {
    mkdir(path("adir").c_str(), 0755);
    spit(path("notarchive"), std::string(100, 'z'));
    const std::vector<std::string> failures = {
        "--archive-only --entry a=missing -o out",
        "--archive-only --entry a=adir -o out",
        "--host missing --entry a=notarchive -o out",
        "--list missing",
        "--list notarchive",
        "--extract a missing",
        "--extract a notarchive",
    };
    for (const auto& f : failures) {
        Outcome r = pack(f);
        EXPECT_EQ(r.status, 1) << f;
        EXPECT_NE(r.err.find("kovpack: "), std::string::npos) << f << ": " << r.err;
        EXPECT_FALSE(exists(path("out"))) << f;
    }
}

TEST_F(CliTest, UnwritableOutputLeavesNothingBehind) {
    spit(path("in"), "contents");
    spit(path("plainfile"), "not a directory");
    mkdir(path("outdir").c_str(), 0755);
    const std::set<std::string> before = listing(dir_);
    for (const char* out : {"missing/out", "plainfile/out", "outdir"}) {
        Outcome r = pack(std::string("--archive-only --entry in=in -o ") + out);
        EXPECT_NE(r.status, 0) << out;
        EXPECT_NE(r.err.find("cannot write"), std::string::npos) << out << ": " << r.err;
        EXPECT_EQ(listing(dir_), before) << out;
        EXPECT_TRUE(listing(path("outdir")).empty()) << out;
    }
    // A directory without write permission (which does not stop root).
    if (geteuid() != 0) {
        mkdir(path("locked").c_str(), 0555);
        Outcome r = pack("--archive-only --entry in=in -o locked/out");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(listing(path("locked")).empty());
    }
}
