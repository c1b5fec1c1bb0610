// Resolving the API table from stand-in libraries, and loading the real
// runtime library through load_runtime: cache directory, process directory,
// fallbacks and the exact panics.
//
// Table resolution runs in forked children (the table is process-wide);
// every load runs in a fresh process of the runtime probe, because a library
// once loaded stays loaded and the search path is read at process start.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "src/bfs/bfs_write.h"
#include "src/binding/api.h"
#include "tests/libs/fake_runtime.h"
#include "tests/libs/fork_child.h"
#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"

namespace {

const std::string kTestLibs = KV_TEST_LIBS_DIR;
const std::string kRuntimeDir = KV_LIB_DIR;
const std::string kRuntimeName = KV_RUNTIME_NAME;
const std::string kRuntime = kRuntimeDir + "/" + kRuntimeName;

std::string fake(const std::string& name) { return kTestLibs + "/" + name + ".so"; }
// The stand-in whose version-dependent names are chosen by two masks: bit 1
// the older name, bit 2 the flags name (catsv, then 2pv).
std::string shim_lib(int cat, int pv) { return fake("fake_cat" + std::to_string(cat) + "_pv" + std::to_string(pv)); }

// ---- resolve_api ------------------------------------------------------------------

PerlApi table;  // resolved aside, in forked children

// Child side: loads `path`, resolves `table` from it and prints
// "complete=N", then one line per slot whose value is not what the library
// exports under the slot's name.
int print_resolution(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        printf("dlopen failed: %s\n", dlerror());
        return 1;
    }
    printf("complete=%d\n", resolve_api_table(h, &table));
    for (int i = 0; i < KV_API_SLOT_COUNT; i++)
        if (api_slot_value(i, &table) != dlsym(h, api_slot_name(i))) printf("slot %s differs\n", api_slot_name(i));
    return 0;
}

std::string missing_slots() {
    std::string s;
    for (int i = 0; i < KV_API_SLOT_COUNT; i++)
        if (!api_slot_value(i, &table)) s += std::string(s.empty() ? "" : " ") + api_slot_name(i);
    return s;
}

TEST(ResolveApi, CompleteWhenEachShimHasOneVariant) {
    // One child resolves from all sixteen libraries in turn: each resolution
    // must rewrite every slot, including those the previous library filled.
    ChildRun r = run_in_child([] {
        for (int cat = 0; cat < 4; cat++)
            for (int pv = 0; pv < 4; pv++) {
                printf("cat%d pv%d: ", cat, pv);
                if (print_resolution(shim_lib(cat, pv)) != 0) return 1;
            }
        return 0;
    });
    std::string expected;
    for (int cat = 0; cat < 4; cat++)
        for (int pv = 0; pv < 4; pv++)
            expected += "cat" + std::to_string(cat) + " pv" + std::to_string(pv) +
                        ": complete=" + (cat != 0 && pv != 0 ? "1" : "0") + "\n";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST(ResolveApi, MissingRequiredNameIsRefusedAndTheRestStillResolved) {
    for (const char* lib : {"fake_no_win32_init", "fake_no_statusvalue"}) {
        ChildRun r = run_in_child([&] {
            int rc = print_resolution(fake(lib));
            printf("missing: %s\n", missing_slots().c_str());
            return rc;
        });
        std::string name = std::string(lib) == "fake_no_win32_init" ? "Perl_win32_init" : "Perl_Istatusvalue_ptr";
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "complete=0\nmissing: " + name + "\n") << lib;
    }
}

