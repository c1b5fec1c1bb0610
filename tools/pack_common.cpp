#include "tools/pack_common.h"

#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bool read_file(const std::string& path, std::vector<unsigned char>* out, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read '" + path + "': " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *error = "cannot read '" + path + "': not a regular file";
        return false;
    }
    out->clear();
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read '" + path + "': " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        out->insert(out->end(), buf, buf + n);
    }
    close(fd);
    return true;
}

bool has_entry(const PackRequest& req, const std::string& name) {
    for (const auto& e : req.entries)
        if (e.name == name) return true;
    return false;
}

bool add_file_entry(PackRequest& req, const std::string& name, const std::string& path, std::string* error) {
    BfsWriteEntry e;
    e.name = name;
    if (!read_file(path, &e.data, error)) return false;
    for (auto& old : req.entries)
        if (old.name == name) {
            old = std::move(e);
            return true;
        }
    req.entries.push_back(std::move(e));
    return true;
}

void add_data_entry(PackRequest& req, const std::string& name, const std::string& text) {
    BfsWriteEntry e{name, std::vector<unsigned char>(text.begin(), text.end())};
    for (auto& old : req.entries)
        if (old.name == name) {
            old = std::move(e);
            return;
        }
    req.entries.push_back(std::move(e));
}



bool write_pack(const PackRequest& req) {
    std::vector<unsigned char> archive;
    std::vector<BfsWrittenEntry> written;
    std::string error;
    if (!bfs_write_archive(req.entries, req.options, &archive, &written, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    std::vector<unsigned char> host;
    if (!req.host.empty()) {
        if (!read_file(req.host, &host, &error)) {
            fprintf(stderr, "kovpack: host executable: %s\n", error.c_str());
            return false;
        }
        // A host that already carries an archive would be found instead of
        // ours only if ours were missing; refuse it to avoid confusion.
        BfsArchive inner;
        std::vector<unsigned char> scratch;
        if (load_archive_file(req.host.c_str(), &scratch, &inner, &error)) {
            fprintf(stderr, "kovpack: host executable '%s' already carries an archive\n", req.host.c_str());
            return false;
        }
    }
    std::string tmp = req.output + ".kovpack-XXXXXX";
    std::vector<char> tmpl(tmp.begin(), tmp.end());
    tmpl.push_back(0);
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        fprintf(stderr, "kovpack: cannot write '%s': %s\n", req.output.c_str(), strerror(errno));
        return false;
    }
    bool ok = plat_write_all(fd, host.data(), host.size()) && plat_write_all(fd, archive.data(), archive.size());
    ok = ok && fchmod(fd, req.host.empty() ? 0644 : 0755) == 0;
    ok = ok && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmpl.data(), req.output.c_str()) != 0) {
        saved = errno;
        ok = false;
    }
    if (!ok) {
        unlink(tmpl.data());
        fprintf(stderr, "kovpack: cannot write '%s': %s\n", req.output.c_str(), strerror(saved));
        return false;
    }
    if (!req.quiet) {
        size_t plain = 0, stored = 0, compressed = 0;
        for (const auto& w : written) {
            plain += w.size;
            stored += w.stored;
            compressed += w.compressed;
            if (req.verbose)
                printf("  %-50s %10u -> %10u%s\n", w.name.c_str(), w.size, w.stored, w.compressed ? " (compressed)" : "");
        }
        printf("kovpack: wrote %s: %zu entries (%zu compressed), %zu bytes of contents stored in %zu, archive %zu bytes%s\n",
               req.output.c_str(), written.size(), compressed, plain, stored, archive.size(),
               req.host.empty() ? "" : ", appended to the host");
    }
    return true;
}

bool load_archive_file(const char* path, std::vector<unsigned char>* file, BfsArchive* archive, std::string* error) {
    if (!read_file(path, file, error)) return false;
    const auto& f = *file;
    auto is_header = [](const unsigned char* p) { return memcmp(p, BFS_MAGIC, 4) == 0 && bfs_u32(p + 4) == 1; };
    if (f.size() >= BFS_HEADER_SIZE + BFS_TRAILER_SIZE && is_header(f.data())) {
        *archive = bfs_describe(f.data(), f.size());
    } else if (f.size() >= BFS_TRAILER_SIZE && is_header(f.data() + f.size() - BFS_TRAILER_SIZE)) {
        size_t p = f.size() - BFS_TRAILER_SIZE;
        size_t s = bfs_u32(f.data() + p + 8);
        if (s >= p) {
            *error = std::string(path) + ": damaged trailer";
            return false;
        }
        *archive = bfs_describe(f.data() + (p - s), s + BFS_TRAILER_SIZE);
    } else {
        *error = std::string(path) + ": no archive found";
        return false;
    }
    if (!bfs_valid(archive) || archive->limit < BFS_HEADER_SIZE) {
        *error = std::string(path) + ": damaged archive header";
        return false;
    }
    return true;
}
