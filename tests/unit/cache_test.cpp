// The per-user cache of the runtime library and libperl: a damaged archive
// never puts a library into it, a cached library damaged later is written
// again, files left by a killed start are removed once their writer is gone,
// and a checksum directory that is not the user's own is refused.
//
// Loads run in the runtime probe (a fresh process each), on archives whose
// libraries are stored plain, so that a flipped byte reaches the checks and
// is not caught by decompression first.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kv_layout.h"
#include "platform/platform.h"
#include "src/bfs/bfs_write.h"
#include "tools/md5.h"
#include "src/launcher/session.h"
#include "tests/libs/fork_child.h"
#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"
#include "tools/pack_common.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kRuntimeName = KV_RUNTIME_NAME;
const std::string kRuntime = std::string(KV_LIB_DIR) + "/" + kRuntimeName;
const std::string kLibperl = "libperl.so.5.36";

using Bytes = std::vector<unsigned char>;
Bytes bytes(const std::string& s) { return {s.begin(), s.end()}; }
Bytes file_bytes(const std::string& path) { return bytes(read_text(path)); }
std::string crc_of(const Bytes& b) {
    char text[9];
    snprintf(text, sizeof text, "%08lx", crc32_z(0, b.data(), b.size()));
    return text;
}
off_t size_of(const std::string& path) { return file_id(path).size; }

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class Cache : public ::testing::Test {
protected:
    void SetUp() override {
        char u[KV_PATH_MAX + 1];
        user_dir_ = plat_user_name(u, sizeof u) ? std::string("qrx-") + u : "qrx";
        runtime_ = file_bytes(kRuntime);
        std::string lib = loader_choice(kLibperl);
        ASSERT_FALSE(runtime_.empty() || lib.empty()) << "runtime library or " << kLibperl << " missing";
        libperl_ = file_bytes(lib);
        Md5 sum;
        sum.update(runtime_.data(), runtime_.size());
        sum.update(libperl_.data(), libperl_.size());
        md5_ = sum.hex();
    }

    // An archive of the runtime library and libperl as the packer binds
    // them; the checksum entries are those of the genuine libraries.
    std::string archive(const Bytes& runtime, const Bytes& libperl, bool checksums = true) {
        std::vector<BfsWriteEntry> entries = {{kRuntimeName, runtime, true},
                                              {kLibperl, libperl, true},
                                              {"*PERLDEPS", bytes(kLibperl + "\n")},
                                              {"perl.md5", bytes(md5_)},
                                              {"*TMPDIR", bytes(temp_.path)}};
        if (checksums) {
            entries.push_back({kRuntimeName + ".crc32", bytes(crc_of(runtime_))});
            entries.push_back({kLibperl + ".crc32", bytes(crc_of(libperl_))});
        }
        Bytes image;
        std::string error;
        EXPECT_TRUE(bfs_write_archive(entries, {}, &image, nullptr, &error)) << error;
        std::string path = work_.file("archive" + std::to_string(++archives_));
        write_text(path, "host" + std::string(image.begin(), image.end()));
        return path;
    }
    std::string intact() { return archive(runtime_, libperl_); }

    // The debugger output goes to a fresh log. The writers that the probe
    // left are waited for, and its process directories masked.
    ProcResult probe(const std::string& archive, const std::string& search = "", bool wait = true) {
        unlink(log().c_str());
        ProcResult r = run_process({std::string(KV_TEST_LIBS_DIR) + "/kv_runtime_probe", kRuntimeName, "-", archive},
                                   {"KOVRUN_DEBUG_LOG=" + log(),
                                    search.empty() ? "LD_LIBRARY_PATH" : "LD_LIBRARY_PATH=" + search});
        if (wait) wait_for_cache_writers(temp_.path);
        r.out = mask_process_dirs(r.out);
        r.err = mask_process_dirs(r.err);
        return r;
    }
    std::string log() const { return work_.file("debug.log"); }

    std::string base() const { return temp_.path + "/" + user_dir_; }
    std::string cache() const { return base() + "/" + md5_; }
    std::string cached(const std::string& name) const { return cache() + "/" + name; }

    // Where a start that wrote the library loads it from: its process
    // directory, while a detached writer puts it into the cache.
    std::string linked(const std::string& name) const { return base() + "-*/" + name; }

    // Loaded from the cache (through the process directory by a start that
    // wrote it), which holds the genuine libraries.
    void expect_loaded_from_cache(const ProcResult& r, const std::string& what, bool wrote = false) {
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        EXPECT_EQ(r.out, "loaded " + (wrote ? linked(kRuntimeName) : cached(kRuntimeName)) + "\n") << what;
        EXPECT_EQ(r.err, "") << what;
        EXPECT_TRUE(file_bytes(cached(kRuntimeName)) == runtime_) << what;
        EXPECT_TRUE(file_bytes(cached(kLibperl)) == libperl_) << what;
    }

    TempDir work_, temp_;
    std::string user_dir_, md5_;
    Bytes runtime_, libperl_;
    int archives_ = 0;
};

