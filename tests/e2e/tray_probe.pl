# The tray program of the end-to-end tests: it writes every event it sees to
# the debugger output, one line each, so that the test can follow it.
use strict;
use warnings;

sub say_seen { Nimbrel::debug("seen: @_\n") }

sub Click {
    say_seen("Click");
    # The icon turns from the default icon to the one bound as "green".
    Nimbrel::_SetIcon(Nimbrel::_LoadIcon("green"));
}
sub Nimbrel::DoubleClick { say_seen("DoubleClick") }
# With PROBE_MENU set, a menu of two items (a template in the standard
# form: header, a popup item holding "&One" with identifier 1 and "Two" with
# identifier 2); without it, no menu.
sub menu_text { pack('v*', unpack('U*', $_[0]), 0) }
sub Nimbrel::PopupMenu {
    say_seen("PopupMenu");
    return undef unless $ENV{PROBE_MENU};
    return pack('vv', 0, 0) . pack('v', 0x90) . menu_text('Menu') . pack('vv', 0, 1) . menu_text("&One")
        . pack('vv', 0x80, 2) . menu_text('Two');
}
sub Nimbrel::Command { say_seen("Command @_") }
sub Nimbrel::Timer { say_seen("Timer $_[0]") }

my $tips = 0;
sub ToolTip {
    $tips++;
    say_seen("ToolTip");
    return "probe tip $tips";
}

END { say_seen("END") }

say_seen("main @ARGV");
