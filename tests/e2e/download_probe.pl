# The download program of the end-to-end tests: it fetches from the tests'
# loopback server (PROBE_BASE, and PROBE_CLOSED where nothing listens) with
# the library's Download, and writes what its handlers get to the debugger
# output, one line each.
use strict;
use warnings;
use Nimbrel;

sub say_seen { Nimbrel::debug("seen: @_\n") }

my ($base, $closed) = @ENV{qw(PROBE_BASE PROBE_CLOSED)};
my $size = 300_000;
my $ticks = 0;

# A body in many reads, compared with what the server sends.
Download("$base/bytes/$size", sub {
    my ($body, $url) = @_;
    my $want = join '', map { chr($_ % 251) } 0 .. $size - 1;
    say_seen('body ' . length($body) . ' ' . ($body eq $want ? 'whole' : 'damaged') . " from $url");
}, sub { say_seen("WRONG error: $_[0]") });
Download("$closed/x", sub { say_seen('WRONG body') }, sub { say_seen("error: $_[0]") });
# While a slow answer is on its way, the timer goes on ticking: the slow
# download starts once events flow.
SetTimer(100, sub { $ticks++ });
After(1, sub {
    $ticks = 0;
    Download("$base/slow/1500/late", sub { say_seen("late: $_[0]" . ($ticks ? ', the timer ticked meanwhile' : ', NO TICKS')) });
});

END { say_seen("END") }
