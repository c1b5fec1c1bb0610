// Packed programs that carry libperl: the bound copy is written beside the
// runtime library and mapped from there (not from the system), kept in the
// cache for later starts, put into the per-process directory by "*CLEAN",
// and left out by --no-bundle-libperl.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/launcher/session.h"
#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kLibperl = "libperl.so.5.36";
const std::string kRuntimeName = "perl536.so";

// Prints every file the process maps libperl from, then every file it maps
// the runtime library from.
const char* const kMapsScript = R"(open my $maps, '<', '/proc/self/maps' or die "maps: $!";
my %seen;
while (<$maps>) { $seen{$1} = 1 if m{ (/\S*/(?:libperl\S*|perl536\.so))$} }
print "$_\n" for (sort grep { m{/libperl[^/]*$} } keys %seen), (sort grep { m{/perl536\.so$} } keys %seen);
)";


std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct BundledLibperl : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path
    std::string user_dir;

    void SetUp() override {
        if (access((kBin + "/kovrun").c_str(), X_OK) != 0 ||
            access((std::string(KV_LIB_DIR) + "/" + kRuntimeName).c_str(), R_OK) != 0)
            GTEST_SKIP() << "console host or runtime library not built";
        char u[KV_PATH_MAX + 1];
        user_dir = plat_user_name(u, sizeof u) ? std::string("qrx-") + u : "qrx";
        write_text(dir.file("maps.pl"), kMapsScript);
    }
    // Packs the maps script into dir/NAME with the extra options.
    std::string pack(const std::string& name, std::vector<std::string> options = {}) {
        return pack_quietly(dir.file("maps.pl"), dir.file(name), options);
    }
    // Runs a program from the shell command `prefix` ("" to run it directly).
    ProcResult run(const std::string& exe, const std::string& prefix = "") {
        std::vector<std::string> env = {"TMPDIR=" + tmp.path, "LD_LIBRARY_PATH"};
        // Under the leak checker, its summary of suppressed leaks would
        // end up on the program's standard error.
        if (const char* lsan = getenv("LSAN_OPTIONS")) env.push_back(std::string("LSAN_OPTIONS=") + lsan + ":print_suppressions=0");
        ProcResult r = prefix.empty() ? run_process({exe}, env) : run_process({"/bin/sh", "-c", prefix + " \"$0\"", exe}, env);
        wait_for_cache_writers(tmp.path);
        return r;
    }
    // Where a start that wrote the libraries maps them from: its process
    // directory, while a detached writer puts them into the cache.
    std::string linked() const { return tmp.path + "/" + user_dir + "-*"; }
    std::string cache_of(const std::string& exe) {
        ProcResult r = run_process({kBin + "/kovpack", "--extract", "perl.md5", exe});
        EXPECT_EQ(r.out.size(), 32u) << r.err;
        return tmp.path + "/" + user_dir + "/" + r.out;
    }
    // The system's libperl, as a program without its own copy maps it.
    std::string system_libperl() {
        ProcResult r = run(pack("system", {"--no-bundle-libperl"}));
        EXPECT_EQ(r.status, 0) << r.err;
        size_t end = r.out.find('\n');
        return end == std::string::npos ? "" : r.out.substr(0, end);
    }
};

TEST_F(BundledLibperl, MappedFromTheCacheAndReusedByTheNextStart) {
    std::string exe = pack("app");
    std::string cache = cache_of(exe);
    ProcResult first = run(exe);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(mask_process_dirs(first.out), linked() + "/" + kLibperl + "\n" + linked() + "/" + kRuntimeName + "\n");
    EXPECT_EQ(files_in(cache), (std::vector<std::string>{kLibperl, kRuntimeName}));
    std::string system = system_libperl();
    ASSERT_FALSE(system.empty());
    EXPECT_TRUE(read_text(cache + "/" + kLibperl) == read_text(system)) << "the cached copy is not " << system;
    FileId lib = file_id(cache + "/" + kLibperl), runtime = file_id(cache + "/" + kRuntimeName);

    ProcResult second = run(exe);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, cache + "/" + kLibperl + "\n" + cache + "/" + kRuntimeName + "\n");
    EXPECT_TRUE(file_id(cache + "/" + kLibperl) == lib) << "libperl was written again";
    EXPECT_TRUE(file_id(cache + "/" + kRuntimeName) == runtime) << "the runtime library was written again";
}

