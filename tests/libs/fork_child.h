// Runs a piece of a test in a forked child process and collects its exit
// status and output. Loading a runtime library, filling the API table or
// creating an interpreter changes process-wide state for good; doing it in a
// child keeps every test independent of the others and of their order.
//
// The child must not use the test framework's assertions (their results stay
// in the child): it reports by printing and by its exit status.
#pragma once

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <poll.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct ChildRun {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

template <class F>
ChildRun run_in_child(F&& body) {
    ChildRun r;
    int out[2], err[2];
    if (pipe(out) != 0) return r;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    fflush(nullptr);  // nothing buffered in the parent is written twice
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        int code = body();
        fflush(nullptr);
        _exit(code);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// The file that the dynamic loader picks for `soname`, asked in a fresh process.
inline std::string loader_choice(const std::string& soname) {
    ChildRun r = run_in_child([&] {
        void* h = dlopen(soname.c_str(), RTLD_LAZY | RTLD_LOCAL);
        struct link_map* map = nullptr;
        if (!h || dlinfo(h, RTLD_DI_LINKMAP, &map) != 0 || !map) return 1;
        printf("%s", map->l_name);
        return 0;
    });
    return r.status == 0 ? r.out : "";
}
