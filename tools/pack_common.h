// Shared pieces of the packer: collecting entries and writing the output.
#pragma once

#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"

struct PackRequest {
    std::vector<BfsWriteEntry> entries;
    BfsWriteOptions options;
    std::string host;    // executable to copy in front of the archive; empty: bare archive
    std::string output;
    bool quiet = false;
    bool verbose = false;
};

bool read_file(const std::string& path, std::vector<unsigned char>* out, std::string* error);
bool add_file_entry(PackRequest& req, const std::string& name, const std::string& path, std::string* error);
void add_data_entry(PackRequest& req, const std::string& name, const std::string& text);
bool has_entry(const PackRequest& req, const std::string& name);

// Writes the archive (after a copy of the host, when one is set) to a
// temporary file beside the output and renames it into place, so that a
// failure leaves no half-written output. Reports on stdout unless quiet.
bool write_pack(const PackRequest& req);

// Reads a bare archive, or a file with an archive appended, into *file and
// describes the archive inside it.
bool load_archive_file(const char* path, std::vector<unsigned char>* file, BfsArchive* archive, std::string* error);
