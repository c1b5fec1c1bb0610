#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "src/bfs/rmtree.h"
#include "src/bfs/tempdir.h"
#include "src/launcher/env.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

class Rmtree : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kv-rmtree-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ASSERT_EQ(kv_cleanup_list, nullptr);
    }
    void TearDown() override { rmtree(root_.c_str()); }
    std::string dir(const std::string& rel) {
        std::string p = root_ + "/" + rel;
        mkdir(p.c_str(), 0700);
        return p;
    }
    std::string file(const std::string& rel, mode_t mode = 0600) {
        std::string p = root_ + "/" + rel;
        close(open(p.c_str(), O_WRONLY | O_CREAT, mode));
        return p;
    }
    std::string root_;
};

TEST_F(Rmtree, RemovesReadOnlyNestedTrees) {
    for (const char* top : {"a", "b/"}) {
        std::string t = dir(top);
        file(std::string(top) + "/ro", 0400);
        dir(std::string(top) + "/sub");
        dir(std::string(top) + "/sub/deeper");
        file(std::string(top) + "/sub/deeper/ro", 0444);
        chmod((t + "/sub").c_str(), 0500);
        EXPECT_EQ(rmtree(t.c_str()), 0) << top;
        EXPECT_FALSE(exists(t)) << top;
    }
}

TEST_F(Rmtree, PathsBeyondAThousandCharacters) {
    std::string rel = "deep";
    dir(rel);
    for (int i = 0; i < 6; ++i) dir(rel += "/" + std::string(200, 'a' + i));
    file(rel + "/f");
    EXPECT_EQ(rmtree((root_ + "/deep").c_str()), 0);
    EXPECT_FALSE(exists(root_ + "/deep"));
}

TEST_F(Rmtree, NeverFollowsSymbolicLinks) {
    std::string keep = file("keep", 0600), out = dir("out"), inner = file("out/inner", 0600);
    std::string t = dir("t");
    dir("t/sub");
    ASSERT_EQ(symlink(keep.c_str(), (t + "/to-file").c_str()), 0);
    ASSERT_EQ(symlink(out.c_str(), (t + "/sub/to-dir").c_str()), 0);
    chmod((t + "/sub").c_str(), 0500);
    std::string top = root_ + "/top";
    ASSERT_EQ(symlink(out.c_str(), top.c_str()), 0);
    EXPECT_EQ(rmtree((top + "/").c_str()), -1);  // the trailing '/' must not lead inside
    EXPECT_EQ(rmtree(t.c_str()), 0);
    EXPECT_FALSE(exists(t));
    EXPECT_TRUE(exists(inner));
    struct stat st;
    ASSERT_EQ(stat(keep.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Rmtree, MissingDirectoryFails) {
    errno = 0;
    EXPECT_EQ(rmtree((root_ + "/none").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Rmtree, CleanupEmptyListOnlyClearsInitialised) {
    kovrun_initialized = true;
    CaptureStderr();
    cleanup_temp_dirs();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(kovrun_initialized);
}

TEST_F(Rmtree, CleanupRemovesNewestFirst) {
    // Oldest first would remove outer with inner in it, then fail on inner.
    std::string outer = dir("outer"), inner = dir("outer/inner");
    file("outer/inner/f");
    ASSERT_TRUE(kv_register_cleanup(outer.c_str()));
    ASSERT_TRUE(kv_register_cleanup(inner.c_str()));
    ASSERT_TRUE(kv_register_cleanup(outer.c_str()));  // already listed
    CaptureStderr();
    cleanup_temp_dirs();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(exists(outer));
    EXPECT_EQ(kv_cleanup_list, nullptr);
}

TEST_F(Rmtree, CleanupReportsAVanishedDirectoryAndGoesOn) {
    std::string x = dir("x"), y = dir("y");
    file("y/f");
    kv_register_cleanup(x.c_str());
    kv_register_cleanup((root_ + "/gone").c_str());
    kv_register_cleanup(y.c_str());
    CaptureStderr();
    cleanup_temp_dirs();
    EXPECT_EQ(GetCapturedStderr(), std::string("rmtree failed: ") + strerror(ENOENT) + "\n");
    EXPECT_FALSE(exists(x) || exists(y));
    EXPECT_EQ(kv_cleanup_list, nullptr);
}

}  // namespace