TEST(ResolveApi, ProcessTableIsOnlyReplacedByACompleteTableOfTheEmbeddedPerl) {
    // A running session calls through the process-wide table: a library
    // that is incomplete or serves another Perl must leave it as it was.
    ChildRun r = run_in_child([] {
        void* full = dlopen(shim_lib(3, 3).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!full || resolve_api(full) != 1) return 1;
        PerlApi before = api;
        for (const char* lib : {"fake_cat1_pv0", "fake_no_win32_init", "fake_other_perl", "fake_unstamped"}) {
            void* h = dlopen(fake(lib).c_str(), RTLD_NOW | RTLD_LOCAL);
            ApiRefusal why = ApiRefusal::none;
            int done = h ? resolve_api(h, &why) : -1;
            const char* reason = why == ApiRefusal::incomplete ? "incomplete" : why == ApiRefusal::other_perl ? "other" : "none";
            printf("%s: %d %s %s\n", lib, done, reason, memcmp(&api, &before, sizeof api) == 0 ? "kept" : "replaced");
        }
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "fake_cat1_pv0: 0 incomplete kept\nfake_no_win32_init: 0 incomplete kept\n"
              "fake_other_perl: 0 other kept\nfake_unstamped: 0 other kept\n");
}

// Child side: calls both shims once through the table filled from `path` and
// prints what reached the library.
int print_shim_calls(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto calls_of = h ? reinterpret_cast<KvtCalls* (*)()>(dlsym(h, KVT_CALLS_SYMBOL)) : nullptr;
    if (!calls_of) return 1;
    // Filled even when incomplete: the shims' fallbacks are the point here.
    resolve_api_table(h, &api);
    auto* interp = reinterpret_cast<KvInterp*>(0x5a5a0);
    char destination[16] = "ab";
    char source[] = "cd";
    sv_catsv_compat(interp, reinterpret_cast<KvSV*>(destination), reinterpret_cast<KvSV*>(source));
    const KvtCalls* c = calls_of();
    printf("cat: %s old=%d flags=%d", destination, c->sv_catsv, c->sv_catsv_flags);
    if (c->sv_catsv_flags) printf(" flag=%ld", c->last_flags);
    printf(" interp=%s\n", c->last_interp == interp ? "ok" : "wrong");

    char value[] = "text";
    KvStrLen length = 99;
    char* text = sv_2pv_compat(interp, reinterpret_cast<KvSV*>(value), &length);
    printf("pv: %s len=%zu old=%d flags=%d", text ? text : "(null)", length, c->sv_2pv, c->sv_2pv_flags);
    if (c->sv_2pv_flags) printf(" flag=%ld", c->last_flags);
    printf("\n");
    return 0;
}

TEST(ResolveApi, ShimsPreferTheOlderNameAndPassGetMagicToFlagsVariants) {
    struct Case {
        int cat, pv;
        const char* expected;
    } cases[] = {
        {1, 1, "cat: abcd old=1 flags=0 interp=ok\npv: text len=4 old=1 flags=0\n"},
        {2, 2, "cat: abcd old=0 flags=1 flag=2 interp=ok\npv: text len=4 old=0 flags=1 flag=2\n"},
        // Both exported: the older one, and the source appended exactly once.
        {3, 3, "cat: abcd old=1 flags=0 interp=ok\npv: text len=4 old=1 flags=0\n"},
        {1, 2, "cat: abcd old=1 flags=0 interp=ok\npv: text len=4 old=0 flags=1 flag=2\n"},
        {2, 1, "cat: abcd old=0 flags=1 flag=2 interp=ok\npv: text len=4 old=1 flags=0\n"},
        // Neither string variant: no string, the length untouched.
        {1, 0, "cat: abcd old=1 flags=0 interp=ok\npv: (null) len=99 old=0 flags=0\n"},
    };
    for (const Case& c : cases) {
        ChildRun r = run_in_child([&] { return print_shim_calls(shim_lib(c.cat, c.pv)); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.expected) << "cat" << c.cat << " pv" << c.pv;
    }
}

// ---- load_runtime ---------------------------------------------------------------------

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::string s = read_text(path);
    return {s.begin(), s.end()};
}

std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string md5_of(const std::string& path) { return run_process({"/usr/bin/md5sum", path}).out.substr(0, 32); }


std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class LoadRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(work_.path.empty());
        ASSERT_FALSE(temp_.path.empty());
        char u[KV_PATH_MAX + 1];
        user_dir_ = plat_user_name(u, sizeof u) ? std::string("qrx-") + u : "qrx";
        runtime_ = file_bytes(kRuntime);
        ASSERT_FALSE(runtime_.empty()) << kRuntime;
        md5_ = md5_of(kRuntime);
        ASSERT_EQ(md5_.size(), 32u);
    }

    // Writes an archive of the entries to a new file, after a few bytes that
    // stand for the executable, and returns its path.
    std::string archive(std::vector<BfsWriteEntry> entries) {
        std::vector<unsigned char> image;
        std::string error;
        EXPECT_TRUE(bfs_write_archive(entries, {}, &image, nullptr, &error)) << error;
        std::string path = work_.file("archive" + std::to_string(++archives_));
        write_text(path, "host" + std::string(image.begin(), image.end()));
        return path;
    }
    // The runtime bound under its name with its checksum, TEMP in temp_.
    std::string bound_runtime() {
        return archive({{kRuntimeName, runtime_}, {"perl.md5", bytes(md5_)}, {"*TMPDIR", bytes(temp_.path)}});
    }

    std::string base() const { return temp_.path + "/" + user_dir_ + "/"; }
    std::string cached(const std::string& name = kRuntimeName) const { return base() + md5_ + "/" + name; }
    // Where a start that wrote the library loads it from: its process
    // directory, while a detached writer puts it into the cache.
    std::string linked(const std::string& name = kRuntimeName) const {
        return temp_.path + "/" + user_dir_ + "-*/" + name;
    }

    // Runs the probe on the archives; the debugger output goes to a fresh
    // log, and the library search path is `search` (none when empty). The
    // writers it left are waited for, and its process directories masked.
    ProcResult probe(const std::string& name, const std::string& alternative, const std::vector<std::string>& archives,
                     const std::string& search = "") {
        std::vector<std::string> args = {kTestLibs + "/kv_runtime_probe", name, alternative.empty() ? "-" : alternative};
        args.insert(args.end(), archives.begin(), archives.end());
        unlink(log().c_str());
        ProcResult r =
            run_process(args, {"KOVRUN_DEBUG_LOG=" + log(), search.empty() ? "LD_LIBRARY_PATH" : "LD_LIBRARY_PATH=" + search});
        wait_for_cache_writers(temp_.path);
        raw_out_ = r.out;
        r.out = mask_process_dirs(r.out);
        r.err = mask_process_dirs(r.err);
        return r;
    }
    std::string log() const { return work_.file("debug.log"); }

    // A failed load: reported exactly once on each channel, nothing else said.
    void expect_panic(const ProcResult& r, const std::string& message) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "failed\n");
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(mask_process_dirs(read_text(log())), message);
    }

    TempDir work_;  // archives and the debugger log
    TempDir temp_;  // what the archives name as TEMP
    std::string user_dir_, md5_;
    std::string raw_out_;  // the last probe's output as it was
    std::vector<unsigned char> runtime_;
    int archives_ = 0;
};

