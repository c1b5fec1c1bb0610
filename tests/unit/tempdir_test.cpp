#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/bfs/bfs_write.h"
#include "src/bfs/rmtree.h"
#include "src/bfs/tempdir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

mode_t mode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int listed(const std::string& path) {
    int n = 0;
    for (KvCleanupNode* p = kv_cleanup_list; p; p = p->next) n += path == p->path;
    return n;
}

// Directories under a private test root; sessions built on in-memory archives.
class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kv-tempdir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        char u[KV_PATH_MAX + 1];
        user_ = plat_user_name(u, sizeof u) ? u : std::to_string(geteuid());
        for (const char* name : {"TMPDIR", "KOVRUN_DEBUG_LOG"}) {
            const char* v = getenv(name);
            env_.emplace_back(name, v ? v : "\x01");
        }
        setenv("KOVRUN_DEBUG_LOG", (root_ + "/debug.log").c_str(), 1);
    }
    void TearDown() override {
        cleanup_temp_dirs();
        for (const auto& [name, v] : env_) v == "\x01" ? unsetenv(name.c_str()) : setenv(name.c_str(), v.c_str(), 1);
        rmtree(root_.c_str());
    }
    KovrunSession* session(const std::vector<BfsWriteEntry>& entries) {
        std::string error;
        images_.emplace_back();
        EXPECT_TRUE(bfs_write_archive(entries, {}, &images_.back(), nullptr, &error)) << error;
        archives_.push_back(bfs_describe(images_.back().data(), images_.back().size()));
        sessions_.emplace_back();
        sessions_.back().archive = &archives_.back();
        return &sessions_.back();
    }
    KovrunSession* with_tmpdir(const std::string& t) { return session({{"*TMPDIR", {t.begin(), t.end()}}}); }
    std::string base(const std::string& t) { return t + "qrx-" + user_ + "/"; }
    // TEMP/qrx-USER-PID-SUFFIX/ of this process, SUFFIX being 12 hexadecimal digits.
    bool is_process(const char* p, const std::string& t) {
        std::string b = base(t), head = b.substr(0, b.size() - 1) + "-" + std::to_string(getpid()) + "-";
        std::string s = p ? p : "";
        return s.size() == head.size() + 13 && s.rfind(head, 0) == 0 && s.back() == '/' &&
               s.find_first_not_of("0123456789abcdef", head.size()) == s.size() - 1;
    }
    std::string root_, user_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::list<std::vector<unsigned char>> images_;
    std::list<BfsArchive> archives_;
    std::list<KovrunSession> sessions_;
};

TEST_F(TempDir, BaseDirectoryFromTmpdirEntry) {
    KovrunSession* s = with_tmpdir(root_);
    const char* p = make_temp_dir(s, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, base(root_ + "/"));
    EXPECT_EQ(mode_of(p), S_IFDIR | 0755);
    EXPECT_EQ(make_temp_dir(s, 0), p);
    // An existing base directory is used as it is, whatever the separator.
    chmod(p, 0700);
    KovrunSession* again = with_tmpdir(root_ + "/");
    EXPECT_STREQ(make_temp_dir(again, 0), p);
    EXPECT_EQ(mode_of(p), S_IFDIR | 0700);
    EXPECT_EQ(again->base_made, 0);
}

TEST_F(TempDir, RelativeAndEmptyTmpdir) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    mkdir("rel", 0700);
    const char* rel = make_temp_dir(with_tmpdir("rel"), 0);
    const char* none = make_temp_dir(with_tmpdir(""), 1);
    EXPECT_EQ(rel ? rel : "", base("rel/"));
    EXPECT_TRUE(is_process(none, "")) << (none ? none : "null");
    std::string made = none ? none : "";
    EXPECT_EQ(mode_of(base("rel/")), S_IFDIR | 0755);
    EXPECT_EQ(mode_of(made), S_IFDIR | 0700);
    // Removal at exit does not depend on the directory the process is in then.
    ASSERT_EQ(chdir(cwd), 0);
    CaptureStderr();
    cleanup_temp_dirs();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(mode_of(root_ + "/" + made), 0u);
}