TEST_F(Cache, DamagedLibraryIsRefusedAndLeavesNothingBehind) {
    for (const std::string& name : {kRuntimeName, kLibperl}) {
        Bytes runtime = runtime_, libperl = libperl_;
        Bytes& damaged = name == kRuntimeName ? runtime : libperl;
        damaged[damaged.size() / 2] ^= 0x10;
        ProcResult r = probe(archive(runtime, libperl));
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "Panic: Damaged archive: " + name + " does not match its checksum\n");
        EXPECT_EQ(listing(base()), std::vector<std::string>{}) << name;
    }
    // The intact program of the same build is not hindered by it.
    expect_loaded_from_cache(probe(intact()), "intact", true);
}

TEST_F(Cache, CachedLibraryDamagedLaterIsWrittenAgain) {
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string logged;  // on the debugger output
    };
    std::vector<Case> cases = {
        // Mapping a truncated library would end in SIGBUS: its size gives it away.
        {"libperl truncated", [&] { ASSERT_EQ(truncate(cached(kLibperl).c_str(), libperl_.size() / 2), 0); }, ""},
        {"libperl empty", [&] { ASSERT_EQ(truncate(cached(kLibperl).c_str(), 0), 0); }, ""},
        {"runtime truncated", [&] { ASSERT_EQ(truncate(cached(kRuntimeName).c_str(), 100), 0); }, ""},
        {"runtime removed", [&] { ASSERT_EQ(unlink(cached(kRuntimeName).c_str()), 0); }, ""},
        // Of the right size, but the loader refuses it, and says why.
        {"runtime zeroed", [&] { write_text(cached(kRuntimeName), std::string(runtime_.size(), '\0')); },
         "Writing " + cached(kRuntimeName) + " again: " + cached(kRuntimeName) + ": invalid ELF header\n"},
    };
    std::string a = intact();
    expect_loaded_from_cache(probe(a), "first start", true);
    for (const Case& c : cases) {
        c.damage();
        expect_loaded_from_cache(probe(a), c.what, true);
        EXPECT_EQ(read_text(log()), c.logged) << c.what;
        EXPECT_EQ(listing(cache()), (std::vector<std::string>{kLibperl, kRuntimeName})) << c.what;
    }
}

