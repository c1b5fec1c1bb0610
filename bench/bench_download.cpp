// Downloads of a packed tray program, against curl and libcurl on the same
// loopback server in the same run:
//
//   - throughput: one large body (512 MB by default) fetched with the
//     library's Download and delivered to the script's handler (the time
//     from the call to the handler's start, as the script measures it),
//     as a ratio to `curl -o /dev/null` of the same URL (curl's own
//     time_total); the median of the rounds' ratios. Since curl keeps
//     nothing, a second baseline keeps the body as a program that hands it
//     on must: libcurl (in a process of its own: this program again)
//     writing it into one buffer of the body's size, the least memory
//     traffic that keeping it costs. The body comes once with its length
//     announced (the host reads it straight into CONTENT's buffer) and
//     once without (the host keeps it in chunks and copies them into
//     CONTENT at the end);
//   - peak memory: the program's VmHWM once the body has been delivered,
//     against the body's size, and that peak less the program's VmHWM
//     before the download (its own footprint, Qt included);
//   - responsiveness: the lateness of a 10 ms script timer (each interval
//     between two ticks less 10 ms) while four downloads of a quarter of
//     the size each run and are delivered, against the same timer in the
//     same program for two seconds before them.
//
//   bench_download [ROUNDS] [SIZE_MB]   (default 5 rounds, 512 MB)
//
// The program is packed with the real tray host and its desktop backend,
// on Qt's offscreen platform: no X server is needed, and the event loop,
// timers and the completions' posting are the ones users run. The server
// is this benchmark's own (a thread per connection, the body sent with
// sendfile from a memory file), so that it is not what limits the rate.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"


namespace {

// ---- the server ------------------------------------------------------------------------
// GET /bytes/N answers N bytes (byte i is i % 251) with a Content-Length,
// GET /unannounced/N the same without one (the body ends with the
// connection); anything else a 404.
constexpr size_t kSourceSize = 251 * 65536;  // a whole number of periods
int g_source = -1;                           // a memory file holding the pattern
int g_listener = -1;

void send_all(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0) return;
        data += w;
        n -= static_cast<size_t>(w);
    }
}

void* serve(void* p) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(p));
    char head[8192];
    size_t used = 0;
    while (used < sizeof head - 1 && !memmem(head, used, "\r\n\r\n", 4)) {
        ssize_t r = recv(fd, head + used, sizeof head - 1 - used, 0);
        if (r <= 0) break;
        used += static_cast<size_t>(r);
    }
    head[used] = 0;
    unsigned long long n = 0;
    char route[16] = "";
    if (sscanf(head, "GET /%15[a-z]/%llu ", route, &n) == 2 && (strcmp(route, "bytes") == 0 || strcmp(route, "unannounced") == 0)) {
        char reply[256], length[64] = "";
        if (strcmp(route, "bytes") == 0) snprintf(length, sizeof length, "Content-Length: %llu\r\n", n);
        int len = snprintf(reply, sizeof reply, "HTTP/1.1 200 OK\r\n%sConnection: close\r\n\r\n", length);
        send_all(fd, reply, static_cast<size_t>(len));
        size_t pos = 0;  // in the memory file: the body goes on where the last send ended
        while (n > 0) {
            off_t at = static_cast<off_t>(pos);
            size_t part = kSourceSize - pos;
            if (n < part) part = static_cast<size_t>(n);
            ssize_t w = sendfile(fd, g_source, &at, part);
            if (w <= 0) break;
            n -= static_cast<unsigned long long>(w);
            pos = (pos + static_cast<size_t>(w)) % kSourceSize;
        }
    } else {
        const char* reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send_all(fd, reply, strlen(reply));
    }
    close(fd);
    return nullptr;
}

void* accept_loop(void*) {
    for (;;) {
        int fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return nullptr;  // the listener was shut down
        }
        pthread_t t;
        if (pthread_create(&t, nullptr, serve, reinterpret_cast<void*>(static_cast<intptr_t>(fd))) == 0) pthread_detach(t);
        else close(fd);
    }
}