TEST_F(LoadRuntime, FirstStartWritesTheCacheAndTheNextLoadsItWithoutWriting) {
    std::string a = bound_runtime();
    ProcResult first = probe(kRuntimeName, "", {a});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "loaded " + linked() + "\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(file_bytes(cached()), runtime_);
    // Nothing else is left beside it, no temporary file in particular.
    EXPECT_EQ(listing(base() + md5_), std::vector<std::string>{kRuntimeName});
    FileId before = file_id(cached());
    ASSERT_GT(before.size, 0);

    ProcResult second = probe(kRuntimeName, "", {a});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "loaded " + cached() + "\n");
    EXPECT_TRUE(file_id(cached()) == before) << "the cached library was written again";
}

TEST_F(LoadRuntime, LibraryAlreadyInTheProcessIsUsedWithoutTheArchive) {
    TempDir other;
    std::string empty = archive({{"*TMPDIR", bytes(other.path)}});
    ProcResult r = probe(kRuntimeName, "", {bound_runtime(), empty});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded " + linked() + "\nloaded " + linked() + "\n");
    EXPECT_TRUE(listing(other.path).empty()) << "the second session made directories";
}

TEST_F(LoadRuntime, AlternativeNameIsTakenFromTheArchiveWhenTheFirstIsNotBound) {
    std::string a = archive({{"perl58.so", runtime_}, {"perl.md5", bytes(md5_)}, {"*TMPDIR", bytes(temp_.path)}});
    ProcResult r = probe(kRuntimeName, "perl58.so", {a});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded " + linked("perl58.so") + "\n");
}

TEST_F(LoadRuntime, CleanBuildWritesIntoTheProcessDirectoryWithoutChecksum) {
    // "perl.md5" is not read at all, so a damaged one does not matter.
    for (const char* md5 : {"", "0123456789abcdef0123456789abcde"}) {
        std::vector<BfsWriteEntry> entries = {{kRuntimeName, runtime_}, {"*CLEAN", {}}, {"*TMPDIR", bytes(temp_.path)}};
        if (*md5) entries.push_back({"perl.md5", bytes(md5)});
        ProcResult r = probe(kRuntimeName, "", {archive(entries)});
        ASSERT_EQ(r.status, 0) << r.err;
        r.out = raw_out_;
        // "loaded TEMP/qrx-USER-PID-SUFFIX/NAME", PID being the probe's.
        std::string head = "loaded " + temp_.path + "/" + user_dir_ + "-", tail = "/" + kRuntimeName + "\n";
        ASSERT_GT(r.out.size(), head.size() + tail.size()) << r.out;
        ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out;
        ASSERT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
        std::string pid = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
        EXPECT_EQ(pid.find_first_not_of("0123456789"), pid.size() - 13) << r.out;
        EXPECT_EQ(pid.find_first_not_of("0123456789abcdef", pid.size() - 12), std::string::npos) << r.out;
        EXPECT_EQ(file_bytes(r.out.substr(7, r.out.size() - 8)), runtime_);
        // Only process directories: no base directory, no checksum level.
        for (const std::string& name : listing(temp_.path)) EXPECT_EQ(name.rfind(user_dir_ + "-", 0), 0u) << name;
    }
}

