// Waiting for the detached writers that put a first start's files into the
// cache: each holds a shared lock on the directory it writes into until its
// last rename, so an exclusive lock on every directory below `root` means
// that none is at work there any more.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>

inline void wait_for_cache_writers(const std::string& root) {
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(root, ec), end;
    auto wait_on = [](const std::string& dir) {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        // At most 20 s: a writer never takes that long, and a test that
        // holds a lock itself must not hang.
        for (int i = 0; i < 20000 && flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR); i++)
            usleep(1000);
        close(fd);
    };
    wait_on(root);
    for (; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) wait_on(it->path().string());
}
