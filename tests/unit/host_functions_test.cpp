// Host functions that scripts call, abused as a careless or hostile script
// would: archive switches to files that are not archives or that change
// after the switch, many switches, stores into read-only variables. Under
// the sanitizers the same runs also prove that nothing leaks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kRuntime = std::string(KV_LIB_DIR) + "/perl536.so";

const char* const kScript = R"(
alarm 30;  # a call that blocks ends the run
sub who { INC('who') // 'undef' }
sub vm { open my $s, '<', '/proc/self/status' or die; while (<$s>) { return $1 if /^VmSize:\s+(\d+)/ } die }
my %mode = (
    refuse => sub {
        my ($carrier, @rest) = @_;
        for my $p (@rest) { Kovar::bfs($carrier); my $was = who(); Kovar::bfs($p); print "$was>", who(), "\n" }
    },
    shrink => sub {
        Kovar::bfs($_[0]); print who(), "\n";
        truncate($_[0], 0) or die "truncate: $!";
        print who(), ' ', length(INC('big')), "\n";
        open my $f, '>', $_[0] or die; print $f 'x' x 100000; close $f;
        print who(), "\n";
    },
    repeat => sub {
        my $before = vm();
        Kovar::bfs($_[0]) for 1 .. 20000;
        my $grown = vm() - $before;
        print who(), ' ', $grown < 512 * 1024 ? 'bounded' : "grew by $grown kB", "\n";
    },
    readonly => sub {
        Internals::SvREADONLY($Kovar::APPDATA, 1);
        eval { Kovar::_init() }; print $@;
    },
);
my $m = shift; $mode{$m}->(@ARGV);
)";

struct HostFunctions : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the program's temporary path
    std::string exe, carrier;

    void SetUp() override {
        write_text(dir.file("home.txt"), "home");
        write_text(dir.file("other.txt"), "other");
        // An entry that compression cannot shrink, so that each copy of the
        // other archive is a sizeable one.
        std::mt19937 random(7);
        std::string big(64 * 1024, '\0');
        for (char& c : big) c = static_cast<char>(random());
        write_text(dir.file("big.bin"), big);
        carrier = dir.file("carrier");
        ProcResult p = run_process({kBin + "/kovpack", "-q", "--host", "/bin/true", "--entry", "who=" + dir.file("other.txt"),
                                    "--entry", "big=" + dir.file("big.bin"), "-o", carrier});
        ASSERT_EQ(p.status, 0) << p.err;

        write_text(dir.file("hf.pl"), kScript);
        write_text(dir.file("hf.setup"), "1;");
        ProcResult md5 = run_process({"/usr/bin/md5sum", kRuntime});
        write_text(dir.file("perl.md5"), md5.out.substr(0, 32));
        exe = dir.file("hf");
        p = run_process({kBin + "/kovpack", "-q", "--host", kBin + "/kovrun", "--entry", "hf.pl=" + dir.file("hf.pl"),
                         "--option", "SCRIPTNAME=hf.pl", "--entry", "*SETUP=" + dir.file("hf.setup"),
                         "--entry", "perl536.so=" + kRuntime, "--entry", "perl.md5=" + dir.file("perl.md5"),
                         "--option", "PERLDLL=perl536.so", "--entry", "who=" + dir.file("home.txt"), "-o", exe});
        ASSERT_EQ(p.status, 0) << p.err;
    }

    ProcResult run(std::vector<std::string> args) {
        args.insert(args.begin(), exe);
        return run_process(args, {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log"),
                                  "VELTRIX_HOME=" + dir.path});
    }
};

TEST_F(HostFunctions, AbuseEndsInRefusalsNeverInHangsCrashesOrLeaks) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path + "/Veltrix");
    std::filesystem::copy_file(carrier, dir.file("shrinks"));
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        // Each path is tried after a switch to the carrier: a refusal goes home.
        {{"refuse", carrier, dir.file("fifo"), dir.path, "/dev/null"}, "other>home\nother>home\nother>home\n"},
        // The image stays as it was when the switch read it.
        {{"shrink", dir.file("shrinks")}, "other\nother 65536\nother\n"},
        // Each switch lets the previous copy go.
        {{"repeat", carrier}, "other bounded\n"},
        // A store that dies leaves nothing behind (the sanitizers' leak check).
        {{"readonly"}, "Modification of a read-only value attempted at hf.pl line 25.\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

}  // namespace
