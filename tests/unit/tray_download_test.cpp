// Nimbrel::Download on the test backend against a loopback server of the
// tests' own (tests/support/http_server.py): whole bodies in
// "Nimbrel::Internet", failures on the debugger output and in
// "Nimbrel::DownloadFailed", the order of completions, and the quit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "tests/support/loopback_server.h"
#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kHost = std::string(KV_TEST_LIBS_DIR) + "/kv_tray_host";
const std::string kServer = std::string(KV_SOURCE_DIR) + "/tests/support/http_server.py";

// The server runs for the whole suite and ends when its standard input closes.
LoopbackServer g_server;

const std::vector<std::string> kNoProxy = {"http_proxy", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
                                           "all_proxy",  "ALL_PROXY",   "no_proxy",    "NO_PROXY"};

struct TrayDownload : ::testing::Test {
    TempDir dir;

    static void SetUpTestSuite() { g_server.start(kServer); }
    static void TearDownTestSuite() { g_server.stop(); }
    void SetUp() override { ASSERT_GT(g_server.http, 0) << "the loopback server did not start"; }

    static std::string base() { return "http://127.0.0.1:" + std::to_string(g_server.http); }

    // Packs the script (after "$| = 1;" and $base, the server's address) with
    // the test host and runs it with the steps.
    ProcResult run(const std::string& script, const std::string& steps, std::vector<std::string> env = {}) {
        write_text(dir.file("app.pl"), "$| = 1; my $base = '" + base() + "';\n" + script);
        ProcResult packed =
            run_process({kBin + "/kovpack", "-q", "--no-bundle-libperl", "--host-exe", kHost, dir.file("app.pl"), "-o", dir.file("app")});
        EXPECT_EQ(packed.status, 0) << packed.err;
        env.insert(env.begin(), kNoProxy.begin(), kNoProxy.end());
        env.insert(env.end(), {"TMPDIR=" + dir.path, "KV_TRAY_STEPS=" + steps, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log")});
        ProcResult r = run_process({dir.file("app")}, env);
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("await timed out"), std::string::npos) << r.out;
        return r;
    }
    std::string debug_log() { return access(dir.file("debug.log").c_str(), F_OK) == 0 ? read_text(dir.file("debug.log")) : ""; }
};

// The lines of `text` that begin with `prefix`, sorted.
std::vector<std::string> lines(const std::string& text, const std::string& prefix = "") {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    std::sort(out.begin(), out.end());
    return out;
}

// Each body compared with what the server sends; the URL comes back as given.
const char* kDeliver = R"(
    my $block = join '', map chr, 0 .. 250;
    sub pattern { substr($block x ($_[0] / 251 + 1), 0, $_[0]) }
    my %want = (empty => '', small => pattern(10), big => pattern(100000), huge => pattern(3000017),
                stream => pattern(300007), nul => "a\0b\0\0c", missing => 'no such page', moved => pattern(10),
                headers => 'Nimbrel/1.0|no-cache|no-cache', loop3 => pattern(3), loop4 => pattern(4));
    sub Nimbrel::Internet {
        my ($content, $context, $url) = @_;
        print "got $context ", length $content, ' ', ($content eq $want{$context} ? 'ok' : 'WRONG'), ' ', substr($url, length $base), "\n";
    }
)";

TEST_F(TrayDownload, BodiesArriveWholeWithTheirContextAndUrl) {
    ProcResult r = run(std::string(kDeliver) + R"(
        my %paths = (empty => '/empty', big => '/bytes/100000', huge => '/bytes/3000017', nul => '/nul',
                     missing => '/missing', moved => '/redirect/bytes/10', headers => '/headers',
                     stream => '/unannounced/300007');
        print Nimbrel::Download("$base$paths{$_}", $_) ? "started $_\n" : "refused $_\n" for sort keys %paths;
        Nimbrel::Download("$base/bytes/$_", "loop$_") for 3, 4;
        print 'one argument: ', (Nimbrel::Download("$base/empty") ? 'true' : 'false'), "\n";
        print 'three arguments: ', (Nimbrel::Download("$base/empty", 1, 2) ? 'true' : 'false'), "\n";)",
                       "await 10");
    EXPECT_EQ(lines(r.out, "got "), (std::vector<std::string>{
                                         "got big 100000 ok /bytes/100000", "got empty 0 ok /empty",
                                         "got headers 29 ok /headers", "got huge 3000017 ok /bytes/3000017",
                                         "got loop3 3 ok /bytes/3", "got loop4 4 ok /bytes/4", "got missing 12 ok /missing",
                                         "got moved 10 ok /redirect/bytes/10", "got nul 6 ok /nul",
                                         "got stream 300007 ok /unannounced/300007"}));
    EXPECT_EQ(lines(r.out, "started ").size(), 8u) << r.out;
    EXPECT_NE(r.out.find("one argument: false\nthree arguments: false\n"), std::string::npos) << r.out;
    EXPECT_EQ(debug_log(), "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(TrayDownload, FailuresAreReportedAndNeverDeliveredAsBodies) {
    std::string closed = "http://127.0.0.1:" + std::to_string(g_server.closed);
    std::string https = "https://127.0.0.1:" + std::to_string(g_server.https) + "/bytes/10";
    std::string long_url = closed + "/" + std::string(5000, 'a');
    ProcResult r = run(R"(
        sub Nimbrel::Internet { print "INTERNET $_[1]\n" }
        sub Nimbrel::DownloadFailed { my ($error, $context, $url) = @_; print "failed $context ", length $url, " $error\n" }
        Nimbrel::Download(@$_) for [')" + closed + R"(/x', 'closed'], [')" + https + R"(', 'https'],
            ["$base/stall/1000", 'stall'], ["$base/cut/1000", 'cut'], [')" + long_url + R"(', 'long'];)",
                       "await 5", {"KV_NET_TIMEOUTS=10000,1000"});
    std::string refused = "InternetOpenUrl(" + closed + "/x) failed: 7 (Couldn't connect to server)";
    std::string cut = "InternetReadFile failed: 18 (Transferred a partial file)";
    std::string stall = "InternetReadFile failed: 28 (Timeout was reached)";
    // The long URL is cut short so that the line fits its 200 bytes.
    std::string tail = "...) failed: 7 (Couldn't connect to server)";
    std::string long_line = "InternetOpenUrl(" + long_url.substr(0, 199 - 16 - tail.size()) + tail;
    ASSERT_EQ(long_line.size(), 199u);
    // The certificate's error text is libcurl's: only its number is fixed.
    std::vector<std::string> log = lines(debug_log());
    for (std::string& l : log)
        if (l.rfind("InternetOpenUrl(" + https + ") failed: 60 (", 0) == 0) l = "HTTPS";
    std::sort(log.begin(), log.end());
    // A failed read is tried again three times; a stall ends it at once.
    std::vector<std::string> want_log = {"HTTPS", long_line, refused, cut, cut, cut, cut, stall};
    std::sort(want_log.begin(), want_log.end());
    EXPECT_EQ(log, want_log);
    std::vector<std::string> failed = lines(r.out, "failed ");
    ASSERT_EQ(failed.size(), 5u) << r.out;
    EXPECT_EQ(failed[0], "failed closed " + std::to_string(closed.size() + 2) + " " + refused);
    EXPECT_EQ(failed[1], "failed cut " + std::to_string(base().size() + 9) + " " + cut);
    EXPECT_EQ(failed[3], "failed long " + std::to_string(long_url.size()) + " " + long_line);
    EXPECT_EQ(failed[4], "failed stall " + std::to_string(base().size() + 11) + " " + stall);
    EXPECT_EQ(r.out.find("INTERNET"), std::string::npos) << r.out;
}

