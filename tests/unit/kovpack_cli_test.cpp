// The packer's archive commands, run as a user would run them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // Runs kovpack; arguments that start with '@' name files in the
    // temporary directory.
    ProcResult pack(std::vector<std::string> args) const {
        for (auto& a : args)
            if (a.size() > 1 && a[0] == '@') a = dir.file(a.substr(1));
        args.insert(args.begin(), std::string(KV_BIN_DIR) + "/kovpack");
        return run_process(args);
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
