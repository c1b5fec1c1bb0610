#include "tests/support/proc_util.h"
#include "tests/support/cache_wait.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "tools/pack_common.h"

ProcResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& exe,
                       const std::string& input) {
    ProcResult r;
    int out[2], err[2], in[2];
    if (pipe(out) || pipe(err) || pipe(in)) return r;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string path = exe.empty() ? argv[0] : exe;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) close(fd);
        for (const auto& e : env) {
            auto eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        execv(path.c_str(), args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    if (!input.empty()) {
        ssize_t w = write(in[1], input.data(), input.size());
        (void)w;
    }
    close(in[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

TempDir::TempDir() {
    std::string base = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
    std::vector<char> t(base.begin(), base.end());
    t.push_back(0);
    if (mkdtemp(t.data())) path = t.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path.empty()) {
        // A program's detached cache writer may still be renaming files here.
        wait_for_cache_writers(path);
        // Read-only files and directories are made writable first.
        for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

FileId file_id(const std::string& path) {
    struct stat st;
    FileId id;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        id.inode = st.st_ino;
        id.mtime = st.st_mtim;
        id.size = st.st_size;
    }
    return id;
}

std::map<std::string, std::string> entries_of(const std::string& path) {
    std::vector<unsigned char> file;
    BfsArchive archive;
    std::string error;
    std::map<std::string, std::string> out;
    if (!load_archive_file(path.c_str(), &file, &archive, &error)) {
        ADD_FAILURE() << error;
        return out;
    }
    bfs_cursor c;
    for (bfs_cursor_start_all(&c, &archive); bfs_cursor_valid(&c); bfs_cursor_next(&c)) {
        std::string name(c.name_length, '\0');
        bfs_cursor_name(&c, reinterpret_cast<unsigned char*>(name.data()));
        std::string data(bfs_size(&c) + 1, '\0');
        EXPECT_TRUE(bfs_read(&c, data.data())) << name;
        data.resize(bfs_size(&c));
        out[name] = data;
    }
    return out;
}

std::string pack_quietly(const std::string& script, const std::string& out, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {std::string(KV_BIN_DIR) + "/kovpack", "-q"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {script, "-o", out});
    ProcResult r = run_process(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
}

std::string mask_process_dirs(const std::string& text) {
    static const std::regex name("(qrx-[^/\\s]*?)-[0-9]+-[0-9a-f]{12}(?=/)");
    return std::regex_replace(text, name, "$1-*");
}
