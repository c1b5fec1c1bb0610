// The tests' loopback HTTP and HTTPS server (tests/support/http_server.py)
// run from a test: start() waits for its ports; it ends when stop() closes
// its standard input.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct LoopbackServer {
    pid_t pid = -1;
    int input = -1;
    int http = 0, https = 0, closed = 0;  // its ports; `closed` has no listener

    void start(const std::string& script) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        pid = fork();
        if (pid < 0) {
            for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
            return;
        }
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execlp("python3", "python3", script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input = in[1];
        FILE* f = fdopen(out[0], "r");
        char line[128] = "";
        if (f && fgets(line, sizeof line, f)) sscanf(line, "http=%d https=%d closed=%d", &http, &https, &closed);
        if (f) fclose(f);
    }
    void stop() {
        if (input >= 0) close(input);
        if (pid > 0) waitpid(pid, nullptr, 0);
        input = pid = -1;
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(http); }
    std::string closed_url() const { return "http://127.0.0.1:" + std::to_string(closed); }
};
