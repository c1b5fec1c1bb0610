# The message box program of the end-to-end tests: timer 1 opens a box, timer
# 2 keeps firing while it is open; both are written to the debugger output,
# as is the failure of an Execute.
use strict;
use warnings;

sub say_seen { Nimbrel::debug("seen: @_\n") }

sub Nimbrel::Timer {
    if ($_[0] == 1) {
        Nimbrel::_KillTimer(1);
        say_seen("box open");
        # Yes/No with the question icon, No as the default button.
        my $answer = Nimbrel::MessageBox("Go on?", "Probe box", 0x124);
        say_seen("box $answer");
    } else {
        say_seen("Timer $_[0]");
    }
}

END { say_seen("END") }

# A target that does not exist is reported on the debugger output.
Nimbrel::Execute("$ENV{TMPDIR}/missing");
Nimbrel::_SetTimer(1, 200);
Nimbrel::_SetTimer(2, 300);
