// A packed program damaged in many ways, each damaged copy started once: no
// start may crash, report success without running the script, fail without
// saying why in a "Panic: " line, or leave its process directory behind.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"
#include "tests/support/proc_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Prints its marker on both streams, so that one damaged byte in the script
// cannot hide that it ran.
const char* const kScript =
    "use List::Util qw(sum);\n"
    "print \"RAN-OK\\n\" if sum(1, 2) == 3;\n"
    "print STDERR \"RAN-OK\\n\";\n"
    "exit 0;\n";

void put32(Bytes& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; i++) v[at + i] = static_cast<unsigned char>(x >> (8 * i));
}

struct Region {
    std::string name;
    size_t begin, end;  // file offsets
};

struct Entry {
    std::string name;
    size_t block;  // file offset
    uint32_t stored;
};

// Where things are in the packed file.
struct Map {
    size_t archive = 0;  // file offset of the archive header
    uint32_t size = 0;   // archive size
    size_t directory_end = 0, index = 0, index_end = 0;
    std::vector<Entry> entries;
    std::vector<Region> host_unloaded;  // host bytes that are never loaded
};

Map map_program(const Bytes& f) {
    Map m;
    size_t p = f.size() - BFS_TRAILER_SIZE;
    m.size = bfs_u32(&f[p + 8]);
    m.archive = p - m.size;
    BfsArchive a = bfs_describe(&f[m.archive], m.size + BFS_TRAILER_SIZE);
    bfs_cursor c;
    for (bfs_cursor_start_all(&c, &a); bfs_cursor_valid(&c); bfs_cursor_next(&c)) {
        std::string name(c.name_length, '\0');
        bfs_cursor_name(&c, reinterpret_cast<unsigned char*>(name.data()));
        m.entries.push_back({name, m.archive + (c.entry_block - a.image), bfs_stored_length(&c)});
        m.directory_end = m.archive + c.record_offset + c.record_length;
    }
    m.index = m.archive + bfs_u32(&f[m.archive + 24]);
    m.index_end = m.index + (size_t(bfs_u32(&f[m.archive + 28])) + 1) * 8;
    // The host's sections that are not loaded (symbols, notes for debuggers):
    // damage there must not matter.
    Elf64_Ehdr eh;
    memcpy(&eh, f.data(), sizeof eh);
    for (unsigned i = 0; i < eh.e_shnum; i++) {
        Elf64_Shdr sh;
        memcpy(&sh, &f[eh.e_shoff + size_t(i) * eh.e_shentsize], sizeof sh);
        if (!(sh.sh_flags & SHF_ALLOC) && sh.sh_type != SHT_NOBITS && sh.sh_size > 0 && sh.sh_offset + sh.sh_size <= m.archive)
            m.host_unloaded.push_back({"host section " + std::to_string(i), sh.sh_offset, sh.sh_offset + sh.sh_size});
    }
    return m;
}

struct Mutation {
    std::string what;
    std::function<void(Bytes&)> apply;
};

