#!/usr/bin/perl
# Clock and load monitor: a tray program that shows the time and how busy
# the machine is.
#
#   - The icon is a clock face: green while the load average per CPU is
#     below 0.5, amber below 1, red from 1 on. It follows the load every
#     five seconds, and a warning balloon says when the load turns high.
#   - Resting the pointer on the icon shows the time and the load.
#   - A click shows the details in a balloon: the date, the load over 1, 5
#     and 15 minutes, the running tasks, the time since boot.
#   - A right click opens its menu: the details again (the default item),
#     whether a turn to high load gets a balloon, which load average the
#     icon follows (over 1, 5 or 15 minutes), a check of the network, the
#     time since boot, and Quit.
#   - The network check fetches a page (https://example.com/, or the URL in
#     the environment variable CLOCK_CHECK_URL) in the background and says
#     in a balloon how long it took and how large it was, or why it failed.
#   - A double click ends it too.
#
# Pack it into one program (from the top directory of the source tree) and
# start it:
#
#   build/bin/kovpack --tray examples/tray/clock.pl \
#       --icon examples/tray/icons/low.png \
#       --icon medium=examples/tray/icons/medium.png \
#       --icon high=examples/tray/icons/high.png \
#       -o clock
#   ./clock &
#
# The green icon is the default icon, shown from the start; the others are
# shown by name. Packed without them, the program keeps the default icon.
use strict;
use warnings;

use Nimbrel qw(:DEFAULT HasIcon);
use Time::HiRes ();

my @DAYS = qw(Sunday Monday Tuesday Wednesday Thursday Friday Saturday);
my @MONTHS = qw(January February March April May June July August September October November December);

# The icon of each load level: the default icon for low load, and for any
# level whose icon the program does not carry.
my %ICON = (low => undef, map { $_ => (HasIcon($_) ? $_ : undef) } qw(medium high));

my $cpus = count_cpus();
my $level = 'low';  # the level the icon shows
my $average = 0;    # the load average that the icon follows: 0, 1, 2 for 1, 5, 15 minutes
my $warn = 1;       # whether a turn to high load gets a balloon (the menu's toggle)
my $alerts = 0;     # ... not at the start, though
my $checking = 0;   # a network check runs

my $CHECK_URL = $ENV{CLOCK_CHECK_URL} || 'https://example.com/';

# ---- reading the system -------------------------------------------------------

sub count_cpus {
    my $n = 0;
    if (open(my $fh, '<', '/proc/cpuinfo')) {
        while (<$fh>) { $n++ if /^processor\s*:/ }
    }
    return $n || 1;
}

# The load averages over 1, 5 and 15 minutes, and the running and all tasks
# ("2/345"), from /proc/loadavg; an empty list when it cannot be read.
sub read_load {
    open(my $fh, '<', '/proc/loadavg') or return;
    my $line = <$fh> // return;
    my ($one, $five, $fifteen, $tasks) = split ' ', $line;
    return unless defined $tasks;
    return ($one, $five, $fifteen, $tasks);
}

sub load_level {
    my ($load) = @_;
    my $per_cpu = $load / $cpus;
    return $per_cpu < 0.5 ? 'low' : $per_cpu < 1 ? 'medium' : 'high';
}

