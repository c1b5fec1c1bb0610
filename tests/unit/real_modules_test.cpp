// A packed script that uses real core modules, with and without compiled
// parts, and a real program that ships with Perl, print exactly what plain
// perl prints for them.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/support/proc_util.h"

namespace {

const char* kScript = R"PERL(use strict;
use warnings;
use List::Util qw(sum max reduce shuffle);
use POSIX qw(floor ceil fmod strtol);
use Data::Dumper;
use JSON::PP;
use Digest::MD5 qw(md5_hex);
use Storable qw(freeze thaw dclone);
$Data::Dumper::Sortkeys = 1;
$Data::Dumper::Indent = 1;
my @n = map { $_ * 3 % 17 } 1 .. 40;
my $data = { sum => sum(@n), max => max(@n), product => (reduce { $a * $b % 1009 } @n),
             floor => floor(-2.5), ceil => ceil(2.1), fmod => fmod(10, 3), hex => (strtol("ff", 16))[0],
             md5 => md5_hex(join ",", @n), list => [ @n[0 .. 4] ], nested => { a => [1, { b => undef }] } };
my $round = thaw(freeze($data));
my $copy = dclone($round);
print Dumper($copy);
print JSON::PP->new->canonical->pretty->encode($copy);
my $back = JSON::PP->new->decode('{"k":[1,2.5,"x",null,true]}');
print Dumper($back);
print "args: @ARGV\n";
my @hooks = grep { ref } @INC;
print "inc: ", (@INC == 1 && @hooks == 1 ? "bound only" : "@INC"), "\n";
)PERL";

TEST(RealModules, PackedScriptPrintsWhatPlainPerlPrints) {
    TempDir dir;
    TempDir tmp;
    write_text(dir.file("mods.pl"), kScript);
    std::string exe = dir.file("mods");
    ProcResult packed = run_process({std::string(KV_BIN_DIR) + "/kovpack", "-q", dir.file("mods.pl"), "-o", exe});
    ASSERT_EQ(packed.status, 0) << packed.err;

    ProcResult plain = run_process({"/usr/bin/perl", dir.file("mods.pl"), "a b", "-c"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::string expected = plain.out;
    size_t inc = expected.rfind("inc: ");
    ASSERT_NE(inc, std::string::npos);
    expected = expected.substr(0, inc) + "inc: bound only\n";

    // The system's library paths are out of reach: PERL5LIB is ignored and
    // the program must find everything in its archive.
    ProcResult r = run_process({exe, "a b", "-c"}, {"TMPDIR=" + tmp.path, "PERL5LIB=/nonexistent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

}  // namespace

namespace {

// piconv, which ships with Perl, converts between encodings named on its
// command line: Encode loads each by a computed name. The single-byte ones
// come with Encode; the East Asian ones with a traced run that uses one.
TEST(RealModules, PackedPiconvConvertsAsPlainPerlDoes) {
    const std::string piconv = "/usr/bin/piconv";
    if (access(piconv.c_str(), R_OK) != 0) GTEST_SKIP() << piconv << " not installed";
    TempDir dir;
    TempDir tmp;
    const std::string exe = dir.file("piconv");
    ProcResult packed =
        run_process({std::string(KV_BIN_DIR) + "/kovpack", "-q", "--trace-run", "-f utf8 -t shiftjis", piconv, "-o", exe});
    ASSERT_EQ(packed.status, 0) << packed.err;
    const std::string text = "\xce\xb1\xce\xb2\xce\xb3 abc\n";  // Greek alpha, beta, gamma in UTF-8
    for (const char* to : {"iso-8859-7", "cp1253", "shiftjis", "UTF-16BE"}) {
        SCOPED_TRACE(to);
        ProcResult plain = run_process({"/usr/bin/perl", piconv, "-f", "utf8", "-t", to}, {}, "", text);
        ASSERT_EQ(plain.status, 0) << plain.err;
        ProcResult r = run_process({exe, "-f", "utf8", "-t", to}, {"TMPDIR=" + tmp.path}, "", text);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, plain.out);
    }
}

}  // namespace
