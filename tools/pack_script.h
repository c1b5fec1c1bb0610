// Script mode of the packer: binds a Perl script, the modules it needs, the
// runtime library and the setup code into an archive appended to a host
// executable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack_common.h"

// Values of the version record (option entry "*").
struct VersionInfo {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t release = 0;
    int32_t build = 0;
    int32_t checkin = 0;
    std::string url;
    std::string copyright;
    std::string suffix;
};

// Size of the version record's fixed part; the texts follow it.
constexpr size_t kVersionHeadSize = 52;

// The version record: 52 bytes of little-endian words (offset 16: url text
// offset; 20..36: major, minor, release, build, checkin; 40: copyright text
// offset; 44: suffix text offset), then the three texts, each terminated by
// a zero byte. Text offsets count from the start of the record.
std::vector<unsigned char> make_version_record(const VersionInfo& v);

// Parses MAJOR[.MINOR[.RELEASE[.BUILD]]] (each 0..2147483647) into v.
bool parse_app_version(const std::string& text, VersionInfo* v);

// Parses a signed 32-bit decimal number.
bool parse_i32(const std::string& text, int32_t* out);

// The host program that runs a packed script.
enum class HostKind {
    Console,  // bin/kovrun: one session, the script's exit status is the program's
};

struct ScriptPackOptions {
    std::string script;
    HostKind host_kind = HostKind::Console;
    std::string host_exe;  // overrides the host found beside kovpack
    std::string runtime;   // overrides <bindir>/../lib/perl536.so
    std::string perl = "/usr/bin/perl";  // runs the dependency scan
    bool clean = false;
    bool taint = false;
    bool keep_system_lib = false;
    bool bundle_libperl = true;  // bind the libperl the runtime library is linked against
    std::optional<std::string> debug;  // debugger options; "-" for none
    std::optional<std::string> tmpdir;
    std::optional<VersionInfo> version;
    std::vector<std::string> lib;  // module directories searched first (-I)
    std::vector<std::string> add;
    std::vector<std::string> exclude;
};

// Name of the runtime library entry, and of the entries that describe it.
inline constexpr const char* kRuntimeEntry = "perl536.so";

// Collects everything into req (entries already in req, from --entry and
// --option, are kept and win over the packer's own) and writes the output.
// Returns the exit status: 0 on success, 1 on a failure (already reported).
int pack_script(const ScriptPackOptions& opts, PackRequest& req);

// The embedded Perl sources (generated at build time from perl/).
extern const unsigned char kv_setup_pl[];
extern const size_t kv_setup_pl_size;
extern const unsigned char kv_scandeps_pl[];
extern const size_t kv_scandeps_pl_size;
