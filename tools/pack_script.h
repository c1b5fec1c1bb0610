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
    Tray,     // bin/nimbrel: an icon in the desktop's notification area, events call the script's subs
};

// An icon bound for a tray program: the default icon (name empty) or a named
// one, which the script loads with Nimbrel::_LoadIcon(NAME).
struct IconFile {
    std::string name;
    std::string path;
};

// A traced run of the script (--trace-run): its arguments as given, and
// split into words.
struct TraceRun {
    std::string text;
    std::vector<std::string> words;
};

// Splits TEXT into words at blanks (space, tab, line feed), as a shell
// does without expansions: '...' keeps everything, "..." keeps everything
// but a backslash before '"' or '\\', which it takes literally; elsewhere a
// backslash takes the next character literally. False, *error set, for an
// unterminated quote or a final backslash.
bool split_words(const std::string& text, std::vector<std::string>* words, std::string* error);

// Whether a file bound under NAME is a data file, one that perl does not
// load through require, do or the extension loader (.pm, .pl, .ph, .al,
// .ix, .so, .bs): code finds such files by searching the @INC directories.
bool is_data_file(const std::string& name);

// Default time-out of a traced run, in seconds.
inline constexpr int kTraceTimeout = 60;

struct ScriptPackOptions {
    std::string script;
    HostKind host_kind = HostKind::Console;
    std::string host_exe;  // overrides the host found beside kovpack
    std::string runtime;   // overrides <bindir>/../lib/perl536.so
    std::string tray_backend;  // overrides <bindir>/../lib/libnimbrel-qt.so
    std::vector<IconFile> icons;
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
    std::vector<TraceRun> trace_runs;
    std::vector<std::string> trace_commands;
    int trace_timeout = kTraceTimeout;
};

// Name of the runtime library entry, and of the entries that describe it.
inline constexpr const char* kRuntimeEntry = "perl536.so";
// The tray host's desktop backend, found beside the runtime library.
inline constexpr const char* kTrayBackendFile = "libnimbrel-qt.so";
// The glue library of tray programs, bound under the name that `use Nimbrel`
// asks for.
inline constexpr const char* kGlueEntry = "Nimbrel.pm";

// The archive entry of an icon given as NAME=FILE (empty NAME: the default
// icon), or "" with *error set when NAME cannot name one. "#N" names icon
// number N ("#1" is the default icon).
std::string icon_entry_name(const std::string& name, std::string* error);

// Collects everything into req (entries already in req, from --entry and
// --option, are kept and win over the packer's own) and writes the output.
// Returns the exit status: 0 on success, 1 on a failure (already reported).
int pack_script(const ScriptPackOptions& opts, PackRequest& req);

// The embedded Perl sources (generated at build time from perl/).
extern const unsigned char kv_setup_pl[];
extern const size_t kv_setup_pl_size;
extern const unsigned char kv_scandeps_pl[];
extern const size_t kv_scandeps_pl_size;
// The tray glue library (empty when the build has none).
extern const unsigned char kv_nimbrel_pm[];
extern const size_t kv_nimbrel_pm_size;
