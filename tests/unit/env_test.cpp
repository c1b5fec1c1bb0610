#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/launcher/env.h"

namespace {

using Entries = std::vector<std::string>;

// Each case runs env_kill on exactly the given environment, in that order;
// the process environment is put back afterwards.
class EnvKill : public ::testing::Test {
protected:
    void SetUp() override {
        for (char** e = plat_environ(); e && *e; ++e) saved_.emplace_back(*e);
        reset();
    }
    void TearDown() override {
        reset();
        for (const auto& s : saved_) {
            size_t eq = s.find('=');
            setenv(s.substr(0, eq).c_str(), s.c_str() + eq + 1, 1);
        }
    }
    void reset() {
        clearenv();
        free(saved_perl5lib);
        saved_perl5lib = nullptr;
        kovrun_initialized = false;
    }
    static Entries run(const Entries& entries) {
        for (const auto& s : entries) {
            size_t eq = s.find('=');
            setenv(s.substr(0, eq).c_str(), s.c_str() + eq + 1, 1);
        }
        EXPECT_EQ(env_kill(), 0);
        EXPECT_TRUE(kovrun_initialized);
        Entries left;
        for (char** e = plat_environ(); e && *e; ++e) left.emplace_back(*e);
        return left;
    }
    static std::string saved() { return saved_perl5lib ? saved_perl5lib : "(null)"; }
    Entries saved_;
};

TEST_F(EnvKill, RemovesTheFiveVariablesInAnyCaseEvenWhenAdjacent) {
    EXPECT_EQ(run({"HOME=/h", "Perl5Lib=/opt/lib", "perl5opt=-w", "PERL5DB=BEGIN{}", "Perl5Shell=sh", "PATH=/bin"}),
              (Entries{"HOME=/h", "PATH=/bin"}));
    EXPECT_EQ(saved(), "/opt/lib");
}

TEST_F(EnvKill, KeepsOtherPerlNames) {
    Entries keep{"PERL5DB_X=1", "PERL5OPTS=2", "PERLDB_OPTS=3", "PERLIO=4", "PERL=5", "PERL5LIBX=6"};
    EXPECT_EQ(run(keep), keep);
    EXPECT_EQ(saved(), "(null)");
}

TEST_F(EnvKill, LibraryPathPrefersPerl5libInEitherOrder) {
    EXPECT_EQ(run({"PERLLIB=/b", "PERL5LIB=/a=x"}), Entries{});
    EXPECT_EQ(saved(), "/a=x");
    reset();
    EXPECT_EQ(run({"PERL5LIB=/a", "PERLLIB=/b"}), Entries{});
    EXPECT_EQ(saved(), "/a");
    reset();
    EXPECT_EQ(run({"X=1", "perllib=/b"}), Entries{"X=1"});
    EXPECT_EQ(saved(), "/b");
}

TEST_F(EnvKill, EmptyEnvironmentOnlyInitialises) {
    EXPECT_EQ(run({}), Entries{});  // no table at all after clearenv
    setenv("A", "1", 1);
    unsetenv("A");
    EXPECT_EQ(run({}), Entries{});  // a table without entries
    EXPECT_EQ(saved(), "(null)");
    plat_lock();
    plat_unlock();
}

TEST_F(EnvKill, RemoveNeverSetsAndFreesItsText) {
    setenv("KV_A", "1", 1);
    setenv("KV_B", "2", 1);
    env_remove(strdup("KV_A="));
    env_remove(strdup("KV_B=value"));  // handed on, it would leave freed text in the table
    EXPECT_EQ(run({}), Entries{});
}

}  // namespace
