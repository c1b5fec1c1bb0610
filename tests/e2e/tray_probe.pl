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
sub Nimbrel::PopupMenu { say_seen("PopupMenu"); return undef }
sub Nimbrel::Timer { say_seen("Timer $_[0]") }

my $tips = 0;
sub ToolTip {
    $tips++;
    say_seen("ToolTip");
    return "probe tip $tips";
}

END { say_seen("END") }

say_seen("main @ARGV");