TEST_F(TrayDownload, CompletionsComeInFinishingOrderAndValuesAreTheVeryOnesGiven) {
    ProcResult r = run(R"(
        my $callback = sub { print "callback got $_[0]\n" };
        my $url = "$base/slow/2500/first";
        Nimbrel::Download($url, $callback);
        # The script's value changes while the worker runs; the request kept its own text.
        $url = 'x' x 100000;
        Nimbrel::Download("$base/slow/0/second", 'second');
        # Without a Nimbrel::DownloadFailed nothing is called for a failure,
        # but the values are released.
        my $released = 'no';
        sub Gone::DESTROY { $released = 'yes' }
        Nimbrel::Download('http://127.0.0.1:)" + std::to_string(g_server.closed) + R"(/', bless [], 'Gone');
        sub Nimbrel::Internet {
            my ($content, $context) = @_;
            return print "got $context $content\n" unless ref $context;
            print 'same code: ', ($context == $callback ? 'yes' : 'no'), ', same url: ', (\$_[2] == \$url ? 'yes' : 'no'), "\n";
            $context->($content);
            print "failed context released: $released\n";
        })",
                       "await 3");
    EXPECT_EQ(r.out, "tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n> await 3\n"
                     "got second second\nsame code: yes, same url: yes\ncallback got first\nfailed context released: yes\n"
                     "tray: loop ended by the test\ntray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 0\n");
}

TEST_F(TrayDownload, TheQuitDropsLateCompletionsAndEndsRunningDownloads) {
    // A completion delivered by a box of the END blocks comes after the quit
    // began; a stalled download does not hold the program.
    auto begin = std::chrono::steady_clock::now();
    ProcResult r = run(R"(
        sub Nimbrel::Internet { print "INTERNET $_[1]\n" }
        sub Nimbrel::Timer { exit 0 }
        END { print "END\n"; Nimbrel::MessageBox('bye') }
        Nimbrel::Download("$base/bytes/10", 'late');
        Nimbrel::Download("$base/stall/10", 'stalled');
        Nimbrel::_SetTimer(2, 1000);)",
                       "await 1 queue; timer 2");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(r.out.find("INTERNET"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("END\ntray: message_box"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(seconds, 20.0);
}

TEST_F(TrayDownload, AnExitInsideInternetQuits) {
    ProcResult r = run(R"(
        END { print "END status $?\n" }
        sub Nimbrel::Internet { print "got $_[0]\n"; exit 4 }
        Nimbrel::Download("$base/slow/0/body", 'x');)",
                       "await 1; command 1");
    EXPECT_EQ(r.out, "tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n> await 1\ngot body\n"
                     "END status 4\ntray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 4\n> command 1\n");
    EXPECT_EQ(r.status, 4);
}

TEST_F(TrayDownload, TheProxyComesFromTheEnvironment) {
    ProcResult r = run(R"(
        sub Nimbrel::Internet { print "got $_[1]: $_[0]\n" }
        Nimbrel::Download('http://nimbrel.invalid/page', 'away');
        Nimbrel::Download("$base/slow/0/direct", 'near');)",
                       "await 2", {"http_proxy=" + base(), "no_proxy=127.0.0.1"});
    EXPECT_EQ(lines(r.out, "got "), (std::vector<std::string>{"got away: proxied http://nimbrel.invalid/page", "got near: direct"}))
        << r.out;
}

}  // namespace
