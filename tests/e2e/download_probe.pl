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

# A body in many reads, compared with what the server sends. Then, while a
# slow answer is on its way, the timer goes on ticking.
my $block = join '', map { chr } 0 .. 250;
Download("$base/bytes/$size", sub {
    my ($body, $url) = @_;
    my $want = substr($block x ($size / 251 + 1), 0, $size);
    say_seen('body ' . length($body) . ' ' . ($body eq $want ? 'whole' : 'damaged') . " from $url");
    $ticks = 0;
    Download("$base/slow/1500/late", sub { say_seen("late: $_[0]" . ($ticks ? ', the timer ticked meanwhile' : ', NO TICKS')) });
}, sub { say_seen("WRONG error: $_[0]") });
Download("$closed/x", sub { say_seen('WRONG body') }, sub { say_seen("error: $_[0]") });
SetTimer(100, sub { $ticks++ });

END { say_seen("END") }