TEST_F(LoadRuntime, ChecksumEntryMustHoldExactly32Characters) {
    std::string panic = "Panic: Can't extract MD5 checksum for " + kRuntimeName + "\n";
    for (std::string md5 : {md5_.substr(0, 31), md5_ + "0"}) {
        ProcResult r = probe(kRuntimeName, "",
                             {archive({{kRuntimeName, runtime_}, {"perl.md5", bytes(md5)}, {"*TMPDIR", bytes(temp_.path)}})});
        expect_panic(r, panic);
    }
    expect_panic(probe(kRuntimeName, "", {archive({{kRuntimeName, runtime_}, {"*TMPDIR", bytes(temp_.path)}})}), panic);
    EXPECT_EQ(listing(base()), std::vector<std::string>{});
}

TEST_F(LoadRuntime, NothingBoundAndNothingOnTheSearchPath) {
    std::string a = archive({{"*TMPDIR", bytes(temp_.path)}});
    expect_panic(probe(kRuntimeName, "", {a}), "Panic: Can't locate " + kRuntimeName + "\n");
    expect_panic(probe(kRuntimeName, "perl58.so", {a}), "Panic: Can't locate either " + kRuntimeName + " or perl58.so\n");
    // On the search path it is found there.
    ProcResult r = probe(kRuntimeName, "perl58.so", {a}, kRuntimeDir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded " + kRuntime + "\n");
}

TEST_F(LoadRuntime, NoTemporaryDirectory) {
    const std::string panic = "Panic: Can't find temp dir for kovar\n";
    // Too long a TEMP is reported as such.
    std::string too_long = temp_.path + "/" + std::string(KV_PATH_MAX, 'x');
    expect_panic(probe(kRuntimeName, "", {archive({{kRuntimeName, runtime_}, {"perl.md5", bytes(md5_)},
                                                   {"*TMPDIR", bytes(too_long)}})}),
                 "TEMP path need more than 4095 characters\n" + panic);
    // A TEMP that does not exist: the directory error, then the panic.
    std::string missing = temp_.path + "/missing/deeper";
    ProcResult r = probe(kRuntimeName, "", {archive({{kRuntimeName, runtime_}, {"perl.md5", bytes(md5_)},
                                                     {"*TMPDIR", bytes(missing)}})});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mkdir(\"" + missing + "/" + user_dir_ + "/\") failed, errno=2: No such file or directory\n" + panic);
    EXPECT_EQ(read_text(log()), panic);
}

TEST_F(LoadRuntime, LibraryLackingARequiredNameIsRefused) {
    // Bound and written to the cache: the report names the written file.
    std::string lib = fake("fake_no_win32_init");
    std::string md5 = md5_of(lib);
    std::string a = archive({{"fake_no_win32_init.so", file_bytes(lib)}, {"perl.md5", bytes(md5)}, {"*TMPDIR", bytes(temp_.path)}});
    expect_panic(probe("fake_no_win32_init.so", "", {a}),
                 "Panic: Some symbols not resolvable from " + linked("fake_no_win32_init.so") + "\n");
    // Found on the search path: the report names the name searched for.
    std::string empty = archive({{"*TMPDIR", bytes(temp_.path)}});
    expect_panic(probe("fake_no_statusvalue.so", "", {empty}, kTestLibs),
                 "Panic: Some symbols not resolvable from fake_no_statusvalue.so\n");
}

TEST_F(LoadRuntime, LibraryOfAnotherPerlIsRefused) {
    std::string empty = archive({{"*TMPDIR", bytes(temp_.path)}});
    for (const char* name : {"fake_other_perl.so", "fake_unstamped.so"})
        expect_panic(probe(name, "", {empty}, kTestLibs),
                     std::string("Panic: ") + name + " is not a runtime library for " KV_PERL_ABI "\n");
    // The same stand-in stamped for the embedded Perl is accepted.
    ProcResult r = probe("fake_cat3_pv3.so", "", {empty}, kTestLibs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded " + kTestLibs + "/fake_cat3_pv3.so\n");
}

// ---- libraries written beside the runtime library ----------------------------------

const std::string kLibperl = "libperl.so.5.36";


class RuntimeDependencies : public LoadRuntime {
protected:
    void SetUp() override {
        LoadRuntime::SetUp();
        std::string lib = loader_choice(kLibperl);
        ASSERT_FALSE(lib.empty()) << "no " << kLibperl << " on this system";
        libperl_ = file_bytes(lib);
    }
    // The runtime, the libperl it needs and the list naming `deps`, plus `more`.
    std::string bound_with(const std::string& deps, std::vector<BfsWriteEntry> more = {}) {
        std::vector<BfsWriteEntry> entries = {{kRuntimeName, runtime_}, {"perl.md5", bytes(md5_)},
                                              {"*TMPDIR", bytes(temp_.path)}, {"*PERLDEPS", bytes(deps)},
                                              {kLibperl, libperl_}};
        entries.insert(entries.end(), more.begin(), more.end());
        return archive(entries);
    }
    std::string cache() const { return base() + md5_; }
    std::vector<unsigned char> libperl_;
};

mode_t mode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST_F(RuntimeDependencies, WrittenBesideTheRuntimeOnceThenUsedAsTheyAre) {
    std::string a = bound_with(kLibperl + "\n");
    ProcResult first = probe(kRuntimeName, "", {a});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "loaded " + linked() + "\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(listing(cache()), (std::vector<std::string>{kLibperl, kRuntimeName}));
    EXPECT_EQ(file_bytes(cached(kLibperl)), libperl_);
    EXPECT_EQ(mode_of(cached(kLibperl)), S_IFREG | 0700u);
    FileId lib = file_id(cached(kLibperl)), runtime = file_id(cached());

    ProcResult second = probe(kRuntimeName, "", {a});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "loaded " + cached() + "\n");
    EXPECT_TRUE(file_id(cached(kLibperl)) == lib) << "the cached libperl was written again";
    EXPECT_TRUE(file_id(cached()) == runtime) << "the cached runtime library was written again";

    // A library missing from the cache is written again; the rest stays.
    ASSERT_EQ(unlink(cached(kLibperl).c_str()), 0);
    ProcResult third = probe(kRuntimeName, "", {a});
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(file_bytes(cached(kLibperl)), libperl_);
    EXPECT_TRUE(file_id(cached()) == runtime);
}

TEST_F(RuntimeDependencies, EveryNamedEntryIsWrittenAndBlankLinesAreSkipped) {
    ProcResult r = probe(kRuntimeName, "", {bound_with("\n" + kLibperl + "\n\nlibextra.so.1", {{"libextra.so.1", bytes("extra")}})});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(cache()), (std::vector<std::string>{"libextra.so.1", kLibperl, kRuntimeName}));
    EXPECT_EQ(read_text(cached("libextra.so.1")), "extra");
}

