#include "tools/pack_script.h"

#include "platform/platform.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "src/bfs/crc32.h"
#include "tools/md5.h"

extern char** environ;

namespace {

// The lines of a program's output, without their line feeds.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

void put_u32(std::vector<unsigned char>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; i++) v[at + i] = static_cast<unsigned char>(x >> (8 * i));
}

std::string dirname_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string basename_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Directory that holds the running kovpack.
std::string own_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    return dirname_of(buf);
}

// Why PATH cannot serve as an input file (a regular file that allows
// access_mode), or "" when it can.
std::string unusable_file(const std::string& path, int access_mode, struct stat* st) {
    if (stat(path.c_str(), st) != 0) return strerror(errno);
    if (!S_ISREG(st->st_mode)) return not_regular(st->st_mode);
    if (access(path.c_str(), access_mode) != 0) return strerror(errno);
    return "";
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Scan directories are "kovpack-scan-XXXXXX" in the temporary directory, each
// with a lock file that its packer holds locked for as long as it runs.
constexpr char kScanPrefix[] = "kovpack-scan-";
constexpr char kScanLock[] = "scan.lock";

// Removes the scan directories of packers that died without removing them
// (killed outright, a power loss): this user's directories whose lock no
// process holds. A PID says nothing here: another process may have it now.
void sweep_stale_scans(const std::string& base) {
    DIR* d = opendir(base.c_str());
    if (!d) return;
    int basefd = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (strncmp(e->d_name, kScanPrefix, sizeof kScanPrefix - 1) != 0) continue;
        int fd = openat(basefd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        int lock = -1;
        if (fstat(fd, &st) == 0 && st.st_uid == geteuid())
            lock = openat(fd, kScanLock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0) remove_tree_at(basefd, e->d_name);
        if (lock >= 0) close(lock);
        close(fd);
    }
    closedir(d);
}

// The private directory of the dependency scan: the scan script and the
// scan's own files. It is removed when this goes away, by the signal handler
// when a signal ends the packer, and by a later packer when neither ran.
class ScratchDir {
public:
    bool create(std::string* error) {
        const char* env = getenv("TMPDIR");
        const std::string base = env && *env ? env : "/tmp";
        sweep_stale_scans(base);
        std::string tmpl = base + "/" + kScanPrefix + "XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        FatalSignalsBlocked blocked;
        if (!mkdtemp(buf.data())) {
            *error = "cannot create a temporary directory in " + base + ": " + strerror(errno);
            return false;
        }
        path_ = buf.data();
        on_signal_remove_dir(path_.c_str());
        // The lock is taken under another name and then renamed, so that a
        // sweeping packer never finds this directory's lock free.
        const std::string pending = path_ + "/" + kScanLock + ".new";
        lock_ = open(pending.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lock_ < 0 || flock(lock_, LOCK_EX) != 0 || rename(pending.c_str(), (path_ + "/" + kScanLock).c_str()) != 0) {
            *error = "cannot lock '" + pending + "': " + strerror(errno);
            return false;
        }
        return true;
    }
    bool make_dir(const std::string& name, std::string* error) {
        std::string p = path_ + "/" + name;
        if (mkdir(p.c_str(), 0700) != 0) {
            *error = "cannot create '" + p + "': " + strerror(errno);
            return false;
        }
        return true;
    }
    bool write(const std::string& name, const unsigned char* data, size_t n, std::string* error) {
        std::string p = path_ + "/" + name;
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = "cannot write '" + p + "': " + strerror(errno);
            return false;
        }
        bool ok = plat_write_all(fd, data, n);
        int saved = errno;
        if (close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok) *error = "cannot write '" + p + "': " + strerror(saved);
        return ok;
    }
    const std::string& path() const { return path_; }
    ~ScratchDir() {
        if (path_.empty()) return;
        FatalSignalsBlocked blocked;
        if (!remove_tree(path_.c_str()))
            fprintf(stderr, "kovpack: cannot remove '%s': %s\n", path_.c_str(), strerror(errno));
        on_signal_remove_dir(nullptr);
        if (lock_ >= 0) close(lock_);
    }

private:
    std::string path_;
    int lock_ = -1;
};

// Starts argv[0] (searched on PATH) with the environment and file actions
// given and the signal mask the packer had; with `isolate`, in a process
// group of its own that a fatal signal to the packer ends, registered
// before a handler can run. 0, *pid set, or the error number.
int spawn_child(char* const* argv, char* const* envp, const posix_spawn_file_actions_t* actions, bool isolate,
                pid_t* pid) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    int rc;
    {
        FatalSignalsBlocked blocked;
        posix_spawnattr_setsigmask(&attr, &blocked.previous());
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | (isolate ? POSIX_SPAWN_SETPGROUP : 0));
        posix_spawnattr_setpgroup(&attr, 0);
        rc = posix_spawnp(pid, argv[0], actions, &attr, argv, envp);
        if (rc == 0 && isolate) on_signal_end_group(*pid);
    }
    posix_spawnattr_destroy(&attr);
    return rc;
}