// The damaged copies: truncations, cut archives behind a fitting or the old
// trailer, flips in every region and chosen values in the header and trailer.
std::vector<Mutation> mutations(const Bytes& f, const Map& m) {
    std::vector<Mutation> out;
    std::mt19937 rng(20240607);
    auto pick = [&](size_t begin, size_t end) { return std::uniform_int_distribution<size_t>(begin, end - 1)(rng); };
    auto flip = [&](const std::string& region, size_t at) {
        unsigned char bit = static_cast<unsigned char>(1u << pick(0, 8));
        out.push_back({region + " +" + std::to_string(at) + " ^" + std::to_string(bit), [at, bit](Bytes& b) { b[at] ^= bit; }});
    };
    auto set32 = [&](const std::string& what, size_t at, uint32_t v) {
        out.push_back({what + "=" + std::to_string(v), [at, v](Bytes& b) { put32(b, at, v); }});
    };
    const size_t end = f.size(), trailer = end - BFS_TRAILER_SIZE, a = m.archive;

    for (int i = 0; i < 24; i++) {
        size_t cut = i < 4 ? end - 1 - pick(0, BFS_TRAILER_SIZE) : pick(a, end);
        out.push_back({"cut at " + std::to_string(cut), [cut](Bytes& b) { b.resize(cut); }});
    }
    for (int i = 0; i < 16; i++) {
        size_t keep = i < 2 ? (i == 0 ? BFS_HEADER_SIZE : m.directory_end - a) : pick(BFS_HEADER_SIZE, m.size);
        bool fitting = i % 2 == 0;
        out.push_back({std::string(fitting ? "archive cut, fitting trailer, " : "archive cut, old trailer, ") + std::to_string(keep),
                       [a, keep, fitting](Bytes& b) {
                           Bytes t(b.end() - BFS_TRAILER_SIZE, b.end());
                           if (fitting) put32(t, 8, static_cast<uint32_t>(keep));
                           b.resize(a + keep);
                           b.insert(b.end(), t.begin(), t.end());
                       }});
    }
    for (size_t i = 0; i < BFS_TRAILER_SIZE; i++) flip("trailer", trailer + i);
    for (uint32_t v : {0u, 1u, 32u, m.size - 1, m.size + 1, uint32_t(trailer), 0xFFFFFFFFu}) set32("trailer size", trailer + 8, v);
    for (size_t i = 0; i < BFS_HEADER_SIZE; i++) flip("header", a + i);
    for (uint32_t v : {0u, 31u, m.size - 4, m.size + 4, 0xFFFFFFFFu}) set32("header size", a + 8, v);
    uint32_t count = static_cast<uint32_t>(m.entries.size());
    for (uint32_t v : {0u, count - 1, count + 1, 0xFFFFFFFFu}) set32("entry count", a + 12, v);
    for (uint32_t v : {0u, 2u, 4u, 0xFFu}) set32("flags", a + 16, v);
    for (uint32_t v : {0u, 31u, 36u, 0xFFFFu}) set32("first record and mask", a + 20, v | (3u << 16));
    for (uint32_t v : {0u, 1u, 7u, 0xFFFFu}) set32("mask and first record", a + 20, 32u | (v << 16));
    uint32_t hash = static_cast<uint32_t>(m.index - a), buckets = static_cast<uint32_t>((m.index_end - m.index) / 8);
    for (uint32_t v : {0u, hash + 8, m.size, 0xFFFFFFF0u}) set32("hash offset", a + 24, v);
    for (uint32_t v : {0u, buckets / 2 - 1, buckets * 2 - 1, 0xFFFFFFFFu}) set32("hash mask", a + 28, v);
    for (int i = 0; i < 40; i++) flip("directory", pick(a + BFS_HEADER_SIZE, m.directory_end));
    for (int i = 0; i < 24; i++) flip("hash index", pick(m.index, m.index_end));
    for (const Entry& e : m.entries) {
        flip("block head of " + e.name, pick(e.block, e.block + BFS_BLOCK_HEAD_SIZE));
        size_t data = e.block + BFS_BLOCK_HEAD_SIZE;
        if (e.stored == 0) continue;
        flip("data of " + e.name, pick(data, data + e.stored));
        if (e.name[0] == '*' || e.name == "perl.md5") {
            flip("data of " + e.name, data);
            flip("data of " + e.name, data + e.stored - 1);
        }
        if (e.name.rfind("perl536.so", 0) == 0 || e.name.rfind("libperl", 0) == 0)
            for (int i = 0; i < 8; i++) flip("data of " + e.name, pick(data, data + e.stored));
    }
    for (size_t i = 0; out.size() < 300 && !m.host_unloaded.empty(); i++) {
        const Region& r = m.host_unloaded[i % m.host_unloaded.size()];
        flip(r.name, pick(r.begin, r.end));
    }
    return out;
}

std::string user_name() {
    struct passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : std::to_string(geteuid());
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> v;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) v.push_back(e.path().filename().string());
    return v;
}

// One damaged copy being started: its own program file, temporary
// directory, output files and debugger log.
struct Start {
    size_t index;
    std::string dir;
    pid_t pid;
    time_t started;
    bool killed;
};

