// Time of loading the runtime library through load_runtime, cold (written
// out of the archive into an empty cache) and warm (found in the cache), each
// as a ratio to a plain dlopen of the same file measured in the same run.
//
// A loaded runtime library stays in its process, so every measurement is
// made in a fresh process: this program runs itself with a mode argument.
//
//   bench_runtime [ROUNDS]            the comparison (default 20 rounds)
//   bench_runtime --child MODE DIR    one measurement; prints nanoseconds
//
// Two parts of a load that a plain dlopen does not do are also timed alone,
// each first in a fresh process: the account lookup that names the per-user
// directory, and the check whether the library is already loaded.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kv_layout.h"
#include "platform/platform.h"
#include "src/bfs/bfs_write.h"
#include "src/binding/runtime_load.h"
#include "src/launcher/session.h"

namespace {

// The checksum only names the cache directory; its value does not matter here.
constexpr const char* kChecksum = "0123456789abcdef0123456789abcdef";

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::string cache_dir(const std::string& temp) {
    char user[KV_PATH_MAX + 1];
    std::string base = temp + "/" + (plat_user_name(user, sizeof user) ? std::string("qrx-") + user : "qrx");
    return base + "/" + kChecksum;
}

// One measurement in this (fresh) process. The archive is built before the
// clock starts; only the load itself is timed.
int child(const std::string& mode, const std::string& temp) {
    if (mode == "account" || mode == "loaded") {
        char user[KV_PATH_MAX + 1];
        long long start = now_ns();
        void* found = mode == "account" ? reinterpret_cast<void*>(plat_user_name(user, sizeof user))
                                        : plat_dl_loaded(KV_RUNTIME_NAME);
        long long elapsed = now_ns() - start;
        printf("%lld\n", elapsed);
        return found && mode == "loaded" ? 1 : 0;
    }
    std::ifstream in(KV_RUNTIME_FILE, std::ios::binary);
    std::vector<unsigned char> library((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (library.empty()) {
        fprintf(stderr, "cannot read %s\n", KV_RUNTIME_FILE);
        return 1;
    }
    std::vector<BfsWriteEntry> entries = {{KV_RUNTIME_NAME, library},
                                          {"perl.md5", {kChecksum, kChecksum + 32}},
                                          {"*TMPDIR", {temp.begin(), temp.end()}}};
    std::vector<unsigned char> image;
    std::string error;
    if (!bfs_write_archive(entries, {}, &image, nullptr, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    static BfsArchive archive;
    archive = bfs_describe(image.data(), image.size());
    static KovrunSession session;
    session.archive = session.home_archive = &archive;
    // Only the plain load looks the user up before the clock starts: for
    // load_runtime that lookup is part of the cost.
    std::string cached = mode == "plain" ? cache_dir(temp) + "/" + KV_RUNTIME_NAME : "";

    long long start = now_ns();
    void* handle = mode == "plain" ? dlopen(cached.c_str(), RTLD_NOW | RTLD_GLOBAL) : load_runtime(&session, KV_RUNTIME_NAME, nullptr);
    long long elapsed = now_ns() - start;
    if (!handle) {
        fprintf(stderr, "%s: load failed\n", mode.c_str());
        return 1;
    }
    printf("%lld\n", elapsed);
    return 0;
}

// Runs this program in `mode`; the measured nanoseconds, or -1.
long long measure(const std::string& self, const char* mode, const std::string& temp) {
    int out[2];
    if (pipe(out) != 0) return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(self.c_str(), self.c_str(), "--child", mode, temp.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return atoll(text.c_str());
}

template <class T>
double median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? static_cast<double>(v[n / 2]) : (static_cast<double>(v[n / 2 - 1]) + static_cast<double>(v[n / 2])) / 2.0;
}

// Median of the ratios a[i] / b[i]: each round's three loads run back to back,
// so a round's ratio is little disturbed by load that comes and goes.
double median_ratio(const std::vector<long long>& a, const std::vector<long long>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); i++) r.push_back(static_cast<double>(a[i]) / static_cast<double>(b[i]));
    return median(r);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3]);
    int rounds = argc > 1 ? atoi(argv[1]) : 20;
    if (rounds < 1) rounds = 20;

    char self[4096];
    if (!plat_exe_path(self, sizeof self)) return 1;
    char tmpl[] = "/tmp/kv-bench-runtime-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string temp = tmpl;

    std::string cache = cache_dir(temp);
    std::vector<long long> cold, warm, plain, account, loaded;
    bool ok = true;
    for (int i = 0; i < rounds && ok; i++) {
        std::error_code ec;
        std::filesystem::remove_all(cache, ec);
        long long c = measure(self, "cold", temp);
        // Alternate the order of the two loads of the cached file.
        long long w = -1, p = -1;
        if (i % 2 == 0) {
            w = measure(self, "warm", temp);
            p = measure(self, "plain", temp);
        } else {
            p = measure(self, "plain", temp);
            w = measure(self, "warm", temp);
        }
        long long a = measure(self, "account", temp);
        long long l = measure(self, "loaded", temp);
        ok = c >= 0 && w >= 0 && p >= 0 && a >= 0 && l >= 0;
        account.push_back(a);
        loaded.push_back(l);
        cold.push_back(c);
        warm.push_back(w);
        plain.push_back(p);
    }
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
    if (!ok) {
        fprintf(stderr, "a measurement failed\n");
        return 1;
    }

    double base = median(plain);
    printf("runtime library load (%s), %d rounds of fresh processes; medians\n", KV_RUNTIME_NAME, rounds);
    printf("                                       time   ratio to plain (per round)\n");
    printf("  plain dlopen of the cached file  %8.3f ms\n", base / 1e6);
    printf("  load_runtime, warm (cached)      %8.3f ms   %.2fx\n", median(warm) / 1e6, median_ratio(warm, plain));
    printf("  load_runtime, cold (written)     %8.3f ms   %.2fx\n", median(cold) / 1e6, median_ratio(cold, plain));
    printf("  parts of a load, each alone:\n");
    printf("    account lookup (user name)     %8.3f ms\n", median(account) / 1e6);
    printf("    already-loaded check           %8.3f ms\n", median(loaded) / 1e6);
    return 0;
}
