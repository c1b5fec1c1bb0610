// Start-up cost of a packed hello-world against plain perl on the same
// script, measured in one run: warm start (runtime library, libperl and
// extension libraries cached), cold start (cache removed first), wall time
// and peak memory; and, for comparison, the warm start of the same program
// packed without libperl. When valgrind is installed, also the instructions
// that each start executes (callgrind's count: exact, whatever the load of
// the machine).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/pack_common.h"
#include "bench/bench_util.h"
#include "tests/support/cache_wait.h"

namespace {

// Stored (compressed) size of entry `name` in the archive of `exe`; 0 when absent.
uint32_t stored_size(const std::string& exe, const char* name) {
    std::vector<unsigned char> file;
    BfsArchive archive;
    std::string error;
    bfs_cursor c;
    if (!load_archive_file(exe.c_str(), &file, &archive, &error) || !bfs_lookup(&archive, name, strlen(name), &c)) return 0;
    return bfs_stored_length(&c);
}

struct Sample {
    double ms;
    long max_rss_kb;
};

Sample run(const std::vector<std::string>& argv, const std::string& tmpdir) {
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        std::vector<char*> args;
        for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    clock_gettime(CLOCK_MONOTONIC, &b);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench_start: %s failed (status %d)\n", argv[0].c_str(), status);
        exit(1);
    }
    return {(b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6, ru.ru_maxrss};
}

// Instructions that `argv` executes, counted by callgrind; 0 when valgrind
// cannot run it.
unsigned long long instructions(const std::vector<std::string>& argv, const std::string& tmpdir) {
    std::string log = tmpdir + "/../callgrind.log";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open("/dev/null", O_WRONLY);
        int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        std::vector<std::string> full = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(log);
    std::string line;
    unsigned long long n = 0;
    // Only the started process's count: a process that it detaches writes
    // its own to the same log.
    std::string own = "==" + std::to_string(pid) + "==";
    while (std::getline(in, line)) {
        size_t at = line.find("Collected : ");
        if (at != std::string::npos && line.rfind(own, 0) == 0)
            n = std::strtoull(line.c_str() + at + 12, nullptr, 10);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? n : 0;
}


}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 15;
    namespace fs = std::filesystem;
    std::string dir = (fs::temp_directory_path() / ("kvbench-start-" + std::to_string(getpid()))).string();
    std::string tmp = dir + "/tmp";
    fs::create_directories(tmp);
    chmod(tmp.c_str(), 0700);
    std::string script = dir + "/hello.pl";
    std::ofstream(script) << "use strict;\nuse warnings;\nuse List::Util qw(sum max);\n"
                             "my @n = (1 .. 10);\nprintf \"hello %d %d\\n\", sum(@n), max(@n);\n";
    std::string exe = dir + "/hello", lean = dir + "/hello-system-libperl";
    for (const std::string& cmd : {std::string(KV_BIN_DIR) + "/kovpack -q " + script + " -o " + exe,
                                   std::string(KV_BIN_DIR) + "/kovpack -q --no-bundle-libperl " + script + " -o " + lean}) {
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "bench_start: packing failed: %s\n", cmd.c_str());
            return 1;
        }
    }
    // The pages that the packer has just written sit in the page cache in
    // large blocks, which a start maps whole (hundreds of KiB more resident
    // memory than the entries it reads); a program read from disk does not.
    for (const std::string& file : {exe, lean}) {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
    std::vector<double> perl_ms, warm_ms, cold_ms, lean_ms, perl_kb, warm_kb, cold_kb, lean_kb;
    run({exe}, tmp);  // fill the caches once
    run({lean}, tmp);
    for (int i = 0; i < rounds; i++) {
        Sample p = run({"perl", script}, tmp);
        Sample w = run({exe}, tmp);
        Sample l = run({lean}, tmp);
        for (const auto& e : fs::directory_iterator(tmp)) fs::remove_all(e.path());
        Sample c = run({exe}, tmp);
        // The cold start leaves the syncs of what it wrote to a detached
        // process: done before anything else is measured.
        wait_for_cache_writers(tmp);
        run({lean}, tmp);
        perl_ms.push_back(p.ms);
        warm_ms.push_back(w.ms);
        cold_ms.push_back(c.ms);
        lean_ms.push_back(l.ms);
        perl_kb.push_back(static_cast<double>(p.max_rss_kb));
        warm_kb.push_back(static_cast<double>(w.max_rss_kb));
        cold_kb.push_back(static_cast<double>(c.max_rss_kb));
        lean_kb.push_back(static_cast<double>(l.max_rss_kb));
    }
    double pm = median(perl_ms), wm = median(warm_ms), cm = median(cold_ms), lm = median(lean_ms);
    double pk = median(perl_kb), wk = median(warm_kb), ck = median(cold_kb), lk = median(lean_kb);
    // Instructions: warm (the caches are filled), then cold.
    unsigned long long perl_ir = instructions({"perl", script}, tmp);
    unsigned long long warm_ir = instructions({exe}, tmp);
    for (const auto& e : fs::directory_iterator(tmp)) fs::remove_all(e.path());
    unsigned long long cold_ir = instructions({exe}, tmp);
    wait_for_cache_writers(tmp);

    printf("packed hello-world (strict, warnings, List::Util), %d rounds, medians\n", rounds);
    printf("  executable size: %ju bytes, of which libperl.so.5.36 %u bytes stored; %ju bytes packed without it\n",
           static_cast<uintmax_t>(fs::file_size(exe)), stored_size(exe, "libperl.so.5.36"),
           static_cast<uintmax_t>(fs::file_size(lean)));
    printf("  plain perl:   %8.2f ms  %8.0f KiB peak\n", pm, pk);
    printf("  packed warm:  %8.2f ms  %8.0f KiB peak   time %.2fx  memory %.2fx  (goal: time <= 1.2x, memory <= 1.15x)\n", wm, wk,
           wm / pm, wk / pk);
    printf("  packed cold:  %8.2f ms  %8.0f KiB peak   time %.2fx  memory %.2fx  (goal: time <= 2x)\n", cm, ck, cm / pm, ck / pk);
    printf("  without libperl, warm (system's libperl):\n");
    printf("                %8.2f ms  %8.0f KiB peak   time %.2fx  memory %.2fx\n", lm, lk, lm / pm, lk / pk);
    if (perl_ir && warm_ir && cold_ir) {
        printf("  instructions (callgrind):\n");
        printf("    plain perl:  %12llu\n", perl_ir);
        printf("    packed warm: %12llu   %.2fx  (goal: <= 1.2x)\n", warm_ir, static_cast<double>(warm_ir) / static_cast<double>(perl_ir));
        printf("    packed cold: %12llu   %.2fx\n", cold_ir, static_cast<double>(cold_ir) / static_cast<double>(perl_ir));
    } else {
        printf("  instructions: valgrind is not installed or failed; not counted\n");
    }
    fs::remove_all(dir);
    return 0;
}
