#!/usr/bin/perl
# perl/Nimbrel.pm with the tray host's primitives stood in: what it passes
# to them, and what it refuses.
use strict;
use warnings;

use FindBin ();
use lib "$FindBin::Bin/../../perl";
use Test::More;

# The primitives record their calls.
my @calls;
my %bound = (busy => 7, idle => 8);
sub Nimbrel::_LoadIcon { push @calls, "_LoadIcon @_"; return $bound{ $_[0] } // 0 }
sub Nimbrel::_SetIcon { push @calls, "_SetIcon @_"; return 0 }
sub Nimbrel::_SetTimer { push @calls, "_SetTimer @_"; return }
sub Nimbrel::_KillTimer { push @calls, "_KillTimer @_"; return }
sub Nimbrel::Balloon { push @calls, join '|', 'Balloon', map { $_ // 'undef' } @_; return }
sub Nimbrel::debug { return }
sub Nimbrel::_WideChar { return pack 'v*', unpack 'U*', $_[0] }
sub Nimbrel::Download { push @calls, "Download $_[0]"; return 1 }
# A script's own sub for an event.
sub Nimbrel::DoubleClick { return }

require Nimbrel;
Nimbrel->import(':all');

# The calls that running `code` made.
sub calls_of {
    my ($code) = @_;
    @calls = ();
    $code->();
    return [splice @calls];
}

# The error of running `code`, without the location Carp adds.
sub error_of {
    my ($code) = @_;
    return eval { $code->(); 1 } ? '' : $@ =~ s/ at \S+ line \d+\.\n\z//r;
}

subtest 'intervals' => sub {
    for my $case ([500, 500], ['500', 500], ['250ms', 250], ['5s', 5000], [' 1.5 S ', 1500], ['2m', 120000], ['2min', 120000],
        ['1h', 3600000], [0, 0], ['0.4', 0], ['.5s', 500], [2147483647, 2147483647]) {
        my ($interval, $ms) = @$case;
        my $calls = calls_of(sub { KillTimer(SetTimer($interval, sub { })) });
        like($calls->[0], qr/^_SetTimer \d+ $ms\z/, "'$interval'");
    }
    for my $interval ('soon', '-5', '5x', '1e3', '', '25d', 2147483648, '596524h') {
        is(error_of(sub { SetTimer($interval, sub { }) }),
            "Nimbrel::SetTimer: bad interval '$interval' (milliseconds, or a number with ms, s, m or h, up to 24 days)", "'$interval'");
    }
    is(error_of(sub { After(undef, sub { }) }),
        "Nimbrel::After: bad interval 'undef' (milliseconds, or a number with ms, s, m or h, up to 24 days)", 'undef');
    is(error_of(sub { SetTimer(5, 'main::tick') }), 'Nimbrel::SetTimer: the handler is not a code reference', 'a sub name');
};

subtest 'timers and icons' => sub {
    # Only the library's own running timers reach the host; never the click timer.
    is_deeply(calls_of(sub { is(KillTimer($_), 0, 'KillTimer(' . ($_ // 'undef') . ')') for 10, 999999, undef }), [], 'unknown timers');
    is_deeply(calls_of(sub { ok(HasIcon('busy'), 'busy is bound'); ok(!HasIcon('nope'), 'nope is not') }),
        ['_LoadIcon busy', '_LoadIcon nope'], 'icons looked up');
    is(error_of(sub { SetIcon('nope') }), "Nimbrel::SetIcon: no icon named 'nope' in this program", 'unknown icon');
};

subtest 'balloons' => sub {
    for my $case (
        [['text'], 'Balloon|text||none'],
        [['text', 5, 'Warn', 3], 'Balloon|text|5|warning|3'],
        [['text', undef, 'ERROR'], 'Balloon|text||error'],
        [['text', 'Title', 'info', 0], 'Balloon|text|Title|info|0'],
        [['text', 'Title', ''], 'Balloon|text|Title|none'],
    ) {
        my ($args, $call) = @$case;
        is_deeply(calls_of(sub { Balloon(@$args) }), [$call], $call);
    }
    is(error_of(sub { Balloon('text', '', 'x') }), "Nimbrel::Balloon: unknown kind 'x' (none, info, warning or error)", 'kind x');
    is(error_of(sub { Balloon('text', '', 'info', '1.5') }), "Nimbrel::Balloon: bad time-out '1.5' (whole seconds)", 'time-out 1.5');
    is(error_of(sub { Balloon() }), 'Nimbrel::Balloon: no text', 'no text');
};

subtest 'event handlers' => sub {
    is(error_of(sub { OnDoubleClick(sub { }) }),
        'Nimbrel::OnDoubleClick: the script defines its own sub Nimbrel::DoubleClick; use either of them', 'own sub kept');
    is(error_of(sub { OnClick('text') }), 'Nimbrel::OnClick: the handler is not a code reference', 'a text as click handler');
    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, @_ };
    for my $handler (sub { [1] }, sub { die "no tip\n" }) {
        OnToolTip($handler);
        is(main::ToolTip(), undef, 'no tip');
    }
    is_deeply(\@warnings, ["Nimbrel: the ToolTip handler failed: no tip\n"], 'the failed handler reported');
    my $handler = sub { };
    OnClick($handler);
    is(OnClick(undef), $handler, 'OnClick returns the handler it replaces');
    is(error_of(sub { main::Click() }), "no Click handler\n", 'no click handler: the popup menu');
};

subtest 'menus' => sub {
    my @ran;
    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, @_ };
    no warnings 'once';
    local *main::by_name = sub { push @ran, "by_name @_" };
    OnCommand(sub { push @ran, "OnCommand @_" });
    my $count = 0;
    SetMenu(sub {
        $count++;
        [['&First', sub { push @ran, "first @_" }], '-', ['Sub', [['By name', 'by_name'], ['Gone', 'Other::gone']]],
            ['Plain'], ['Dynamic', sub { }, checked => $count > 1]];
    });
    my $template = Nimbrel::PopupMenu();
    like($template, qr/^\x01\0\x04\0\0\0\0\0/, 'an extended template');
    Nimbrel::Command($_) for '1', '2', '3', '4', '0', '99', undef;
    is_deeply(\@ran, ['first &First', 'by_name By name', 'OnCommand Plain'], 'identifiers reach their actions');
    is_deeply(\@warnings, ["Nimbrel: the menu item 'Gone' calls Other::gone, which is not defined\n"], 'a missing sub reported');
    isnt(Nimbrel::PopupMenu(), $template, 'the code is asked each time');
    @warnings = ();
    SetMenu(sub { 'text' });
    is(Nimbrel::PopupMenu(), '', 'no array: no menu');
    @ran = ();
    Nimbrel::Command('1');
    is_deeply(\@ran, [], 'no menu, no commands');
    SetMenu(sub { [[]] });
    is(Nimbrel::PopupMenu(), '', 'a bad item: no menu');
    ok(ref SetMenu(undef) eq 'CODE', 'SetMenu returns the menu it replaces');
    is(Nimbrel::PopupMenu(), '', 'no menu');
    is_deeply(\@warnings, ["Nimbrel: the menu code returned no array reference\n",
        "Nimbrel: Nimbrel::SetMenu: item 1 of the menu is not '-' or [LABEL, ACTION, OPTIONS]\n"], 'bad menus reported');
    for my $case (
        ['text', 'Nimbrel::SetMenu: the menu is not an array or code reference'],
        [[], 'Nimbrel::SetMenu: the menu is empty'],
        [[['A', []]], "Nimbrel::SetMenu: the menu 'A' is empty"],
        [['x'], "Nimbrel::SetMenu: item 1 of the menu is not '-' or [LABEL, ACTION, OPTIONS]"],
        [[['A', sub { }, 'disabled']], "Nimbrel::SetMenu: item 1 of the menu is not '-' or [LABEL, ACTION, OPTIONS]"],
        [['-', ['B', [['A', sub { }, bold => 1]]]], "Nimbrel::SetMenu: unknown option 'bold' of 'A' (disabled, checked, radio or default)"],
        [[['A', {}]], "Nimbrel::SetMenu: the action of 'A' is not a code reference, a sub name or a submenu"],
        [[['A', 'no such']], "Nimbrel::SetMenu: the action of 'A' is not a sub name: 'no such'"],
        [[map { ['A'] } 0 .. 65535], 'Nimbrel::SetMenu: more than 65535 menu items'],
    ) {
        is(error_of(sub { SetMenu($case->[0]) }), $case->[1], $case->[1]);
    }
};

subtest 'downloads' => sub {
    is_deeply(calls_of(sub { is(Download('http://a/', sub { }), 1, 'started') }), ['Download http://a/'], 'the host is asked');
    for my $case ([[undef, sub { }], 'Nimbrel::Download: no URL'], [['', sub { }], 'Nimbrel::Download: no URL'],
        [['http://a/', 'main::body'], 'Nimbrel::Download: the body handler is not a code reference'],
        [['http://a/', sub { }, 'main::error'], 'Nimbrel::Download: the error handler is not a code reference']) {
        is(error_of(sub { Download(@{ $case->[0] }) }), $case->[1], $case->[1]);
    }
};

subtest 'exports' => sub {
    package Other;
    Nimbrel->import;
    ::is_deeply([sort grep { defined &{"Other::$_"} } keys %Other::],
        [sort qw(SetIcon SetTimer After KillTimer Balloon OnClick OnDoubleClick OnToolTip SetMenu OnCommand Download OnDownload)],
        'the default set');
    ::is(::error_of(sub { Nimbrel->import('Fetch') }), "Nimbrel does not export 'Fetch'", 'an unknown name');
};

done_testing();