sub uptime_text {
    open(my $fh, '<', '/proc/uptime') or return 'unknown';
    my ($seconds) = split ' ', scalar(<$fh> // '');
    return 'unknown' unless defined $seconds;
    my $days = int($seconds / 86400);
    my $rest = sprintf '%d:%02d', int($seconds % 86400 / 3600), int($seconds % 3600 / 60);
    return $days ? sprintf('%d day%s %s', $days, $days == 1 ? '' : 's', $rest) : $rest;
}

sub clock_time {
    my ($sec, $min, $hour) = localtime;
    return sprintf '%02d:%02d:%02d', $hour, $min, $sec;
}

sub date_text {
    my (undef, $min, $hour, $day, $month, $year, $weekday) = localtime;
    return sprintf '%s %d %s %d, %02d:%02d', $DAYS[$weekday], $day, $MONTHS[$month], $year + 1900, $hour, $min;
}

# ---- what the icon shows --------------------------------------------------------

# Every five seconds (the kernel's own interval): the icon follows the load.
sub update {
    my $load = (read_load())[$average] // return;
    my $new = load_level($load);
    return if $new eq $level;
    SetIcon($ICON{$new});
    Balloon(sprintf('The load is %.2f on %d CPU%s.', $load, $cpus, $cpus == 1 ? '' : 's'), 'Clock', 'warning')
        if $new eq 'high' && $warn && $alerts;
    $level = $new;
}

OnToolTip(sub {
    my $load = (read_load())[$average];
    return clock_time() unless defined $load;
    return sprintf '%s - load %.2f', clock_time(), $load;
});

# The details in a balloon: on a click, and from the menu.
sub show_details {
    my ($one, $five, $fifteen, $tasks) = read_load();
    return Balloon(date_text() . "\nThe load cannot be read.", 'Clock', 'error') unless defined $one;
    my ($running, $all) = split m{/}, $tasks;
    my $details = join "\n", date_text(),
        sprintf('Load %.2f, %.2f, %.2f (1, 5, 15 minutes) on %d CPU%s', $one, $five, $fifteen, $cpus, $cpus == 1 ? '' : 's'),
        "$running of $all tasks running",
        'Up ' . uptime_text();
    Balloon($details, "Clock - load $level", $level eq 'high' ? 'warning' : 'info');
}

# ---- the network check ----------------------------------------------------------

sub size_text {
    my ($bytes) = @_;
    return "$bytes bytes" if $bytes < 10_000;
    return sprintf '%.0f KB', $bytes / 1000 if $bytes < 10_000_000;
    return sprintf '%.0f MB', $bytes / 1_000_000;
}

# Fetches the check page in the background; a balloon says how it went.
sub check_network {
    return if $checking;
    my ($host) = $CHECK_URL =~ m{^\w+://(?:[^/\@]*\@)?(\[[^\]/]*\]|[^/:?#]+)};
    $host //= $CHECK_URL;
    my $started = Time::HiRes::time();
    my $took = sub { sprintf '%.2f s', Time::HiRes::time() - $started };
    my $started_ok = Download($CHECK_URL,
        sub {
            my ($body) = @_;
            $checking = 0;
            # Any answer counts, whatever its HTTP status: the network works.
            Balloon(sprintf('%s answered in %s with %s.', $host, $took->(), size_text(length $body)), 'Clock - network', 'info');
        },
        sub {
            my ($error) = @_;
            $checking = 0;
            # The client's own words are at the end, in parentheses.
            my ($reason) = $error =~ /\(([^()]+)\)\z/;
            Balloon(sprintf("%s cannot be reached (after %s):\n%s.", $host, $took->(), $reason // $error), 'Clock - network', 'warning');
        });
    if ($started_ok) { $checking = 1 }
    else { Balloon('The network check could not start.', 'Clock - network', 'error') }
}

# The icon follows another load average, at once.
sub follow {
    ($average) = @_;
    update();
}

OnClick(\&show_details);
OnDoubleClick(sub { exit 0 });

# The menu is built each time it opens, so that its marks and the time
# since boot are current. The text after a tab is shown at the right.
SetMenu(sub {
    return [
        ["&Details\tClick", \&show_details, default => 1],
        ['&Warn on high load', sub { $warn = !$warn }, checked => $warn],
        ['&Follow the load over', [
            ['&1 minute', sub { follow(0) }, radio => 1, checked => $average == 0],
            ['&5 minutes', sub { follow(1) }, radio => 1, checked => $average == 1],
            ['1&5 minutes', sub { follow(2) }, radio => 1, checked => $average == 2],
        ]],
        [$checking ? 'Checking the network...' : 'Check &network', \&check_network, disabled => $checking],
        '-',
        ['Up ' . uptime_text(), undef, disabled => 1],  # information only
        '-',
        ["&Quit\tDouble-click", sub { exit 0 }],
    ];
});

SetTimer('5s', \&update);
update();
$alerts = 1;
Balloon('Click for details, right-click for the menu.', 'Clock', 'info', 5);