TEST_F(Cache, UnloadableLibraryFallsBackToTheSearchPathOrSaysWhy) {
    // An archive from before the checksums: the library is written unchecked.
    std::string a = archive(bytes("not a library"), libperl_, false);
    ProcResult r = probe(a);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: Can't load " + kRuntimeName + ": " + linked(kRuntimeName) + ": file too short\n");
    r = probe(a, KV_LIB_DIR);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded " + kRuntime + "\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Cache, LeftOverTemporaryFilesAreRemovedOnlyWhenTheirWriterIsGone) {
    std::string a = intact();
    expect_loaded_from_cache(probe(a), "first start", true);
    const std::string stale = cached(kRuntimeName + ".4242.tmp"), target = work_.file("target");
    write_text(stale, "left by a killed start");
    write_text(target, "not ours to remove");
    ASSERT_EQ(symlink(target.c_str(), cached("link.tmp").c_str()), 0);
    std::vector<std::string> kept = {kLibperl, kRuntimeName, "link.tmp"};
    if (geteuid() == 0) {
        // Another user's file, which only root can plant here.
        write_text(cached("foreign.tmp"), "x");
        ASSERT_EQ(lchown(cached("foreign.tmp").c_str(), 65534, 65534), 0);
        kept.push_back("foreign.tmp");
    }
    std::sort(kept.begin(), kept.end());

    // A writer at work holds the directory's lock: its files stay.
    int writer = open(cache().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(flock(writer, LOCK_SH), 0);
    expect_loaded_from_cache(probe(a, "", false), "writer at work");
    EXPECT_EQ(read_text(stale), "left by a killed start");
    close(writer);

    expect_loaded_from_cache(probe(a), "writer gone");
    EXPECT_EQ(listing(cache()), kept);
    EXPECT_EQ(read_text(target), "not ours to remove");
}

TEST_F(Cache, ChecksumDirectoryThatIsNotTheUsersOwnIsRefused) {
    const std::string elsewhere = work_.file("elsewhere");
    struct Case {
        const char* what;
        std::function<void()> plant;
    };
    auto directory = [&](mode_t mode, uid_t owner) {
        ASSERT_EQ(mkdir(cache().c_str(), 0700), 0);
        ASSERT_EQ(chmod(cache().c_str(), mode), 0);
        ASSERT_EQ(chown(cache().c_str(), owner, static_cast<gid_t>(-1)), 0);
    };
    std::vector<Case> cases = {
        {"link", [&] { ASSERT_EQ(symlink(elsewhere.c_str(), cache().c_str()), 0); }},
        {"group-writable", [&] { directory(0770, geteuid()); }},
        {"file", [&] { write_text(cache(), ""); }},
    };
    // Another user's, which only root can plant.
    if (geteuid() == 0) cases.push_back({"foreign", [&] { directory(0700, 65534); }});
    std::string a = intact();
    ASSERT_EQ(mkdir(base().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    for (const Case& c : cases) {
        c.plant();
        ProcResult r = probe(a);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, "Panic: Refusing to use " + cache() + "/: not a private directory of this user\n") << c.what;
        EXPECT_EQ(listing(elsewhere), std::vector<std::string>{}) << c.what << ": written through";
        std::filesystem::remove_all(cache());
    }
}

TEST_F(Cache, PackedProgramWithADamagedLibperlIsRefusedAndTheIntactOneRepairsItsCache) {
    if (access((kBin + "/kovrun").c_str(), X_OK) != 0) GTEST_SKIP() << "console host not built";
    write_text(work_.file("hello.pl"), "print qq(hello\\n);\n");
    std::string exe = work_.file("hello"), damaged = work_.file("damaged");
    ProcResult packed = run_process({kBin + "/kovpack", "-q", work_.file("hello.pl"), "-o", exe});
    ASSERT_EQ(packed.status, 0) << packed.err;

    // One byte of the bound libperl flipped.
    Bytes file;
    BfsArchive archive;
    bfs_cursor c;
    std::string error;
    ASSERT_TRUE(load_archive_file(exe.c_str(), &file, &archive, &error)) << error;
    ASSERT_TRUE(bfs_lookup(&archive, kLibperl.c_str(), kLibperl.size(), &c));
    file[static_cast<size_t>(c.entry_block - file.data()) + BFS_BLOCK_HEAD_SIZE + bfs_size(&c) / 2] ^= 0x10;
    write_text(damaged, std::string(file.begin(), file.end()));
    ASSERT_EQ(chmod(damaged.c_str(), 0755), 0);

    std::vector<std::string> env = {"TMPDIR=" + temp_.path, "LD_LIBRARY_PATH"};
    // Under the leak checker, its summary would end up on standard error.
    if (const char* lsan = getenv("LSAN_OPTIONS"))
        env.push_back(std::string("LSAN_OPTIONS=") + lsan + ":print_suppressions=0");
    ProcResult r = run_process({damaged}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Panic: Damaged archive: " + kLibperl + " does not match its checksum\n");
    EXPECT_EQ(listing(base()), std::vector<std::string>{});

    std::string cache = base() + "/" + run_process({kBin + "/kovpack", "--extract", "perl.md5", exe}).out;
    for (const char* what : {"first start", "truncated libperl"}) {
        r = run_process({exe}, env);
        wait_for_cache_writers(temp_.path);
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        EXPECT_EQ(r.out, "hello\n") << what;
        EXPECT_EQ(r.err, "") << what;
        EXPECT_EQ(size_of(cache + "/" + kLibperl), static_cast<off_t>(libperl_.size())) << what;
        ASSERT_EQ(truncate((cache + "/" + kLibperl).c_str(), 4096), 0);
    }
}

}  // namespace