TEST(DamagedArchive, EveryStartRunsTheScriptOrRefusesCleanly) {
    TempDir work;
    write_text(work.file("s.pl"), kScript);
    ProcResult p = run_process({std::string(KV_BIN_DIR) + "/kovpack", "-q", work.file("s.pl"), "-o", work.file("prog")});
    ASSERT_EQ(p.status, 0) << p.err;
    std::string image = read_text(work.file("prog"));
    const Bytes original(image.begin(), image.end());
    const Map map = map_program(original);
    ASSERT_GT(map.entries.size(), 10u);
    const std::vector<Mutation> list = mutations(original, map);
    const std::string own_dir_prefix = "qrx-" + user_name() + "-";

    size_t ran = 0, refused = 0, script_failed = 0;
    std::vector<std::string> faults;
    auto finish = [&](const Start& r, int status) {
        const Mutation& mu = list[r.index];
        std::string out = read_text(r.dir + "/out"), err = read_text(r.dir + "/err");
        std::string fault;
        bool panic = err.find("Panic: ") != std::string::npos;
        if (r.killed) {
            fault = "hung";
        } else if (WIFSIGNALED(status)) {
            fault = "killed by signal " + std::to_string(WTERMSIG(status));
        } else if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos) {
            fault = "sanitizer report";
        } else if (WEXITSTATUS(status) == 0) {
            bool marker = out.find("RAN-OK") != std::string::npos || err.find("RAN-OK") != std::string::npos;
            if (!marker || panic) fault = marker ? "ran after a panic" : "exit 0 without running the script";
            else ran++;
        } else if (panic) {
            // One reason, on a line of its own.
            size_t at = err.find("Panic: ");
            bool own_line = (at == 0 || err[at - 1] == '\n') && err.find('\n', at) != std::string::npos;
            if (!own_line || err.find("Panic: ", at + 1) != std::string::npos) fault = "not one panic on a line of its own";
            else refused++;
        } else if (!err.empty()) {
            script_failed++;  // the interpreter reported the damage it met in the script or a module
        } else {
            fault = "exit " + std::to_string(WEXITSTATUS(status)) + " without a message";
        }
        for (const std::string& n : names_in(r.dir + "/tmp"))
            if (n.rfind(own_dir_prefix, 0) == 0) fault += (fault.empty() ? "" : ", ") + std::string("left ") + n;
        if (!fault.empty()) faults.push_back(mu.what + ": " + fault + "\n    stderr: " + err.substr(0, 300));
        std::error_code ec;
        std::filesystem::remove_all(r.dir, ec);
    };

    // Two starts at a time; each gets a fresh temporary directory, so that a
    // library written out by one damaged copy is not used by the next.
    std::vector<Start> running;
    size_t next = 0;
    while (next < list.size() || !running.empty()) {
        while (next < list.size() && running.size() < 2) {
            Start r{next, work.file("m" + std::to_string(next)), 0, time(nullptr), false};
            std::filesystem::create_directories(r.dir + "/tmp");
            Bytes b = original;
            list[next].apply(b);
            const std::string prog = r.dir + "/prog", out = r.dir + "/out", err = r.dir + "/err";
            const std::string tmp = r.dir + "/tmp", log = r.dir + "/debug.log";
            // Written and closed before the start: a program open for writing cannot be run.
            int fd = open(prog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
            bool written = fd >= 0 && write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
            if (fd >= 0) close(fd);
            EXPECT_TRUE(written) << prog;
            r.pid = fork();
            if (r.pid == 0) {
                int in_fd = open("/dev/null", O_RDONLY);
                int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(in_fd, 0);
                dup2(out_fd, 1);
                dup2(err_fd, 2);
                setenv("TMPDIR", tmp.c_str(), 1);
                setenv("KOVRUN_DEBUG_LOG", log.c_str(), 1);
                execl(prog.c_str(), prog.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            running.push_back(r);
            next++;
        }
        int status = 0;
        pid_t done = waitpid(-1, &status, WNOHANG);
        if (done <= 0) {
            // Generous: the machine may be busy; a start that hangs is a fault.
            for (Start& r : running)
                if (!r.killed && time(nullptr) - r.started > 120) r.killed = kill(r.pid, SIGKILL) == 0;
            struct timespec ts = {0, 5 * 1000 * 1000};
            nanosleep(&ts, nullptr);
            continue;
        }
        for (size_t i = 0; i < running.size(); i++) {
            if (running[i].pid != done) continue;
            finish(running[i], status);
            running.erase(running.begin() + static_cast<long>(i));
            break;
        }
    }

    printf("damaged copies: %zu; refused with a panic: %zu; ran the script: %zu; failed in the script: %zu; faults: %zu\n",
           list.size(), refused, ran, script_failed, faults.size());
    std::string all;
    for (const std::string& f : faults) all += f + "\n";
    EXPECT_TRUE(faults.empty()) << all;
}

TEST(DamagedArchive, EveryWrittenLayoutIsIntact) {
    // The start refuses an archive that is not intact: every layout the
    // writer makes must pass, with or without index and scrambling.
    std::vector<BfsWriteEntry> entries;
    for (int i = 0; i < 40; i++)
        entries.push_back({"entry/" + std::to_string(i) + std::string(i % 5, '\xE9'), Bytes(i * 97 % 1500, static_cast<unsigned char>(i))});
    for (size_t n : {size_t(0), size_t(1), size_t(3), entries.size()}) {
        for (int variant = 0; variant < 4; variant++) {
            BfsWriteOptions o;
            o.hash_index = variant & 1;
            o.scramble_names = o.scramble_contents = variant & 2;
            Bytes image;
            std::string error;
            ASSERT_TRUE(bfs_write_archive({entries.begin(), entries.begin() + static_cast<long>(n)}, o, &image, nullptr, &error));
            BfsArchive a = bfs_describe(image.data(), image.size());
            EXPECT_TRUE(bfs_intact(&a)) << n << " entries, variant " << variant;
        }
    }
}

// Packs `script` with the console host and hand-chosen entries; the
// runtime library is extracted into the process directory.
std::string pack_with(const TempDir& dir, const std::string& name, const std::string& script_name,
                      const std::vector<std::string>& extra, const std::string& script = "print qq{RAN-OK\\n};\n") {
    write_text(dir.file("script"), script);
    write_text(dir.file("setup"), "1;");
    std::string bin = KV_BIN_DIR;
    std::vector<std::string> args = {bin + "/kovpack", "-q", "--host", bin + "/kovrun",
                                     "--entry", script_name + "=" + dir.file("script"),
                                     "--option", "SCRIPTNAME=" + script_name,
                                     "--entry", "*SETUP=" + dir.file("setup"),
                                     "--entry", "perl536.so=" + std::string(KV_LIB_DIR) + "/perl536.so",
                                     "--option", "CLEAN", "-o", dir.file(name)};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcResult r = run_process(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file(name);
}

TEST(DamagedArchive, OptionEntryThatCannotBeReadRefusesTheStart) {
    // Each option entry is long enough to be stored compressed; a flipped
    // checksum byte at the end of its stored bytes makes it unreadable.
    // Absent, each of them is a normal case; there but unreadable, none may
    // be taken as absent.
    TempDir dir, tmp;
    std::string long_text(600, 'x');
    for (size_t i = 0; i < long_text.size(); i++) long_text[i] = static_cast<char>('a' + i * 7 % 26);
    write_text(dir.file("version"), std::string(600, '\0'));
    struct Case {
        std::string entry, label;
        std::vector<std::string> extra;
        std::string script_name = "s.pl";
    };
    const std::vector<Case> cases = {
        {"*", "*", {"--entry", "*=" + dir.file("version")}},
        {"*DEBUG", "debugger options", {"--option", "DEBUG=" + long_text}},
        {"*PERLDLL", "perldll", {"--option", "PERLDLL=" + long_text}},
        {"*SCRIPTNAME", "scriptname", {}, long_text + ".pl"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        std::string exe = pack_with(dir, "prog", c.script_name, c.extra);
        std::string image = read_text(exe);
        Bytes b(image.begin(), image.end());
        Map m = map_program(b);
        bool found = false;
        for (const Entry& e : m.entries)
            if (e.name == c.entry) {
                ASSERT_GT(e.stored, 6u);
                b[e.block + BFS_BLOCK_HEAD_SIZE + e.stored - 1] ^= 0x10;
                found = true;
            }
        ASSERT_TRUE(found);
        write_text(exe, std::string(b.begin(), b.end()));
        ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("log")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Panic: Can't extract " + c.label + "\n");
    }
}

TEST(DamagedArchive, DamagedEntryReadByTheScriptIsReportedAsDamage) {
    // A bound module that cannot be read must not look like one that is not
    // bound: INC dies naming it.
    TempDir dir, tmp;
    std::string text(600, ' ');
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i * 7 % 26);
    write_text(dir.file("big"), text);
    std::string exe = pack_with(dir, "prog", "s.pl", {"--entry", "Big.pm=" + dir.file("big")},
                                R"(print defined(INC('Nothing.pm')) ? "found\n" : "absent\n";
my $v = eval { INC('Big.pm') }; print defined $v ? "read\n" : "error: $@";)");
    std::string image = read_text(exe);
    Bytes b(image.begin(), image.end());
    for (const Entry& e : map_program(b).entries)
        if (e.name == "Big.pm") b[e.block + BFS_BLOCK_HEAD_SIZE + e.stored - 1] ^= 0x10;
    write_text(exe, std::string(b.begin(), b.end()));
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("log")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "absent\nerror: Panic: Can't extract Big.pm at s.pl line 2.\n");
}

TEST(DamagedArchive, NestedStartBeyondTheSessionLimitSaysWhy) {
    // Each check compiles a BEGIN block that starts the next one, through
    // the environment that nested interpreters share, until no session is left.
    TempDir dir, tmp;
    write_text(dir.file("s.pl"), R"(
        $ENV{KV_NEST} = 'BEGIN { Kovar::_check("f", "s", $ENV{KV_NEST}) }';
        print "rc=", Kovar::_check("f", "s", $ENV{KV_NEST}), "\n";)");
    ProcResult p = run_process({std::string(KV_BIN_DIR) + "/kovpack", "-q", dir.file("s.pl"), "-o", dir.file("prog")});
    ASSERT_EQ(p.status, 0) << p.err;
    ProcResult r = run_process({dir.file("prog")}, {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("log")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rc=0\n");
    size_t at = r.err.find("Panic: Too many sessions\n");
    EXPECT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Panic", at + 1), std::string::npos) << r.err;
}

TEST(DamagedArchive, ProgramPathTooLongIsReportedAsSuch) {
    TempDir dir, tmp;
    write_text(dir.file("s.pl"), "print qq{RAN-OK\\n};\n");
    ProcResult p = run_process({std::string(KV_BIN_DIR) + "/kovpack", "-q", dir.file("s.pl"), "-o", dir.file("prog")});
    ASSERT_EQ(p.status, 0) << p.err;
    // Directories of 200 characters, entered one at a time: no single call
    // takes the whole path. At 19 levels the program's path is about 3 900
    // characters long, at 21 more than the system can spell out.
    const std::string level(200, 'd');
    auto run_at = [&](int depth) {
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            setenv("TMPDIR", tmp.path.c_str(), 1);
            if (chdir(dir.path.c_str()) != 0) _exit(120);
            for (int i = 0; i < depth; i++) {
                mkdir(level.c_str(), 0700);
                if (chdir(level.c_str()) != 0) _exit(121);
            }
            unlink("prog");
            if (link(dir.file("prog").c_str(), "prog") != 0) _exit(122);
            execl("./prog", "./prog", static_cast<char*>(nullptr));
            _exit(123);
        }
        ProcResult r;
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = read_text(dir.file("out"));
        r.err = read_text(dir.file("err"));
        return r;
    };
    ProcResult r = run_at(19);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "RAN-OK\n");
    r = run_at(21);
    EXPECT_EQ(r.status, 1);
    // The sanitizer runtime, when built in, may warn of the path first.
    const std::string panic = "Panic: Executable path needs more than " + std::to_string(PATH_MAX - 1) + " characters\n";
    EXPECT_TRUE(r.err.ends_with(panic)) << r.err;
    EXPECT_EQ(r.err.find("Panic"), r.err.size() - panic.size()) << r.err;
    run_process({"/bin/rm", "-rf", dir.file(level)});
}

}  // namespace