// Starts the server; its port, or 0.
int start_server(pthread_t* thread) {
    g_source = memfd_create("bench-body", MFD_CLOEXEC);
    if (g_source < 0) return 0;
    std::vector<unsigned char> block(kSourceSize);
    for (size_t i = 0; i < kSourceSize; i++) block[i] = static_cast<unsigned char>(i % 251);
    if (write(g_source, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 0;
    g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (g_listener < 0 || bind(g_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(g_listener, 64) != 0 ||
        getsockname(g_listener, reinterpret_cast<sockaddr*>(&a), &alen) != 0)
        return 0;
    if (pthread_create(thread, nullptr, accept_loop, nullptr) != 0) return 0;
    return ntohs(a.sin_port);
}

void stop_server(pthread_t thread) {
    shutdown(g_listener, SHUT_RDWR);
    pthread_join(thread, nullptr);
    close(g_listener);
    close(g_source);
}

// ---- children ----------------------------------------------------------------------------
// Runs argv with the environment `env` (the whole of it) for at most
// `limit_s` seconds; its standard output and error, or false when it failed
// or took too long (it is then killed).
bool capture(const std::vector<std::string>& argv, const std::vector<std::string>& env, int limit_s, std::string* out) {
    return capture_output(argv, &env, ChildStderr::merge, limit_s, out);
}

// The value after "NAME " on a line of its own; -1 when there is none.
double field(const std::string& text, const char* name) {
    std::string key = std::string("\n") + name + " ";
    size_t at = ("\n" + text).find(key);
    return at == std::string::npos ? -1 : atof(text.c_str() + at + key.size() - 1);
}

// The numbers after "NAME" on its line.
std::vector<double> numbers(const std::string& text, const char* name) {
    std::vector<double> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first != name) continue;
        for (double x; words >> x;) v.push_back(x);
    }
    return v;
}


// ---- the in-memory baseline ---------------------------------------------------------
struct Sink {
    unsigned char* data;
    size_t size, used;
};

size_t sink_write(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<Sink*>(user);
    size_t n = size * count;
    if (n > s->size - s->used) return 0;
    memcpy(s->data + s->used, data, n);
    s->used += n;
    return n;
}

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Seconds to fetch the URL into a fresh buffer of `size` bytes with
// libcurl (no proxy, deliveries of up to 64 KiB as in the host); -1 when
// it failed.
double fetch_to_memory(const std::string& url, size_t size) {
    Sink sink = {static_cast<unsigned char*>(malloc(size)), size, 0};
    CURL* e = curl_easy_init();
    double seconds = -1;
    if (sink.data && e) {
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 65536L);  // as the host's
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, sink_write);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
        long long start = now_ns();
        if (curl_easy_perform(e) == CURLE_OK && sink.used == size) seconds = static_cast<double>(now_ns() - start) / 1e9;
    }
    if (e) curl_easy_cleanup(e);
    free(sink.data);
    return seconds;
}

// The packed program's script. ARGV: "one" URL, or "timer" URL COUNT.
const char* const kScript = R"(use strict;
use warnings;
use Nimbrel;
use Time::HiRes ();
$| = 1;
my ($mode, $url, $count) = @ARGV;
sub now { Time::HiRes::clock_gettime(Time::HiRes::CLOCK_MONOTONIC()) }
sub hwm {
    open(my $fh, '<', '/proc/self/status') or return -1;
    while (<$fh>) { return $1 * 1024 if /^VmHWM:\s+(\d+) kB/ }
    return -1;
}
sub failed { print "error $_[0]\n"; exit 1 }
if ($mode eq 'one') {
    my $idle = hwm();
    my $start = now();
    Download($url, sub {
        my $seconds = now() - $start;
        my ($body) = @_;
        print "seconds $seconds\nlength ", length($body), "\nidle $idle\npeak ", hwm(), "\n";
        exit 0;
    }, \&failed);
} else {
    # Intervals between ticks, in ms: for two seconds alone, then while the
    # downloads run, up to the first tick after the last one has been
    # delivered (whose interval holds that delivery).
    my (%gaps, $last, $delivered);
    my $phase = 'quiet';
    SetTimer(10, sub {
        my $t = now();
        push @{ $gaps{$phase} }, ($t - $last) * 1000 if defined $last;
        $last = $t;
        return unless $delivered;
        print "$_ @{ $gaps{$_} }\n" for 'quiet', 'busy';
        exit 0;
    });
    After('2s', sub {
        $phase = 'busy';
        my $left = $count;
        for (1 .. $count) {
            Download($url, sub { $delivered = 1 unless --$left }, \&failed) or failed('not started');
        }
    });
}
)";

