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
# With PROBE_MENU set, a menu (a template in the standard form: header, a
# popup item holding the menu) of "&One" with the accelerator text Ctrl+O
# (1), "Two" (2), a separator, the disabled "Off" (3), the checked "Checked"
# (4), "&Salt && Pepper" (5) and the submenu "&More" holding "Milk && Sugar"
# (6); without it, no menu.
sub menu_text { pack('v*', unpack('U*', $_[0]), 0) }
sub item { pack('vv', $_[0], $_[1]) . menu_text($_[2]) }
sub Nimbrel::PopupMenu {
    say_seen("PopupMenu");
    return undef unless $ENV{PROBE_MENU};
    return pack('vv', 0, 0) . pack('v', 0x90) . menu_text('Menu') . item(0, 1, "&One\tCtrl+O") . item(0, 2, 'Two') . item(0, 0, '')
        . item(0x01, 3, 'Off') . item(0x08, 4, 'Checked') . item(0, 5, '&Salt && Pepper') . pack('v', 0x90) . menu_text('&More')
        . item(0x80, 6, 'Milk && Sugar');
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