TEST_F(TempDir, PathsUpToTheSystemLimitAndTooLongReported) {
    const std::string too_long = "TEMP path need more than 4095 characters\n";
    // The base path may take every character the system allows; the process
    // directory's longer name then no longer fits.
    std::string at_limit = "/" + std::string(KV_PATH_MAX - 2 - base("").size(), 'd') + "/";
    KovrunSession* s = with_tmpdir(at_limit);
    CaptureStderr();
    EXPECT_EQ(make_temp_dir(s, 1), nullptr);
    EXPECT_EQ(GetCapturedStderr(), too_long);
    EXPECT_EQ(strlen(s->base_path), static_cast<size_t>(KV_PATH_MAX));
    for (const std::string& t : {at_limit + "d", std::string(KV_PATH_MAX + 1, 'x')}) {
        s = with_tmpdir(t);
        CaptureStderr();
        EXPECT_EQ(make_temp_dir(s, 0), nullptr);
        EXPECT_EQ(GetCapturedStderr(), too_long);
        EXPECT_EQ(s->base_path[0], 0);
    }
    // A later call with a usable path starts again.
    s->archive = with_tmpdir(root_)->archive;
    const char* p = make_temp_dir(s, 0);
    EXPECT_EQ(p ? p : "", base(root_ + "/"));
}

TEST_F(TempDir, SystemTempPath) {
    setenv("TMPDIR", root_.c_str(), 1);
    EXPECT_TRUE(is_process(make_temp_dir(session({{"x", {'1'}}}), 1), root_ + "/"));
    setenv("TMPDIR", std::string(KV_PATH_MAX + 1, 'x').c_str(), 1);
    KovrunSession* s = session({});
    s->archive = nullptr;
    CaptureStderr();
    EXPECT_EQ(make_temp_dir(s, 0), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "TEMP path need more than 4095 characters\n");
}

TEST_F(TempDir, NameSteps) {
    char b[KV_PATH_MAX + 1] = "t/";
    ASSERT_TRUE(kv_user_dir_path(b, 2, nullptr));  // no account entry: the numeric id
    EXPECT_EQ(std::string(b), "t/qrx-" + std::to_string(geteuid()) + "/");
    EXPECT_TRUE(kv_user_dir_path(b, KV_PATH_MAX - 8, "bob"));
    EXPECT_FALSE(kv_user_dir_path(b, KV_PATH_MAX - 7, "bob"));
    char out[KV_PATH_MAX + 1];
    ASSERT_TRUE(kv_process_dir_path("t/qrx-u/", 42, "0123456789ab", out));
    EXPECT_STREQ(out, "t/qrx-u-42-0123456789ab/");
    std::string fits(KV_PATH_MAX - 16, 'b'), over(KV_PATH_MAX - 15, 'b');
    EXPECT_TRUE(kv_process_dir_path(fits.c_str(), 42, "0123456789ab", out));
    EXPECT_EQ(strlen(out), static_cast<size_t>(KV_PATH_MAX));
    EXPECT_FALSE(kv_process_dir_path(over.c_str(), 42, "0123456789ab", out));
}

