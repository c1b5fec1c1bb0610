#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
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
        user_ = plat_user_name(u, sizeof u) ? u : "";
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
    std::string base(const std::string& t) { return t + (user_.empty() ? "qrx/" : "qrx-" + user_ + "/"); }
    std::string process(const std::string& t) {
        std::string b = base(t);
        return b.substr(0, b.size() - 1) + "-" + std::to_string(getpid()) + "/";
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
    EXPECT_EQ(none ? none : "", process(""));
    EXPECT_EQ(mode_of(base("rel/")), S_IFDIR | 0755);
    EXPECT_EQ(mode_of(process("")), S_IFDIR | 0700);
    // Removal at exit does not depend on the directory the process is in then.
    ASSERT_EQ(chdir(cwd), 0);
    CaptureStderr();
    cleanup_temp_dirs();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(mode_of(root_ + "/" + process("")), 0u);
}

TEST_F(TempDir, LengthLimitsFailSilentlyAndAllowRetry) {
    size_t fits = 253 - user_.size() - 1;  // without its separator
    std::string ok = root_ + "/" + std::string(fits - root_.size() - 1, 'd');
    ASSERT_EQ(mkdir(ok.c_str(), 0700), 0);
    CaptureStderr();
    KovrunSession* s = with_tmpdir(ok + "d");
    EXPECT_EQ(make_temp_dir(s, 0), nullptr);
    EXPECT_EQ(s->base_path[0], 0);
    EXPECT_EQ(make_temp_dir(with_tmpdir(std::string(261, 'x')), 0), nullptr);
    EXPECT_EQ(make_temp_dir(with_tmpdir(std::string(260, 'x')), 1), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    s->archive = with_tmpdir(ok)->archive;
    const char* p = make_temp_dir(s, 0);
    EXPECT_EQ(p ? p : "", base(ok + "/"));
    EXPECT_EQ(strlen(s->base_path), 258u);
}

TEST_F(TempDir, SystemTempPath) {
    setenv("TMPDIR", root_.c_str(), 1);
    const char* p = make_temp_dir(session({{"x", {'1'}}}), 1);
    EXPECT_EQ(p ? p : "", process(root_ + "/"));
    setenv("TMPDIR", std::string(300, 'x').c_str(), 1);
    KovrunSession* s = session({});
    s->archive = nullptr;
    CaptureStderr();
    EXPECT_EQ(make_temp_dir(s, 0), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "TEMP path need more than 260 characters\n");
}

TEST_F(TempDir, NameSteps) {
    char b[KV_PATH_MAX + 1] = "t/";
    ASSERT_TRUE(kv_user_dir_path(b, 2, nullptr));
    EXPECT_STREQ(b, "t/qrx/");
    EXPECT_FALSE(kv_user_dir_path(b, 251, "bob"));
    char out[KV_PATH_MAX + 1];
    ASSERT_TRUE(kv_process_dir_path("t/qrx/", 42, out));
    EXPECT_STREQ(out, "t/qrx-42/");
    std::string at254(254, 'b'), at255(255, 'b');
    EXPECT_TRUE(kv_process_dir_path(at254.c_str(), 12345, out));  // 260 characters
    EXPECT_EQ(strlen(out), 260u);
    EXPECT_FALSE(kv_process_dir_path(at255.c_str(), 12345, out));
}

TEST_F(TempDir, ProcessDirectoryTakenOverAndRegisteredOnce) {
    std::string want = process(root_ + "/");
    ASSERT_EQ(mkdir(want.c_str(), 0700), 0);  // left by an earlier process with this id
    ASSERT_EQ(close(creat((want + "old").c_str(), 0600)), 0);
    KovrunSession* a = with_tmpdir(root_);
    KovrunSession* b = with_tmpdir(root_);
    const char* p = make_temp_dir(a, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, want);
    EXPECT_EQ(make_temp_dir(a, 1), p);
    EXPECT_STREQ(make_temp_dir(b, 1), p);
    EXPECT_EQ(listed(want), 1);
    EXPECT_EQ(mode_of(want + "old"), S_IFREG | 0600);
    cleanup_temp_dirs();
    EXPECT_EQ(mode_of(want), 0u);
}

TEST_F(TempDir, RefusesDirectoriesOthersControl) {
    struct Case {
        const char* name;
        int which;
        void (*prepare)(const std::string& dir);
    };
    const Case cases[] = {
        {"symlink", 0, [](const std::string& d) { mkdir((d + ".t").c_str(), 0700), symlink((d + ".t").c_str(), d.c_str()); }},
        {"psymlink", 1, [](const std::string& d) { mkdir((d + ".t").c_str(), 0700), symlink((d + ".t").c_str(), d.c_str()); }},
        {"group", 0, [](const std::string& d) { mkdir(d.c_str(), 0700), chmod(d.c_str(), 0770); }},
        {"other", 1, [](const std::string& d) { mkdir(d.c_str(), 0700), chmod(d.c_str(), 01777); }},
        {"file", 0, [](const std::string& d) { close(creat(d.c_str(), 0600)); }},
        {"owner", 1, [](const std::string& d) { mkdir(d.c_str(), 0700), (void)!chown(d.c_str(), 65534, 65534); }},
    };
    for (const Case& c : cases) {
        if (std::string(c.name) == "owner" && geteuid() != 0) continue;
        std::string t = root_ + "/" + c.name;
        mkdir(t.c_str(), 0700);
        std::string d = c.which ? process(t + "/") : base(t + "/");
        d.pop_back();
        c.prepare(d);
        CaptureStderr();
        EXPECT_EQ(make_temp_dir(with_tmpdir(t), c.which), nullptr) << c.name;
        EXPECT_EQ(GetCapturedStderr(), "Refusing to use " + d + "/: not a private directory of this user\n");
        EXPECT_EQ(listed(d + "/"), 0);
    }
}

TEST_F(TempDir, MkdirFailureIsReported) {
    std::string t = root_ + "/missing";
    CaptureStderr();
    EXPECT_EQ(make_temp_dir(with_tmpdir(t), 0), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "mkdir(\"" + base(t + "/") + "\") failed, errno=2\n");
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