TEST_F(BundledLibperl, LeftOutTheSystemsIsMappedAndNeverOneFromTheWorkingDirectory) {
    std::string exe = pack("app", {"--no-bundle-libperl"});
    ProcResult r = run(exe);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string cache = cache_of(exe);
    std::string system = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(mask_process_dirs(r.out), system + "\n" + linked() + "/" + kRuntimeName + "\n");
    EXPECT_EQ(system.rfind(tmp.path, 0), std::string::npos) << system;
    EXPECT_EQ(files_in(cache), std::vector<std::string>{kRuntimeName});
    ProcResult list = run_process({kBin + "/kovpack", "--list", exe});
    EXPECT_EQ(list.out.find(kLibperl), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("*PERLDEPS"), std::string::npos) << list.out;

    // The runtime's run path is its own directory only: a libperl in the
    // working directory is not picked up.
    std::filesystem::create_directory(dir.file("cwd"));
    std::filesystem::copy_file(system, dir.file("cwd/" + kLibperl));
    ProcResult in_cwd = run(exe, "cd '" + dir.file("cwd") + "' && exec");
    ASSERT_EQ(in_cwd.status, 0) << in_cwd.err;
    EXPECT_EQ(in_cwd.out, system + "\n" + cache + "/" + kRuntimeName + "\n");
}

TEST_F(BundledLibperl, CleanPutsBothIntoTheProcessDirectoryWhichIsRemovedAtExit) {
    std::string exe = pack("app", {"--clean"});
    ProcResult r = run(exe);
    ASSERT_EQ(r.status, 0) << r.err;
    // TEMP/qrx-USER-PID-SUFFIX/ for both.
    std::string head = tmp.path + "/" + user_dir + "-";
    ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;
    std::string process_dir = r.out.substr(0, r.out.find('/', head.size()) + 1);
    std::string pid = process_dir.substr(head.size(), process_dir.size() - head.size() - 1);
    EXPECT_EQ(pid.find_first_not_of("0123456789"), pid.size() - 13) << r.out;
    EXPECT_EQ(pid.find_first_not_of("0123456789abcdef", pid.size() - 12), std::string::npos) << r.out;
    EXPECT_EQ(r.out, process_dir + kLibperl + "\n" + process_dir + kRuntimeName + "\n");
    EXPECT_FALSE(std::filesystem::exists(process_dir)) << process_dir << " left behind";
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp.path))
        EXPECT_NE(e.path().filename(), kLibperl) << e.path();
}

TEST_F(BundledLibperl, RunsWhereTheSystemsLibperlCannotBeLoaded) {
    // A private mount namespace in which the system's libperl is empty.
    if (run_process({"/usr/bin/unshare", "-m", "/bin/true"}).status != 0) GTEST_SKIP() << "no mount namespaces here";
    std::string system = std::filesystem::canonical(system_libperl());
    std::string bundled = pack("app"), plain = pack("plain", {"--no-bundle-libperl"});
    std::string hide = "exec /usr/bin/unshare -m /bin/sh -c 'mount --bind /dev/null \"$1\" && exec \"$0\"' \"$0\" '" + system + "'; :";
    ASSERT_EQ(run("/bin/true", hide).status, 0) << "cannot hide " << system;

    ProcResult r = run(bundled, hide);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(mask_process_dirs(r.out), linked() + "/" + kLibperl + "\n" + linked() + "/" + kRuntimeName + "\n");

    // Without its own copy the program says why the loader refused.
    r = run(plain, hide);
    EXPECT_EQ(r.status, 1);
    const std::string head = "Panic: Can't load " + kRuntimeName + ": /", tail = "/" + kLibperl + ": file too short\n";
    EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
    EXPECT_TRUE(r.err.size() > tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0) << r.err;
}

}  // namespace
