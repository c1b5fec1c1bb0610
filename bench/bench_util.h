// Small helpers that the benchmarks share.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// The median of the samples; 0 when there are none.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Whether valgrind can be run to count instructions.
inline bool have_valgrind() { return system("valgrind --version >/dev/null 2>&1") == 0; }

// The instruction count of a callgrind output file, which it then removes;
// -1 when the file holds none.
inline long long callgrind_total(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    long long total = -1;
    while (std::getline(in, line))
        if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0) total = atoll(line.c_str() + line.find(':') + 1);
    std::filesystem::remove(file);
    return total;
}

extern char** environ;

// This process's environment with `added` ("NAME=VALUE") put in, replacing
// what it had under those names.
inline std::vector<std::string> environment_with(const std::vector<std::string>& added) {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        const char* eq = strchr(*e, '=');
        size_t n = eq ? static_cast<size_t>(eq - *e) + 1 : strlen(*e);
        bool replaced = false;
        for (const auto& a : added) replaced = replaced || a.compare(0, n, *e, n) == 0;
        if (!replaced) env.push_back(*e);
    }
    env.insert(env.end(), added.begin(), added.end());
    return env;
}

// What becomes of a child's standard error.
enum class ChildStderr { inherit, merge, discard };

// Runs argv (searched on PATH) with `env` as its whole environment (null:
// this process's) and no signal blocked, and collects its standard output
// (and error, when merged) into *out. With `limit_s` > 0 it is killed after
// that many seconds, which is reported. Everything the child needs is made
// before the fork, so that threads of the caller may run meanwhile. False
// when it could not run, failed or took too long.
inline bool capture_output(const std::vector<std::string>& argv, const std::vector<std::string>* env, ChildStderr err,
                           int limit_s, std::string* out) {
    std::vector<char*> args, envp;
    for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
    args.push_back(nullptr);
    if (env)
        for (const auto& s : *env) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    int null = err == ChildStderr::discard ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    sigset_t none;
    sigemptyset(&none);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(fds[1], 1);
        if (err == ChildStderr::merge) dup2(fds[1], 2);
        if (null >= 0) dup2(null, 2);
        execvpe(args[0], args.data(), env ? envp.data() : environ);
        _exit(127);
    }
    close(fds[1]);
    if (null >= 0) close(null);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    out->clear();
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool late = false;
    for (;;) {
        int wait_ms = -1;
        if (limit_s > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long left = limit_s * 1000L - ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L);
            if (left <= 0) {
                late = true;
                kill(pid, SIGKILL);
                break;
            }
            wait_ms = static_cast<int>(left);
        }
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) break;
        if (p.revents == 0) continue;
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (late) fprintf(stderr, "%s took longer than %d s\n", argv[0].c_str(), limit_s);
    return !late && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