// Runs args[0] (searched on PATH) with its standard output, and its standard
// error too when merge_stderr is set, collected in *out. False, *error set,
// when it could not be started or waited for; otherwise *status is its wait
// status. With isolate it runs in a process group of its own, which a fatal
// signal to the packer ends (see on_signal_end_group), with standard input
// from /dev/null and its standard error passed on through the packer: outside
// the terminal's foreground group, reading the terminal (or writing to it,
// with tostop) would stop it.
bool run_captured(std::vector<std::string> args, bool merge_stderr, bool isolate, std::string* out, int* status,
                  std::string* error) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int outp[2] = {-1, -1}, errp[2] = {-1, -1};
    if (pipe2(outp, O_CLOEXEC) != 0 || (isolate && pipe2(errp, O_CLOEXEC) != 0)) {
        *error = std::string("cannot create a pipe: ") + strerror(errno);
        for (int fd : {outp[0], outp[1]})
            if (fd >= 0) close(fd);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outp[1], 1);
    if (merge_stderr) posix_spawn_file_actions_adddup2(&actions, outp[1], 2);
    if (isolate) {
        if (!merge_stderr) posix_spawn_file_actions_adddup2(&actions, errp[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    pid_t pid = 0;
    int rc = spawn_child(argv.data(), environ, &actions, isolate, &pid);
    posix_spawn_file_actions_destroy(&actions);
    close(outp[1]);
    if (errp[1] >= 0) close(errp[1]);
    if (rc != 0) {
        close(outp[0]);
        if (errp[0] >= 0) close(errp[0]);
        *error = "cannot run '" + args[0] + "': " + strerror(rc);
        return false;
    }
    struct pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    char buf[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0 && i == 0) {
                out->append(buf, static_cast<size_t>(n));
            } else if (n > 0) {
                plat_write_all(2, buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const auto& p : fds)
        if (p.fd >= 0) close(p.fd);
    // Waited for without reaping, then reaped with the signals blocked: the
    // handler never ends a group whose leader is gone and whose ID another
    // process may have taken.
    siginfo_t info;
    while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    pid_t reaped;
    int wait_errno;
    {
        FatalSignalsBlocked blocked;
        while ((reaped = waitpid(pid, status, 0)) < 0 && errno == EINTR) {
        }
        wait_errno = errno;
        if (isolate) on_signal_end_group(0);
    }
    if (reaped != pid) {
        *error = "cannot wait for '" + args[0] + "': " + strerror(wait_errno);
        return false;
    }
    return true;
}

// The module that traced runs load (-MKovar::TraceReport, or through
// PERL5OPT for the perls a traced command starts). A run of the script
// being packed (the file KOVPACK_TRACE_SCRIPT names as DEVICE:INODE)
// writes, at its end, what it loaded into a file of its own in the
// directory KOVPACK_TRACE_REPORTS, read by the dependency scan (--traced):
// "perl\tVERSION", then "inc\tNAME\tPATH" for each %INC entry and
// "so\tPATH" for each extension library loaded. It loads no module itself,
// and leaves the exit status alone.
const char kTraceReportPm[] = R"PERL(package Kovar::TraceReport;
my ($reports, $is_script);
sub import {
    (my $dir = __FILE__) =~ s{/Kovar/TraceReport\.pm\z}{};
    @INC = grep { ref || $_ ne $dir } @INC;
    my @st = stat $0;
    my $id = $ENV{KOVPACK_TRACE_SCRIPT};
    $is_script = @st && defined $id && "$st[0]:$st[1]" eq $id;
    ($reports) = ($ENV{KOVPACK_TRACE_REPORTS} // '') =~ /\A(.+)\z/s;
}
END {
    if ($is_script && defined $reports) {
        local ($!, $@, $?);
        my @lines = ("perl\t$]");
        for my $name (sort keys %INC) {
            my $path = $INC{$name};
            push @lines, "inc\t$name\t$path" if defined $path && !ref $path && "$name$path" !~ /[\t\n]/;
        }
        push @lines, map { "so\t$_" } grep { !/[\t\n]/ } @{"DynaLoader::dl_shared_objects"};
        my ($pid) = $$ =~ /\A(\d+)\z/;
        my $n = 0;
        $n++ while -e "$reports/$pid-$n.txt" || -e "$reports/$pid-$n.tmp";
        if (open my $fh, '>', "$reports/$pid-$n.tmp") {
            print {$fh} map { "$_\n" } @lines;
            rename "$reports/$pid-$n.tmp", "$reports/$pid-$n.txt" if close $fh;
        }
    }
}
1;
)PERL";

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Runs args[0] (searched on PATH) with the environment entries env_add
// ("NAME=VALUE") set, in a process group of its own that a fatal signal to
// the packer ends, with standard input from /dev/null, standard output
// discarded and standard error passed on through the packer. When it has
// ended, or after timeout seconds (*timed_out set), whatever is left of its
// group is killed. False, *error set, when it could not be started or
// waited for; otherwise *status is its wait status.
bool run_traced(std::vector<std::string> args, const std::vector<std::string>& env_add, int timeout, int* status,
                bool* timed_out, std::string* error) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(env_add.begin(), env_add.end(), [&](const std::string& a) { return a.rfind(name, 0) == 0; }))
            env.push_back(entry);
    }
    env.insert(env.end(), env_add.begin(), env_add.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int errp[2];
    if (pipe2(errp, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe: ") + strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errp[1], 2);
    pid_t pid = 0;
    int rc = spawn_child(argv.data(), envp.data(), &actions, true, &pid);
    posix_spawn_file_actions_destroy(&actions);
    close(errp[1]);
    if (rc != 0) {
        close(errp[0]);
        *error = "cannot run '" + args[0] + "': " + strerror(rc);
        return false;
    }
    // Relays standard error for up to wait_ms milliseconds, or until it
    // reaches its end; false at its end.
    int errfd = errp[0];
    auto relay = [&](int wait_ms) {
        if (errfd < 0) {
            if (wait_ms > 0) poll(nullptr, 0, wait_ms);
            return false;
        }
        struct pollfd p = {errfd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) return true;
        char buf[65536];
        ssize_t n = read(errfd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) {
            close(errfd);
            errfd = -1;
            return false;
        }
        plat_write_all(2, buf, static_cast<size_t>(n));
        return true;
    };
    const int64_t deadline = monotonic_ms() + int64_t(timeout) * 1000;
    *timed_out = false;
    for (;;) {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            *timed_out = true;
            break;
        }
        relay(static_cast<int>(std::min<int64_t>(left, 100)));
    }
    // The leader is waited for but not reaped, so its group ID is still
    // its own: end what is left of the group, and pass on what it wrote
    // (for a moment: a process that left the group may keep the pipe).
    kill(-pid, SIGKILL);
    const int64_t drain_end = monotonic_ms() + 2000;
    while (relay(static_cast<int>(std::max<int64_t>(0, drain_end - monotonic_ms()))) && monotonic_ms() < drain_end) {
    }
    if (errfd >= 0) close(errfd);
    pid_t reaped;
    int wait_errno;
    {
        FatalSignalsBlocked blocked;
        while ((reaped = waitpid(pid, status, 0)) < 0 && errno == EINTR) {
        }
        wait_errno = errno;
        on_signal_end_group(0);
    }
    if (reaped != pid) {
        *error = "cannot wait for '" + args[0] + "': " + strerror(wait_errno);
        return false;
    }
    return true;
}

// "exit status N" or "signal N".
std::string describe_status(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

size_t count_reports(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            size_t len = strlen(e->d_name);
            if (len > 4 && strcmp(e->d_name + len - 4, ".txt") == 0) n++;
        }
        closedir(d);
    }
    return n;
}

// Whether the script's #! line asks for taint mode (-T or -t among its
// switches), which perl then wants on its command line too.
bool shebang_taint(const std::string& script) {
    FILE* f = fopen(script.c_str(), "re");
    if (!f) return false;
    char buf[1024];
    bool taint = false;
    if (fgets(buf, sizeof buf, f) && strncmp(buf, "#!", 2) == 0) {
        std::string line = buf;
        size_t perl = line.find("perl");
        if (perl != std::string::npos) {
            size_t at = line.find_first_of(" \t\r\n", perl);
            while (at != std::string::npos && !taint) {
                at = line.find_first_not_of(" \t\r\n", at);
                if (at == std::string::npos || line[at] != '-') break;
                size_t end = line.find_first_of(" \t\r\n", at);
                for (size_t i = at + 1; i < std::min(end, line.size()) && isalpha(static_cast<unsigned char>(line[i])); i++)
                    if (line[i] == 'T' || line[i] == 't') taint = true;
                at = end;
            }
        }
    }
    fclose(f);
    return taint;
}

// Runs the traced runs and commands; the reports go to <scratch>/reports,
// which *reports names. False (reported) when one cannot be run, does not
// end in time, or reports nothing.
bool run_traces(const ScriptPackOptions& o, ScratchDir& scratch, std::string* reports) {
    std::string error;
    struct stat st;
    if (stat(o.script.c_str(), &st) != 0) {
        fprintf(stderr, "kovpack: cannot read script '%s': %s\n", o.script.c_str(), strerror(errno));
        return false;
    }
    *reports = scratch.path() + "/reports";
    const std::string module_dir = scratch.path() + "/trace";
    if (!scratch.make_dir("trace", &error) || !scratch.make_dir("trace/Kovar", &error) ||
        !scratch.write("trace/Kovar/TraceReport.pm", reinterpret_cast<const unsigned char*>(kTraceReportPm),
                       sizeof kTraceReportPm - 1, &error) ||
        !scratch.make_dir("reports", &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    const std::vector<std::string> env = {
        "KOVPACK_TRACE_REPORTS=" + *reports,
        "KOVPACK_TRACE_SCRIPT=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)};
    const std::string script_name = basename_of(o.script);
    const bool taint = o.taint || shebang_taint(o.script);

    // One traced run: what it is called in messages, its command and environment.
    auto trace = [&](const std::string& what, bool command, std::vector<std::string> args, const std::vector<std::string>& env_add) {
        size_t before = count_reports(*reports);
        int status = 0;
        bool timed_out = false;
        if (!run_traced(std::move(args), env_add, o.trace_timeout, &status, &timed_out, &error)) {
            fprintf(stderr, "kovpack: %s: %s\n", what.c_str(), error.c_str());
            return false;
        }
        if (timed_out) {
            fprintf(stderr, "kovpack: %s did not end within %d second%s and was stopped; nothing was written (see --trace-timeout)\n",
                    what.c_str(), o.trace_timeout, o.trace_timeout == 1 ? "" : "s");
            return false;
        }
        bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (count_reports(*reports) == before) {
            if (ok && command)
                fprintf(stderr, "kovpack: %s reported nothing: no run of %s by the packing perl (not in taint mode) reached its end; nothing was written\n",
                        what.c_str(), script_name.c_str());
            else if (ok)
                fprintf(stderr, "kovpack: %s reported nothing: it ended without running its END blocks (exec or POSIX::_exit?); nothing was written\n",
                        what.c_str());
            else
                fprintf(stderr, "kovpack: %s failed (%s) before it reported what it loaded; nothing was written\n",
                        what.c_str(), describe_status(status).c_str());
            return false;
        }
        if (!ok)
            fprintf(stderr, "kovpack: warning: %s ended with %s; what it loaded is bound\n", what.c_str(),
                    describe_status(status).c_str());
        return true;
    };
    for (const TraceRun& run : o.trace_runs) {
        std::vector<std::string> args = {o.perl};
        if (taint) args.push_back("-T");
        for (const auto& d : o.lib) args.push_back("-I" + d);
        args.insert(args.end(), {"-I" + module_dir, "-MKovar::TraceReport", "--", o.script});
        args.insert(args.end(), run.words.begin(), run.words.end());
        std::string what = "the traced run '" + script_name + (run.text.empty() ? "" : " " + run.text) + "'";
        if (!trace(what, false, args, env)) return false;
    }
    for (const std::string& command : o.trace_commands) {
        std::vector<std::string> env_add = env;
        const char* opt = getenv("PERL5OPT");
        const char* lib = getenv("PERL5LIB");
        env_add.push_back(std::string("PERL5OPT=") + (opt && *opt ? std::string(opt) + " " : "") + "-MKovar::TraceReport");
        env_add.push_back("PERL5LIB=" + module_dir + (lib && *lib ? ":" + std::string(lib) : ""));
        if (!trace("the traced command '" + command + "'", true, {"/bin/sh", "-c", command}, env_add)) return false;
    }
    return true;
}

// Runs the dependency scan; on success fills *files with (name, path) pairs.
// The scan reports its own failures on standard error.
// `scratch` holds the scan's own files, and files that it makes to be bound
// (so it lives until they are read).
bool run_scandeps(const ScriptPackOptions& o, ScratchDir& scratch, std::vector<std::pair<std::string, std::string>>* files,
                  std::set<std::string>* data_too) {
    std::string error;
    if (!scratch.create(&error) || !scratch.write("scandeps.pl", kv_scandeps_pl, kv_scandeps_pl_size, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    std::vector<std::string> args = {o.perl, scratch.path() + "/scandeps.pl", "--prog", "kovpack", "--workdir", scratch.path()};
    if (o.debug) args.push_back("--debug");
    if (o.taint) args.push_back("--taint");
    // A tray script's `use Nimbrel` finds the glue library that is bound
    // with it, and the scan follows what the glue library uses.
    if (o.host_kind == HostKind::Tray && kv_nimbrel_pm_size > 0) {
        if (!scratch.make_dir("glue", &error) ||
            !scratch.write(std::string("glue/") + kGlueEntry, kv_nimbrel_pm, kv_nimbrel_pm_size, &error)) {
            fprintf(stderr, "kovpack: %s\n", error.c_str());
            return false;
        }
        args.insert(args.end(), {"-I", scratch.path() + "/glue"});
    }
    for (const auto& d : o.lib) args.insert(args.end(), {"-I", d});
    for (const auto& m : o.add) args.insert(args.end(), {"--add", m});
    for (const auto& m : o.exclude) args.insert(args.end(), {"--exclude", m});
    if (!o.trace_runs.empty() || !o.trace_commands.empty()) {
        std::string reports;
        if (!run_traces(o, scratch, &reports)) return false;
        args.insert(args.end(), {"--traced", reports});
    }
    args.insert(args.end(), {"--", o.script});

    std::string out;
    int status = 0;
    if (!run_captured(args, false, true, &out, &status, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "kovpack: the dependency scan of '%s' failed; nothing was written\n", o.script.c_str());
        return false;
    }
    for (const std::string& line : split_lines(out)) {
        if (line.empty()) continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0 || tab + 1 == line.size() || line[0] == '*' || line[0] == '/') {
            fprintf(stderr, "kovpack: the dependency scan printed an unusable line: %s\n", line.c_str());
            return false;
        }
        // A third field "data": a file that is also one of the data files.
        std::string path = line.substr(tab + 1);
        bool data = path.size() > 5 && path.compare(path.size() - 5, 5, "\tdata") == 0;
        if (data) path.resize(path.size() - 5);
        files->emplace_back(line.substr(0, tab), path);
        if (data) data_too->insert(line.substr(0, tab));
    }
    return true;
}

// The Perl libraries (sonames beginning "libperl.so") that the runtime
// library needs, as (soname, file) pairs, found the way the dynamic loader
// finds them for it: ldd reports the loader's choice.
bool find_perl_libraries(const std::string& runtime, std::vector<std::pair<std::string, std::string>>* libs,
                         std::string* error) {
    std::string out;
    int status = 0;
    if (!run_captured({"ldd", "--", runtime}, true, false, &out, &status, error)) return false;
    auto trim = [](std::string t) {
        while (!t.empty() && (t.back() == '\n' || t.back() == ' ' || t.back() == '\t')) t.pop_back();
        return t;
    };
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "cannot list the libraries that runtime library '" + runtime + "' needs: " + trim(out);
        return false;
    }
    for (const std::string& line : split_lines(out)) {
        // "\tSONAME => FILE (0xADDRESS)" or "\tSONAME => not found"
        size_t start = line.find_first_not_of(" \t");
        size_t arrow = line.find(" => ");
        if (start == std::string::npos || arrow == std::string::npos || arrow < start) continue;
        std::string soname = line.substr(start, arrow - start);
        if (soname.rfind("libperl.so", 0) != 0) continue;
        std::string file = line.substr(arrow + 4);
        size_t address = file.rfind(" (0x");
        if (address != std::string::npos) file.erase(address);
        if (file.empty() || file == "not found") {
            *error = "runtime library '" + runtime + "' needs " + soname + ", which the dynamic loader does not find";
            return false;
        }
        libs->emplace_back(soname, file);
    }
    return true;
}

const std::vector<unsigned char>* entry_data(const PackRequest& req, const std::string& name) {
    for (const auto& e : req.entries)
        if (e.name == name) return &e.data;
    return nullptr;
}

// The checksums of the libraries that a program writes into its cache: the
// bound runtime library, every library that "*PERLDEPS" names and every
// library of the tray host's desktop backend ("*TRAYLIBS"). "perl.md5"
// (into *md5), the MD5 over all of them in that order, names the cache
// directory; each library NAME also gets an entry "NAME.crc32" with the
// CRC-32 of its own bytes as 8 hexadecimal digits (into *own, as name and
// text), against which the program checks the library before it writes it
// into the cache.
bool cache_checksums(const PackRequest& req, std::string* md5, std::vector<std::pair<std::string, std::string>>* own,
                     std::string* error) {
    Md5 sum;
    auto add = [&](const std::string& name, const std::vector<unsigned char>& data) {
        sum.update(data.data(), data.size());
        char crc[9];
        snprintf(crc, sizeof crc, "%08x", bfs_crc32(0, data.data(), data.size()));
        own->emplace_back(name, crc);
    };
    if (const std::vector<unsigned char>* runtime = entry_data(req, kRuntimeEntry)) add(kRuntimeEntry, *runtime);
    for (const char* list_name : {"*PERLDEPS", "*TRAYLIBS"}) {
        const std::vector<unsigned char>* list = entry_data(req, list_name);
        if (!list) continue;
        for (const std::string& name : split_lines(std::string(list->begin(), list->end()))) {
            if (name.empty()) continue;
            const std::vector<unsigned char>* lib = entry_data(req, name);
            if (!lib) {
                *error = std::string(list_name) + " names '" + name + "', which is not bound";
                return false;
            }
            add(name, *lib);
        }
    }
    *md5 = sum.hex();
    return true;
}

// The checksums of the files that a program writes beside its cached runtime
// library: the extension libraries ("auto/...so") and the data files that
// "*DATAFILES" names. "*FILES.md5" (into *key; empty when there are none),
// the MD5 over each file's name, a zero byte, its size as 8 little-endian
// bytes and its contents, in name order, names their directory; each file
// NAME gets its "NAME.crc32" (into *own), as the libraries do.
bool files_checksums(const PackRequest& req, std::string* key, std::vector<std::pair<std::string, std::string>>* own,
                     std::string* error) {
    std::set<std::string> names;
    for (const auto& e : req.entries)
        if (e.name.rfind("auto/", 0) == 0 && e.name.size() > 8 && e.name.compare(e.name.size() - 3, 3, ".so") == 0)
            names.insert(e.name);
    if (const std::vector<unsigned char>* list = entry_data(req, "*DATAFILES")) {
        for (const std::string& name : split_lines(std::string(list->begin(), list->end()))) {
            if (name.empty()) continue;
            if (!entry_data(req, name)) {
                *error = "*DATAFILES names '" + name + "', which is not bound";
                return false;
            }
            names.insert(name);
        }
    }
    key->clear();
    if (names.empty()) return true;
    Md5 sum;
    for (const std::string& name : names) {
        const std::vector<unsigned char>& data = *entry_data(req, name);
        unsigned char size[8];
        for (int i = 0; i < 8; i++) size[i] = static_cast<unsigned char>(static_cast<uint64_t>(data.size()) >> (8 * i));
        sum.update(name.data(), name.size() + 1);
        sum.update(size, sizeof size);
        sum.update(data.data(), data.size());
        char crc[9];
        snprintf(crc, sizeof crc, "%08x", bfs_crc32(0, data.data(), data.size()));
        own->emplace_back(name, crc);
    }
    *key = sum.hex();
    return true;
}

// Perl source files up to this size are stored uncompressed.
constexpr size_t kPlainSourceMax = 64 * 1024;

// Whether the entry holds Perl source that `require`, `do` or the setup reads.
bool perl_source(const std::string& name) {
    if (name == "*SETUP") return true;
    for (const char* suffix : {".pm", ".pl", ".al", ".ix"})
        if (name.size() > 3 && name.compare(name.size() - 3, 3, suffix) == 0) return true;
    return false;
}

// The entry added, or null when the user bound that name explicitly (which wins).
BfsWriteEntry* add_own(PackRequest& req, const std::string& name, std::vector<unsigned char> data) {
    if (has_entry(req, name)) return nullptr;
    req.entries.push_back(BfsWriteEntry{name, std::move(data)});
    return &req.entries.back();
}

void add_own_text(PackRequest& req, const std::string& name, const std::string& text) {
    add_own(req, name, std::vector<unsigned char>(text.begin(), text.end()));
}

bool parse_u31(const std::string& s, int32_t* out) {
    if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    long long v = std::stoll(s);
    if (v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// Whether the bytes look like an image that the tray host reads: PNG, ICO
// or SVG (an XML text whose first kilobytes hold an <svg element).
bool icon_image(const std::vector<unsigned char>& d) {
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (d.size() >= sizeof png && std::equal(png, png + sizeof png, d.begin())) return true;
    if (d.size() >= 6 && d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0 && (d[4] | d[5]) != 0) return true;
    std::string head(d.begin(), d.begin() + static_cast<long>(std::min<size_t>(d.size(), 4096)));
    return head.find("<svg") != std::string::npos;
}

}  // namespace

bool split_words(const std::string& text, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words->push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            if (++i == text.size()) {
                *error = "'" + text + "' ends with a backslash";
                return false;
            }
            word += text[i];
        } else if (c == '\'' || c == '"') {
            size_t end = i + 1;
            for (; end < text.size() && text[end] != c; end++) {
                if (c == '"' && text[end] == '\\' && end + 1 < text.size() && (text[end + 1] == '"' || text[end + 1] == '\\')) end++;
                word += text[end];
            }
            if (end == text.size()) {
                *error = std::string("unterminated ") + c + " in '" + text + "'";
                return false;
            }
            i = end;
        } else {
            word += c;
        }
    }
    if (in_word) words->push_back(word);
    return true;
}

bool is_data_file(const std::string& name) {
    static const char* const loaded[] = {".pm", ".pl", ".ph", ".al", ".ix", ".so", ".bs"};
    for (const char* ext : loaded) {
        size_t n = strlen(ext);
        if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) return false;
    }
    return true;
}

std::string icon_entry_name(const std::string& name, std::string* error) {
    if (name.empty()) return "*ICON";
    if (name[0] == '#') {
        // A number, written without leading zeros, as _LoadIcon asks for it.
        std::string digits = name.substr(1);
        int32_t n = 0;
        if (!parse_u31(digits, &n) || n < 1) {
            *error = "icon name '" + name + "' is '#' and a number from 1";
            return "";
        }
        return n == 1 ? "*ICON" : "*ICON:#" + std::to_string(n);
    }
    return "*ICON:" + name;
}

bool parse_i32(const std::string& text, int32_t* out) {
    if (!text.empty() && text[0] == '-') {
        int32_t v;
        // -2147483648 does not fit parse_u31; spell it out.
        if (text == "-2147483648") {
            *out = INT32_MIN;
            return true;
        }
        if (!parse_u31(text.substr(1), &v)) return false;
        *out = -v;
        return true;
    }
    return parse_u31(text, out);
}

bool parse_app_version(const std::string& text, VersionInfo* v) {
    int32_t* fields[4] = {&v->major, &v->minor, &v->release, &v->build};
    int32_t values[4] = {0, 0, 0, 0};
    size_t at = 0;
    for (int i = 0;; i++) {
        if (i == 4) return false;
        size_t dot = text.find('.', at);
        std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (!parse_u31(part, &values[i])) return false;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    for (int i = 0; i < 4; i++) *fields[i] = values[i];
    return true;
}

std::vector<unsigned char> make_version_record(const VersionInfo& v) {
    std::vector<unsigned char> r(kVersionHeadSize, 0);
    auto add_text = [&r](const std::string& s) {
        uint32_t offset = static_cast<uint32_t>(r.size());
        r.insert(r.end(), s.begin(), s.end());
        r.push_back(0);
        return offset;
    };
    put_u32(r, 16, add_text(v.url));
    put_u32(r, 40, add_text(v.copyright));
    put_u32(r, 44, add_text(v.suffix));
    put_u32(r, 20, static_cast<uint32_t>(v.major));
    put_u32(r, 24, static_cast<uint32_t>(v.minor));
    put_u32(r, 28, static_cast<uint32_t>(v.release));
    put_u32(r, 32, static_cast<uint32_t>(v.build));
    put_u32(r, 36, static_cast<uint32_t>(v.checkin));
    return r;
}

int pack_script(const ScriptPackOptions& opts, PackRequest& req) {
    std::string error;
    const std::string bindir = own_dir();

    // Everything that can be checked cheaply is checked before the scan.
    struct stat script_st, host_st, runtime_st, out_st;
    if (!check_output(req.output, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    std::string why = unusable_file(opts.script, R_OK, &script_st);
    if (!why.empty()) {
        fprintf(stderr, "kovpack: cannot read script '%s': %s\n", opts.script.c_str(), why.c_str());
        return 1;
    }
    std::string script_name = basename_of(opts.script);
    if (script_name.empty() || script_name[0] == '*') {
        fprintf(stderr, "kovpack: script name '%s' cannot name an entry (it must not begin with '*')\n",
                script_name.c_str());
        return 1;
    }

    std::string host = opts.host_exe;
    if (host.empty()) {
        switch (opts.host_kind) {
            case HostKind::Console:
                host = bindir + "/kovrun";
                break;
            case HostKind::Tray:
                host = bindir + "/nimbrel";
                break;
        }
    }
    why = unusable_file(host, R_OK | X_OK, &host_st);
    if (!why.empty()) {
        fprintf(stderr, "kovpack: host program '%s' not found or not executable: %s (build the %s target, or give --host-exe FILE)\n",
                host.c_str(), why.c_str(), opts.host_kind == HostKind::Tray ? "nimbrel" : "kovrun");
        return 1;
    }
    std::string runtime = opts.runtime.empty() ? dirname_of(bindir) + "/lib/" + kRuntimeEntry : opts.runtime;
    why = unusable_file(runtime, R_OK, &runtime_st);
    if (!why.empty()) {
        fprintf(stderr, "kovpack: runtime library '%s' not found or unreadable: %s (build the perl536 target, or give --runtime FILE)\n",
                runtime.c_str(), why.c_str());
        return 1;
    }
    // A tray program carries its desktop backend and its icons.
    std::string backend, backend_name;
    std::vector<unsigned char> backend_bytes;
    std::vector<std::pair<std::string, std::vector<unsigned char>>> icons;
    if (opts.host_kind == HostKind::Tray) {
        backend = opts.tray_backend.empty() ? dirname_of(bindir) + "/lib/" + kTrayBackendFile : opts.tray_backend;
        struct stat backend_st;
        why = unusable_file(backend, R_OK, &backend_st);
        if (!why.empty()) {
            fprintf(stderr, "kovpack: desktop backend '%s' not found or unreadable: %s (build the nimbrel-qt target, or give --tray-backend FILE)\n",
                    backend.c_str(), why.c_str());
            return 1;
        }
        backend_name = basename_of(backend);
        if (backend_name.empty() || backend_name[0] == '.' || backend_name[0] == '*' || backend_name == kRuntimeEntry ||
            backend_name == script_name) {
            fprintf(stderr, "kovpack: desktop backend '%s': its file name cannot name an entry; rename it\n", backend.c_str());
            return 1;
        }
        if (!read_file(backend, &backend_bytes, &error)) {
            fprintf(stderr, "kovpack: desktop backend: %s\n", error.c_str());
            return 1;
        }
        for (const IconFile& icon : opts.icons) {
            std::string entry = icon_entry_name(icon.name, &error);
            std::vector<unsigned char> bytes;
            if (entry.empty() || !read_file(icon.path, &bytes, &error)) {
                fprintf(stderr, "kovpack: icon: %s\n", error.c_str());
                return 1;
            }
            if (!icon_image(bytes)) {
                fprintf(stderr, "kovpack: icon '%s' is not a PNG, SVG or ICO image\n", icon.path.c_str());
                return 1;
            }
            // The last one given for a name wins.
            auto same = std::find_if(icons.begin(), icons.end(), [&](const auto& i) { return i.first == entry; });
            if (same != icons.end()) icons.erase(same);
            icons.emplace_back(entry, std::move(bytes));
        }
    } else if (!opts.icons.empty()) {
        fprintf(stderr, "kovpack: --icon binds icons of a tray program: give --tray\n");
        return 1;
    }
    // The Perl library the runtime library is linked against travels with it.
    std::vector<std::pair<std::string, std::string>> perl_libs;
    if (opts.bundle_libperl && !find_perl_libraries(runtime, &perl_libs, &error)) {
        fprintf(stderr, "kovpack: %s (give --no-bundle-libperl to leave it out)\n", error.c_str());
        return 1;
    }
    if (stat(req.output.c_str(), &out_st) == 0) {
        const char* clash = same_file(out_st, script_st) ? "the script" : same_file(out_st, host_st) ? "the host program"
                            : same_file(out_st, runtime_st) ? "the runtime library" : nullptr;
        for (const auto& lib : perl_libs) {
            struct stat lib_st;
            if (!clash && stat(lib.second.c_str(), &lib_st) == 0 && same_file(out_st, lib_st)) clash = "the Perl library";
        }
        if (clash) {
            fprintf(stderr, "kovpack: output '%s' is %s; choose another output file\n", req.output.c_str(), clash);
            return 1;
        }
    }
    for (const auto& lib : perl_libs) {
        if (lib.first == script_name) {
            fprintf(stderr, "kovpack: the script's name '%s' is also the name of a file it needs ('%s'); rename the script\n",
                    script_name.c_str(), lib.second.c_str());
            return 1;
        }
    }

    if (opts.host_kind == HostKind::Tray && (!opts.trace_runs.empty() || !opts.trace_commands.empty())) {
        fprintf(stderr, "kovpack: --trace-run and --trace-command run the script under plain perl, which a tray script cannot run under\n");
        return 1;
    }

    std::vector<std::pair<std::string, std::string>> deps;
    std::set<std::string> data_too;
    ScratchDir scan_dir;
    if (!run_scandeps(opts, scan_dir, &deps, &data_too)) return 1;
    // The data files among them, which the program writes to a directory
    // that it lists in @INC after its hook.
    std::string data_files;
    size_t data_count = 0;
    for (const auto& dep : deps) {
        if (!is_data_file(dep.first) && !data_too.count(dep.first)) continue;
        data_files += dep.first + "\n";
        data_count++;
    }

    std::vector<unsigned char> script;
    if (!read_file(opts.script, &script, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    std::vector<unsigned char> runtime_bytes;
    if (!read_file(runtime, &runtime_bytes, &error)) {
        fprintf(stderr, "kovpack: runtime library: %s\n", error.c_str());
        return 1;
    }
    std::string perl_deps;
    std::vector<std::vector<unsigned char>> perl_lib_bytes(perl_libs.size());
    for (size_t i = 0; i < perl_libs.size(); i++) {
        if (!read_file(perl_libs[i].second, &perl_lib_bytes[i], &error)) {
            fprintf(stderr, "kovpack: Perl library: %s\n", error.c_str());
            return 1;
        }
        perl_deps += perl_libs[i].first + "\n";
    }

    // Option entries first, then the script, the runtime and the modules.
    add_own_text(req, "*SCRIPTNAME", script_name);
    add_own(req, "*SETUP", std::vector<unsigned char>(kv_setup_pl, kv_setup_pl + kv_setup_pl_size));
    add_own_text(req, "*PERLDLL", kRuntimeEntry);
    if (opts.clean) add_own_text(req, "*CLEAN", "");
    if (opts.taint) add_own_text(req, "*TAINT", "");
    if (opts.keep_system_lib) add_own_text(req, "*KEEPSYSLIB", "");
    if (opts.debug) add_own_text(req, "*DEBUG", opts.debug->empty() ? "-" : *opts.debug);
    if (opts.tmpdir) add_own_text(req, "*TMPDIR", *opts.tmpdir);
    if (opts.version) add_own(req, "*", make_version_record(*opts.version));
    if (data_count) add_own_text(req, "*DATAFILES", data_files);
    add_own(req, script_name, std::move(script));
    // Stored plain, as the Perl library is: a first start writes it out,
    // and inflating it would cost a tenth of what such a start does.
    if (BfsWriteEntry* e = add_own(req, kRuntimeEntry, std::move(runtime_bytes))) e->store_plain = true;
    if (!perl_libs.empty()) {
        add_own_text(req, "*PERLDEPS", perl_deps);
        for (size_t i = 0; i < perl_libs.size(); i++) {
            // Stored plain: inflating it would dominate a first start.
            if (BfsWriteEntry* e = add_own(req, perl_libs[i].first, std::move(perl_lib_bytes[i]))) e->store_plain = true;
        }
    }

    if (opts.host_kind == HostKind::Tray) {
        add_own_text(req, "*TRAYLIBS", backend_name + "\n");
        // Stored plain: inflating it would dominate a first start.
        if (BfsWriteEntry* e = add_own(req, backend_name, std::move(backend_bytes))) e->store_plain = true;
        if (kv_nimbrel_pm_size > 0)
            add_own(req, kGlueEntry, std::vector<unsigned char>(kv_nimbrel_pm, kv_nimbrel_pm + kv_nimbrel_pm_size));
        for (auto& [entry, bytes] : icons) add_own(req, entry, std::move(bytes));
    }

    size_t modules = 0, libraries = 0;
    for (const auto& [name, path] : deps) {
        if (name == script_name || name == kRuntimeEntry || name == "perl.md5") {
            fprintf(stderr, "kovpack: the script's name '%s' is also the name of a file it needs ('%s'); rename the script\n",
                    script_name.c_str(), path.c_str());
            return 1;
        }
        if (has_entry(req, name)) continue;
        BfsWriteEntry e;
        e.name = name;
        if (!read_file(path, &e.data, &error)) {
            fprintf(stderr, "kovpack: %s\n", error.c_str());
            return 1;
        }
        req.entries.push_back(std::move(e));
        if (!is_data_file(name)) (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0 ? libraries : modules)++;
    }

    // Perl source is stored as it is: every start reads the setup code, the
    // script and the modules it loads, and inflating them would cost about
    // a tenth of what compiling them does. Larger files (tables, the
    // debugger) are rarely read whole at a start and stay compressed.
    for (BfsWriteEntry& e : req.entries)
        if (e.data.size() <= kPlainSourceMax && (e.name == script_name || perl_source(e.name))) e.store_plain = true;

    // Computed last, over what is bound, whoever bound it.
    std::string md5;
    std::vector<std::pair<std::string, std::string>> own;
    if (!cache_checksums(req, &md5, &own, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    add_own_text(req, "perl.md5", md5);
    std::string files_key;
    if (!files_checksums(req, &files_key, &own, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    if (!files_key.empty()) add_own_text(req, "*FILES.md5", files_key);
    for (const auto& [name, sum] : own) add_own_text(req, name + ".crc32", sum);

    req.host = host;
    if (!write_pack(req)) return 1;
    if (!req.quiet) {
        printf("kovpack: bound %s with %zu module files and %zu extension libraries; runtime %s (md5 %s)\n",
               script_name.c_str(), modules, libraries, runtime.c_str(), md5.c_str());
        if (data_count)
            printf("kovpack: bound %zu data file%s that modules look for in @INC (listed in \"*DATAFILES\")\n", data_count,
                   data_count == 1 ? "" : "s");
        for (const auto& lib : perl_libs) printf("kovpack: bound %s as %s\n", lib.second.c_str(), lib.first.c_str());
        if (opts.host_kind == HostKind::Tray)
            printf("kovpack: tray program: desktop backend %s, %zu icon%s%s\n", backend.c_str(), icons.size(),
                   icons.size() == 1 ? "" : "s", kv_nimbrel_pm_size > 0 ? ", glue library Nimbrel.pm" : "");
    }
    return 0;
}