// The program's figures for one kind of body, one entry per round.
struct Fetched {
    std::vector<double> seconds, curl_ratios, memory_ratios, peaks, growths;
    double idle = 0;
};

struct Lateness {
    double median_ms = 0, max_ms = 0;
    size_t ticks = 0;
};

Lateness lateness(const std::vector<double>& gaps) {
    Lateness l;
    std::vector<double> late;
    for (double g : gaps) late.push_back(g - 10.0);
    l.ticks = late.size();
    l.median_ms = median(late);
    for (double x : late) l.max_ms = std::max(l.max_ms, x);
    return l;
}

int run(const std::string& self, int rounds, long long size) {
    pthread_t server;
    int port = start_server(&server);
    if (!port) {
        perror("bench_download: the server");
        return 1;
    }
    char tmpl[] = "/tmp/kv-bench-download-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    std::filesystem::create_directory(dir + "/tmp");
    std::filesystem::create_directory(dir + "/xdg");
    std::filesystem::permissions(dir + "/xdg", std::filesystem::perms::owner_all);
    std::string script = dir + "/fetch.pl", app = dir + "/fetch";
    std::ofstream(script) << kScript;
    int status = 0;
    std::string pack = std::string(KV_BIN_DIR) + "/kovpack -q --tray " + script + " -o " + app;
    std::string base = "http://127.0.0.1:" + std::to_string(port);
    std::string url = base + "/bytes/" + std::to_string(size);
    // The environment of both: no proxy; Qt's offscreen platform, no session bus.
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string s = *e;
        std::string name = s.substr(0, s.find('='));
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
        if (lower.find("proxy") == std::string::npos && name != "TMPDIR" && name != "KOVRUN_DEBUG_LOG" && name.rfind("QT_", 0) != 0 &&
            name != "XDG_RUNTIME_DIR" && name != "DBUS_SESSION_BUS_ADDRESS")
            env.push_back(s);
    }
    env.insert(env.end(), {"TMPDIR=" + dir + "/tmp", "KOVRUN_DEBUG_LOG=/dev/null", "QT_QPA_PLATFORM=offscreen",
                           "XDG_RUNTIME_DIR=" + dir + "/xdg", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir + "/no-bus"});
    std::string out;
    double mb = static_cast<double>(size) / 1e6;
    if (system(pack.c_str()) != 0) {
        fprintf(stderr, "bench_download: packing failed: %s\n", pack.c_str());
        status = 1;
    } else if (!capture({app, "one", base + "/bytes/1000"}, env, 60, &out)) {  // fills the cache
        fprintf(stderr, "bench_download: the program failed:\n%s", out.c_str());
        status = 1;
    }
    // Per round: the baselines, then the program on the body with its
    // length announced and without.
    std::vector<double> curl_s, memory_s;
    Fetched fetched[2];
    const char* const kRoutes[2] = {"/bytes/", "/unannounced/"};
    for (int i = 0; i < rounds && status == 0; i++) {
        if (!capture({"curl", "-s", "--noproxy", "*", "-o", "/dev/null", "-w", "seconds %{time_total}\\nlength %{size_download}\\n", url},
                     env, 120, &out) ||
            field(out, "length") != static_cast<double>(size)) {
            fprintf(stderr, "bench_download: curl failed:\n%s", out.c_str());
            status = 1;
            break;
        }
        curl_s.push_back(field(out, "seconds"));
        double m = -1;
        if (capture({self, "--to-memory", url, std::to_string(size)}, env, 120, &out)) m = field(out, "seconds");
        if (m <= 0) {
            fprintf(stderr, "bench_download: libcurl could not fetch %s into memory\n", url.c_str());
            status = 1;
            break;
        }
        memory_s.push_back(m);
        for (int k = 0; k < 2 && status == 0; k++) {
            if (!capture({app, "one", base + kRoutes[k] + std::to_string(size)}, env, 120, &out) ||
                field(out, "length") != static_cast<double>(size)) {
                fprintf(stderr, "bench_download: the program failed:\n%s", out.c_str());
                status = 1;
                break;
            }
            double a = field(out, "seconds"), idle = field(out, "idle"), peak = field(out, "peak");
            Fetched& f = fetched[k];
            f.seconds.push_back(a);
            f.curl_ratios.push_back(curl_s.back() / a);
            f.memory_ratios.push_back(m / a);
            f.peaks.push_back(peak / static_cast<double>(size));
            f.growths.push_back((peak - idle) / static_cast<double>(size));
            f.idle = idle;
        }
    }
    if (status == 0) {
        printf("download of %.0f MB from a loopback server, %d rounds; medians (ratio: the baseline's time / Download's)\n", mb, rounds);
        printf("  throughput   curl -o /dev/null                  %6.0f MB/s\n", mb / median(curl_s));
        printf("               libcurl into one buffer            %6.0f MB/s\n", mb / median(memory_s));
        const char* const kTitles[2] = {"Download, length announced    ", "Download, length not announced"};
        for (int k = 0; k < 2; k++) {
            const Fetched& f = fetched[k];
            printf("               %s     %6.0f MB/s   %.2fx curl, %.2fx libcurl (rounds:", kTitles[k], mb / median(f.seconds),
                   median(f.curl_ratios), median(f.memory_ratios));
            for (size_t i = 0; i < f.curl_ratios.size(); i++) printf(" %.2f/%.2f", f.curl_ratios[i], f.memory_ratios[i]);
            printf(")\n");
        }
        for (int k = 0; k < 2; k++) {
            const Fetched& f = fetched[k];
            printf("  %s VmHWM %.2fx the body; less the program's own %.0f MB before the download: %.2fx\n",
                   k == 0 ? "peak memory  length announced:    " : "             length not announced:", median(f.peaks), f.idle / 1e6,
                   median(f.growths));
        }
    }
    const int kDownloads = 4;
    long long quarter = size / kDownloads;
    if (status == 0) {
        std::string quarter_url = base + "/bytes/" + std::to_string(quarter);
        if (!capture({app, "timer", quarter_url, std::to_string(kDownloads)}, env, 120, &out)) {
            fprintf(stderr, "bench_download: the timer run failed:\n%s", out.c_str());
            status = 1;
        } else {
            Lateness quiet = lateness(numbers(out, "quiet")), busy = lateness(numbers(out, "busy"));
            printf("  10 ms timer  lateness with no download: median %.2f ms, max %.2f ms (%zu ticks)\n", quiet.median_ms, quiet.max_ms,
                   quiet.ticks);
            printf("               while %d downloads of %.0f MB run: median %.2f ms, max %.2f ms (%zu ticks)\n", kDownloads,
                   static_cast<double>(quarter) / 1e6, busy.median_ms, busy.max_ms, busy.ticks);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    stop_server(server);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--to-memory") == 0) {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
        double seconds = fetch_to_memory(argv[2], static_cast<size_t>(atoll(argv[3])));
        curl_global_cleanup();
        printf("seconds %.6f\n", seconds);
        return seconds > 0 ? 0 : 1;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = 0;
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    long long size_mb = argc > 2 ? atoll(argv[2]) : 512;
    if (rounds < 1) rounds = 5;
    if (size_mb < 4) size_mb = 512;
    signal(SIGPIPE, SIG_IGN);
    return run(self, rounds, size_mb * 1000 * 1000);
}