TEST_F(RuntimeDependencies, FailureNamesTheFileAndNothingIsLoadedOrWrittenElsewhere) {
    // Each failure is reported with the path the library would have had;
    // the runtime library is then neither written nor loaded.
    struct Case {
        std::string name;
        bool bound;
        std::string message;
        std::vector<std::string> left;  // in the cache directory
    };
    std::string too_long(300, 'x');
    std::vector<Case> cases = {
        // Names are checked before anything is written.
        {"libmissing.so", false, "Panic: Can't extract %s\n", {}},
        // Names that would leave the directory, or name it, are refused.
        {"../escaped.so", true, "Panic: Can't extract %s\n", {}},
        {"sub/inner.so", true, "Panic: Can't extract %s\n", {}},
        {"..", true, "Panic: Can't extract %s\n", {}},
        {".", true, "Panic: Can't extract %s\n", {}},
        {".hidden.so", true, "Panic: Can't extract %s\n", {}},
        // A file name the system cannot create: libperl, listed first, was written.
        {too_long, true, "Panic: Can't create %s: File name too long\n", {kLibperl}},
    };
    for (const Case& c : cases) {
        std::vector<BfsWriteEntry> more;
        if (c.bound) more.push_back({c.name, bytes("data")});
        ProcResult r = probe(kRuntimeName, "", {bound_with(kLibperl + "\n" + c.name + "\n", more)});
        std::string message = c.message;
        message.replace(message.find("%s"), 2, cache() + "/" + c.name);
        expect_panic(r, message);
        EXPECT_EQ(listing(cache()), c.left) << c.name;
        EXPECT_EQ(listing(temp_.path), std::vector<std::string>{user_dir_}) << c.name;
        std::filesystem::remove_all(cache());
    }
}

}  // namespace