TEST_F(TempDir, ProcessDirectoryIsNewLockedAndSharedBySessions) {
    KovrunSession* a = with_tmpdir(root_);
    KovrunSession* b = with_tmpdir(root_);
    const char* p = make_temp_dir(a, 1);
    ASSERT_TRUE(is_process(p, root_ + "/")) << (p ? p : "null");
    std::string made = p;
    EXPECT_EQ(make_temp_dir(a, 1), p);
    EXPECT_STREQ(make_temp_dir(b, 1), p);
    EXPECT_EQ(listed(made), 1);
    // Held locked while the process lives.
    int fd = open(made.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(plat_try_lock(fd), 0);
    close(fd);
    cleanup_temp_dirs();
    EXPECT_EQ(mode_of(made), 0u);
}

TEST_F(TempDir, StaleProcessDirectoriesAreSwept) {
    std::string t = root_ + "/t/", head = base(t).substr(0, base(t).size() - 1) + "-";
    mkdir(t.c_str(), 0700);
    auto plant = [](const std::string& d) {
        mkdir(d.c_str(), 0700);
        mkdir((d + "/sub").c_str(), 0700);
        close(creat((d + "/sub/f").c_str(), 0400));
        chmod((d + "/sub").c_str(), 0500);
    };
    std::string stale = head + "99999-0123456789ab", held = head + "99998-0123456789ab";
    std::string foreign = head + "99997-0123456789ab", link = head + "99996-0123456789ab";
    std::string other_name = head + "99995-0123456789AB", target = root_ + "/target";
    for (const std::string& d : {stale, held, foreign, other_name, target}) plant(d);
    int lock = open(held.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(plat_try_lock(lock), 1);
    bool as_root = geteuid() == 0 && chown(foreign.c_str(), 65534, 65534) == 0;
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

    ASSERT_NE(make_temp_dir(with_tmpdir(t), 0), nullptr);
    EXPECT_EQ(mode_of(stale), 0u);
    EXPECT_NE(mode_of(held + "/sub/f"), 0u);
    EXPECT_NE(mode_of(other_name + "/sub/f"), 0u);
    EXPECT_NE(mode_of(target + "/sub/f"), 0u);
    EXPECT_EQ(mode_of(link), S_IFLNK | 0777);
    if (as_root) {
        EXPECT_NE(mode_of(foreign + "/sub/f"), 0u);
    }
    close(lock);
}

TEST_F(TempDir, ForeignBaseDirectoryFallsBackOnce) {
    struct Case {
        const char* name;
        void (*prepare)(const std::string& dir);
    };
    const Case cases[] = {
        {"symlink", [](const std::string& d) { mkdir((d + ".t").c_str(), 0700), symlink((d + ".t").c_str(), d.c_str()); }},
        {"group", [](const std::string& d) { mkdir(d.c_str(), 0700), chmod(d.c_str(), 0770); }},
        {"file", [](const std::string& d) { close(creat(d.c_str(), 0600)); }},
        {"owner", [](const std::string& d) { mkdir(d.c_str(), 0700), (void)!chown(d.c_str(), 65534, 65534); }},
    };
    unsetenv("XDG_RUNTIME_DIR");
    for (const Case& c : cases) {
        std::string t = root_ + "/" + c.name + "/";
        mkdir(t.c_str(), 0700);
        std::string d = base(t);
        d.pop_back();
        c.prepare(d);
        KovrunSession* s = with_tmpdir(t);
        CaptureStderr();
        const char* p = make_temp_dir(s, 0);
        EXPECT_EQ(GetCapturedStderr(), "") << c.name;
        // This run's own directory stands in for it.
        EXPECT_TRUE(is_process(p, t)) << c.name << ": " << (p ? p : "null");
        EXPECT_EQ(make_temp_dir(s, 1), p) << c.name;
    }
    // The debugger output says so at most once per process.
    std::string log = read_text(root_ + "/debug.log");
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(log.find("Refusing to use"), log.empty() ? std::string::npos : 0u) << log;
}

TEST_F(TempDir, MkdirFailureIsReported) {
    std::string t = root_ + "/missing";
    CaptureStderr();
    EXPECT_EQ(make_temp_dir(with_tmpdir(t), 0), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "mkdir(\"" + base(t + "/") + "\") failed, errno=2: No such file or directory\n");
}

TEST_F(TempDir, PrivateFileNeverReplacesOrFollows) {
    std::string f = root_ + "/lib.so", target = root_ + "/target", link = root_ + "/link";
    int fd = kv_create_private_file(f.c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mode_of(f) & 077, 0u);
    EXPECT_EQ(kv_create_private_file(f.c_str()), -1);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(kv_create_private_file(link.c_str()), -1);
    EXPECT_EQ(mode_of(target), 0u);
}

}  // namespace
