package Nimbrel;

# The script-side library of a tray program: icons by name, timers with code
# references, balloons and event handlers, on top of the primitives that the
# tray host defines in this package (Nimbrel::_LoadIcon, _SetIcon, _SetTimer,
# _KillTimer, Balloon, Download, debug). The documentation is at the end of
# the file.
#
# The host calls the script's subs by name: "Click" and "ToolTip" in package
# main, "Nimbrel::DoubleClick" and "Nimbrel::Timer" here. The library
# defines none of them when it is loaded, so that a script that defines them
# itself compiles without a redefinition warning; it installs its dispatcher
# for an event when the script first registers a handler for it. The menu
# ("Nimbrel::PopupMenu", "Nimbrel::Command") and downloads
# ("Nimbrel::Internet", "Nimbrel::DownloadFailed") hook in the same way.
#
# The library must load without the host too: the packer compiles the script
# with the system's perl to find what it uses. It uses only modules that
# every packed program carries anyway (strict, warnings, Carp).

use strict;
use warnings;

use Carp ();

our $VERSION = '1.00';

my $CLICK_TIMER = 10;            # the host's own timer: never given out
my $MAX_TIMER_ID = 0x7FFFFFFF;   # identifiers reach the script as signed 32-bit numbers
my $MAX_INTERVAL = 0x7FFFFFFF;   # milliseconds, as the host keeps them

# ---- event subs ---------------------------------------------------------------------

my %handler;  # event => code reference (or, for tool_tip, a fixed text)

# Installs `$dispatcher` as the sub `$name` that the host calls, unless it is
# there already. A sub of that name that the script defines itself stays:
# registering a handler then is a mistake that `$function` reports.
my sub install {
    my ($function, $name, $dispatcher) = @_;
    no strict 'refs';
    if (defined &{$name}) {
        return if \&{$name} == $dispatcher;
        Carp::croak("Nimbrel::$function: the script defines its own sub $name; use either of them");
    }
    *{$name} = $dispatcher;
}

# Runs a handler; its error is reported as a warning. Returns true when it
# returned normally (the result, in scalar context, goes to `$result`).
my sub run_handler {
    my ($what, $result, $code, @args) = @_;
    return 1 if eval { $$result = $code->(@args); 1 };
    my $error = $@;
    $error = "died\n" unless length $error;
    # An exit inside an event that another event's modal loop delivered
    # leaves the handler as a die does (the host ends the program once the
    # outer event returns): no failure to report.
    warn "Nimbrel: the $what handler failed: $error" unless $error =~ /^exit inside a nested event: /;
    return 0;
}

# "Click": dies when there is no handler or the handler died, so that the
# host shows the popup menu, as it does for a script without a Click sub.
my sub dispatch_click {
    my $code = $handler{click} or die "no Click handler\n";
    my $result;
    run_handler('Click', \$result, $code) or die "the Click handler failed\n";
    return;
}

my sub dispatch_double_click {
    my $code = $handler{double_click} or return;
    my $result;
    run_handler('DoubleClick', \$result, $code);
    return;
}

# "ToolTip": a defined plain value of the handler becomes the tip, numbers
# as text; anything else leaves the tip as it is.
my sub dispatch_tool_tip {
    my $tip = $handler{tool_tip};
    return undef unless defined $tip;
    return "$tip" unless ref $tip;
    my $text;
    run_handler('ToolTip', \$text, $tip) or return undef;
    return defined $text && !ref $text ? "$text" : undef;
}

# Registers the handler of an event and returns the one before; undef
# removes it.
my sub register {
    my ($function, $event, $name, $dispatcher, $code, $text_too) = @_;
    Carp::croak("Nimbrel::$function: the handler is not a code reference")
        unless !defined $code || ref $code eq 'CODE' || ($text_too && !ref $code);
    install($function, $name, $dispatcher);
    my $previous = $handler{$event};
    if (defined $code) { $handler{$event} = $code } else { delete $handler{$event} }
    return $previous;
}

sub OnClick { return register('OnClick', 'click', 'main::Click', \&dispatch_click, $_[0]) }

sub OnDoubleClick {
    return register('OnDoubleClick', 'double_click', 'Nimbrel::DoubleClick', \&dispatch_double_click, $_[0]);
}

sub OnToolTip { return register('OnToolTip', 'tool_tip', 'main::ToolTip', \&dispatch_tool_tip, $_[0], 1) }

# ---- icons ----------------------------------------------------------------------------

my %icon_handle;        # name => the host's handle, once loaded
my $shown_handle = 0;   # the handle the library showed last; 0: the default icon
my $shown_name;         # its name; undef for the default icon

my sub load_icon {
    my ($name) = @_;
    return $icon_handle{$name} ||= Nimbrel::_LoadIcon("$name");
}

sub HasIcon {
    my ($name) = @_;
    return defined $name && load_icon($name) ? 1 : 0;
}

sub SetIcon {
    my ($name) = @_;
    my $handle = 0;
    if (defined $name) {
        $handle = load_icon($name) or Carp::croak("Nimbrel::SetIcon: no icon named '$name' in this program");
    }
    my $previous = $shown_name;
    if ($handle != $shown_handle) {
        Nimbrel::_SetIcon($handle);
        $shown_handle = $handle;
    }
    $shown_name = $name;
    return $previous;
}

# ---- timers ----------------------------------------------------------------------------

my %timer;        # identifier => [code, repeating]
my $last_id = 0;  # the identifier given out last

my %unit_ms = (ms => 1, s => 1000, m => 60_000, min => 60_000, h => 3_600_000);

# An interval in whole milliseconds: a plain number is milliseconds; a number
# with a unit (ms, s, m or min, h) is converted.
my sub milliseconds {
    my ($function, $interval) = @_;
    if (defined $interval && !ref $interval && $interval =~ /^\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s|min|m|h)?\s*\z/ia) {
        my $ms = int($1 * $unit_ms{lc($2 // 'ms')} + 0.5);
        return $ms if $ms <= $MAX_INTERVAL;
    }
    $interval //= 'undef';
    Carp::croak("Nimbrel::$function: bad interval '$interval' (milliseconds, or a number with ms, s, m or h, up to 24 days)");
}

# The next identifier: never the click timer's, never one in use.
my sub new_timer_id {
    do { $last_id = $last_id >= $MAX_TIMER_ID ? 1 : $last_id + 1 }
        while $last_id == $CLICK_TIMER || exists $timer{$last_id};
    return $last_id;
}

# "Nimbrel::Timer": the handler of the identifier, with the identifier as its
# argument. A one-shot timer is gone before its handler runs.
my sub dispatch_timer {
    my ($id) = @_;
    my $entry = defined $id ? $timer{$id} : undef;
    return unless $entry;  # killed while its expiry was on its way
    my ($code, $repeating) = @$entry;
    unless ($repeating) {
        delete $timer{$id};
        Nimbrel::_KillTimer($id);
    }
    my $result;
    run_handler("timer $id", \$result, $code, $id + 0);
    return;
}

my sub start_timer {
    my ($function, $repeating, $interval, $code) = @_;
    my $ms = milliseconds($function, $interval);
    Carp::croak("Nimbrel::$function: the handler is not a code reference") unless ref $code eq 'CODE';
    install($function, 'Nimbrel::Timer', \&dispatch_timer);
    my $id = new_timer_id();
    $timer{$id} = [$code, $repeating];
    Nimbrel::_SetTimer($id, $ms);
    return $id;
}

sub SetTimer { return start_timer('SetTimer', 1, @_) }

sub After { return start_timer('After', 0, @_) }

sub KillTimer {
    my ($id) = @_;
    return 0 unless defined $id && !ref $id && delete $timer{$id};
    Nimbrel::_KillTimer($id);
    return 1;
}

# ---- balloon ---------------------------------------------------------------------------

my %balloon_kind = (none => 'none', info => 'info', warn => 'warning', warning => 'warning', error => 'error');

# The exported Balloon: the host's Nimbrel::Balloon with a title that may be
# a number, kinds by name (an unknown kind is an error) and seconds checked.
my sub balloon {
    my ($text, $title, $kind, $seconds) = @_;
    Carp::croak('Nimbrel::Balloon: no text') unless defined $text;
    my $host_kind = $balloon_kind{defined $kind && length $kind ? lc $kind : 'none'}
        or Carp::croak("Nimbrel::Balloon: unknown kind '$kind' (none, info, warning or error)");
    my @args = ("$text", defined $title ? "$title" : '', $host_kind);
    if (defined $seconds) {
        Carp::croak("Nimbrel::Balloon: bad time-out '$seconds' (whole seconds)") unless $seconds =~ /^\d{1,6}\z/a;
        push @args, $seconds;
    }
    Nimbrel::Balloon(@args);
    return;
}

# ---- popup menu ------------------------------------------------------------------------

# The menu that SetMenu describes: an array reference, or code that returns
# one each time the menu opens. %command maps the identifiers of the menu
# built last to its items, as [label, action]; an action is a code
# reference or a fully qualified sub name.
my $menu;
my %command;
my $command_handler;  # OnCommand's: items without an action of their own

my $MAX_MENU_ITEMS = 0xFFFF;  # identifiers travel as 16-bit numbers; 0 is none

my %item_option = (disabled => 1, checked => 1, radio => 1, default => 1);

# Extended menu template: flags of the type, state and submenu words.
my $MFT_RADIOCHECK = 0x200;
my $MFT_SEPARATOR = 0x800;
my $MFS_GRAYED = 0x3;
my $MFS_CHECKED = 0x8;
my $MFS_DEFAULT = 0x1000;
my $POPUP = 0x01;
my $LAST = 0x80;

# Appends one item of the extended template: it starts on a 4-byte
# boundary; an item that opens a submenu carries a help identifier (0).
my sub template_item {
    my ($template, $type, $state, $id, $marks, $text) = @_;
    $$template .= "\0" x (-length($$template) % 4);
    $$template .= pack('VVVv', $type, $state, $id, $marks) . Nimbrel::_WideChar($text) . "\0\0";
    $$template .= "\0" x (-length($$template) % 4) . pack('V', 0) if $marks & $POPUP;
    return;
}

# Checks the items of a (sub)menu and appends them to the template,
# numbering the commands in `$commands` (identifier - 1 => [label, action]).
my sub build_items;
sub build_items {
    my ($function, $items, $package, $template, $commands, $where) = @_;
    Carp::croak("Nimbrel::$function: the menu$where is empty") unless @$items;
    for my $i (0 .. $#$items) {
        my $item = $items->[$i];
        my $marks = $i == $#$items ? $LAST : 0;
        if (defined $item && !ref $item && $item eq '-') {
            template_item($template, $MFT_SEPARATOR, 0, 0, $marks, '');
            next;
        }
        Carp::croak("Nimbrel::$function: item " . ($i + 1) . " of the menu$where is not '-' or [LABEL, ACTION, OPTIONS]")
            unless ref $item eq 'ARRAY' && @$item >= 1 && defined $item->[0] && !ref $item->[0] && (@$item == 1 || @$item % 2 == 0);
        my ($label, $action, %option) = @$item;
        for my $name (sort keys %option) {
            Carp::croak("Nimbrel::$function: unknown option '$name' of '$label' (disabled, checked, radio or default)")
                unless $item_option{$name};
        }
        my $type = $option{radio} ? $MFT_RADIOCHECK : 0;
        my $state = ($option{disabled} ? $MFS_GRAYED : 0) | ($option{checked} ? $MFS_CHECKED : 0)
            | ($option{default} ? $MFS_DEFAULT : 0);
        if (ref $action eq 'ARRAY') {
            template_item($template, $type, $state, 0, $marks | $POPUP, $label);
            build_items($function, $action, $package, $template, $commands, " '$label'");
            next;
        }
        if (defined $action && !ref $action) {
            Carp::croak("Nimbrel::$function: the action of '$label' is not a sub name: '$action'")
                unless $action =~ /^(?:::)?\w+(?:(?:::|')\w+)*\z/a;
            $action = "${package}::$action" unless $action =~ /::|'/;
        } elsif (defined $action && ref $action ne 'CODE') {
            Carp::croak("Nimbrel::$function: the action of '$label' is not a code reference, a sub name or a submenu");
        }
        Carp::croak("Nimbrel::$function: more than $MAX_MENU_ITEMS menu items") if @$commands >= $MAX_MENU_ITEMS;
        push @$commands, [$label, $action];
        template_item($template, $type, $state, scalar @$commands, $marks, $label);
    }
    return;
}

# The template of a description: one popup item (its text is never shown)
# holding the script's items. Returns the template and the commands.
my sub build_menu {
    my ($function, $items, $package) = @_;
    my $template = pack('vvV', 1, 4, 0);
    my @commands;
    template_item(\$template, 0, 0, 0, $POPUP | $LAST, '');
    build_items($function, $items, $package, \$template, \@commands, '');
    return ($template, \@commands);
}

# "Nimbrel::PopupMenu": the template of the menu, '' (no menu) when there
# is none or its code fails.
my sub dispatch_popup_menu {
    %command = ();  # the identifiers of an earlier menu mean nothing now
    my ($items, $package) = @{$menu // return ''};
    if (ref $items eq 'CODE') {
        my $result;
        run_handler('menu', \$result, $items) or return '';
        return '' unless defined $result;
        unless (ref $result eq 'ARRAY') {
            warn "Nimbrel: the menu code returned no array reference\n";
            return '';
        }
        $items = $result;
    }
    my ($template, $commands);
    unless (eval { ($template, $commands) = build_menu('SetMenu', $items, $package); 1 }) {
        warn "Nimbrel: " . ($@ =~ s/ at \S+ line \d+\.?\n\z/\n/r);
        return '';
    }
    %command = map { $_ + 1 => $commands->[$_] } 0 .. $#$commands;
    return $template;
}

# "Nimbrel::Command": runs the action of the chosen item.
my sub dispatch_command {
    my ($id) = @_;
    my $entry = defined $id ? $command{$id} : undef;
    return unless $entry;
    my ($label, $action) = @$entry;
    my $code = $action;
    if (defined $action && !ref $action) {
        no strict 'refs';
        unless (defined &{$action}) {
            warn "Nimbrel: the menu item '$label' calls $action, which is not defined\n";
            return;
        }
        $code = \&{$action};
    }
    my @args = ($label);
    unless (defined $code) {
        $code = $command_handler or return;
    }
    my $result;
    run_handler("menu item '$label'", \$result, $code, @args);
    return;
}

sub SetMenu {
    my ($items) = @_;
    Carp::croak('Nimbrel::SetMenu: the menu is not an array or code reference')
        unless !defined $items || ref $items eq 'ARRAY' || ref $items eq 'CODE';
    my $package = caller;
    # A fixed description is checked now, so that its mistakes show where
    # it is set.
    build_menu('SetMenu', $items, $package) if ref $items eq 'ARRAY';
    install('SetMenu', 'Nimbrel::PopupMenu', \&dispatch_popup_menu);
    install('SetMenu', 'Nimbrel::Command', \&dispatch_command);
    my $previous = $menu ? $menu->[0] : undef;
    $menu = defined $items ? [$items, $package] : undef;
    return $previous;
}

sub OnCommand {
    my ($code) = @_;
    Carp::croak('Nimbrel::OnCommand: the handler is not a code reference') unless !defined $code || ref $code eq 'CODE';
    install('OnCommand', 'Nimbrel::Command', \&dispatch_command);
    my $previous = $command_handler;
    $command_handler = $code;
    return $previous;
}

# ---- downloads -------------------------------------------------------------------------

# The context that the library's Download hands the host: the callbacks of
# one request and the URL as given (a copy, which the script cannot change
# meanwhile). A class of its own, so that no context of the script's own is
# taken for one.
my $REQUEST = 'Nimbrel::_DownloadRequest';

my $download_handler;  # OnDownload's: the other contexts of Nimbrel::Download

# "Nimbrel::Internet": the body of a download. The library's requests go to
# their body callback, a plain code reference as the context is called in
# the same way, and any other context goes to the OnDownload handler.
my sub dispatch_internet {
    my ($content, $context, $url) = @_;
    my ($code, @args);
    if (ref $context eq $REQUEST) {
        ($code, @args) = ($context->[0], $content, $context->[2]);
    } elsif (ref $context eq 'CODE') {
        ($code, @args) = ($context, $content, $url);
    } else {
        ($code, @args) = ($download_handler, $content, $context, $url);
    }
    return unless $code;
    my $result;
    run_handler('download', \$result, $code, @args);
    return;
}

# "Nimbrel::DownloadFailed": a download that brought no body. The library's
# requests go to their error callback (when they have one), a context of
# the script's own other than a code reference to the OnDownload handler,
# with undef for the body.
my sub dispatch_download_failed {
    my ($error, $context, $url) = @_;
    my ($code, @args);
    if (ref $context eq $REQUEST) {
        ($code, @args) = ($context->[1], $error, $context->[2]);
    } elsif (ref $context ne 'CODE') {
        ($code, @args) = ($download_handler, undef, $context, $url, $error);
    }
    return unless $code;
    my $result;
    run_handler('download error', \$result, $code, @args);
    return;
}

# Installs both download dispatchers, or neither: a script that defines
# either sub itself handles its downloads alone.
my sub install_download {
    my ($function) = @_;
    my %dispatcher = ('Nimbrel::Internet' => \&dispatch_internet, 'Nimbrel::DownloadFailed' => \&dispatch_download_failed);
    for my $name (sort keys %dispatcher) {
        no strict 'refs';
        Carp::croak("Nimbrel::$function: the script defines its own sub $name; use either of them")
            if defined &{$name} && \&{$name} != $dispatcher{$name};
    }
    install($function, $_, $dispatcher{$_}) for sort keys %dispatcher;
    return;
}

# The exported Download: the host's Nimbrel::Download with the callbacks in
# a request of the library's.
my sub download {
    my ($url, $on_body, $on_error) = @_;
    Carp::croak('Nimbrel::Download: no URL') unless defined $url && length $url;
    Carp::croak('Nimbrel::Download: the body handler is not a code reference') unless ref $on_body eq 'CODE';
    Carp::croak('Nimbrel::Download: the error handler is not a code reference')
        unless !defined $on_error || ref $on_error eq 'CODE';
    install_download('Download');
    my $request = bless [$on_body, $on_error, $url], $REQUEST;
    return Nimbrel::Download($request->[2], $request) ? 1 : 0;
}

sub OnDownload {
    my ($code) = @_;
    Carp::croak('Nimbrel::OnDownload: the handler is not a code reference') unless !defined $code || ref $code eq 'CODE';
    install_download('OnDownload');
    my $previous = $download_handler;
    $download_handler = $code;
    return $previous;
}

# ---- exports ---------------------------------------------------------------------------

my @default_exports = qw(SetIcon SetTimer After KillTimer Balloon OnClick OnDoubleClick OnToolTip SetMenu OnCommand
    Download OnDownload);
my %exports = (
    (map { $_ => \&{"Nimbrel::$_"} } grep { $_ ne 'Balloon' && $_ ne 'Download' } @default_exports),
    Balloon => \&balloon,
    Download => \&download,
    HasIcon => \&HasIcon,
    debug => \&Nimbrel::debug,
);

sub import {
    my $class = shift;
    my $caller = caller;
    my @names = @_ ? @_ : ':DEFAULT';
    @names = map { $_ eq ':all' ? keys %exports : $_ eq ':DEFAULT' ? @default_exports : $_ } @names;
    for my $name (@names) {
        (my $bare = $name) =~ s/^&//;
        my $code = $exports{$bare} or Carp::croak("Nimbrel does not export '$name'");
        no strict 'refs';
        *{"${caller}::$bare"} = $code;
    }
    return;
}

1;

__END__

=head1 NAME

Nimbrel - icons, timers, balloons, click handlers, menus and downloads for a tray program

=head1 SYNOPSIS

    use strict;
    use warnings;
    use Nimbrel;

    my $count = 0;
    SetTimer('1s', sub { $count++ });            # every second
    After('30s', sub { Balloon('Half a minute', 'Clock', 'info') });

    OnToolTip(sub { "Running for $count seconds" });
    OnClick(sub { SetIcon($count % 2 ? 'busy' : undef) });
    OnDoubleClick(sub { exit 0 });                # ends the program

Packed with its icons:

    kovpack --tray app.pl --icon idle.png --icon busy=busy.png -o app

=head1 DESCRIPTION

A tray program is a Perl script packed with the tray host: the program shows
an icon in the desktop's notification area and runs the script's main
program once; from then on clicks on the icon, the pointer resting on it and
timers call the script's code, until a handler calls C<exit>. This module,
bound with every tray program, is the script's interface to the icon.

The script's main program sets things up and returns; it must not block or
loop, since events are delivered only once it has returned (and between two
handlers). A handler that runs long holds up the desktop's view of the icon
for as long.

=head1 EXPORTS

C<use Nimbrel;> exports

    SetIcon SetTimer After KillTimer Balloon OnClick OnDoubleClick OnToolTip
    SetMenu OnCommand Download OnDownload

C<HasIcon> and C<debug> are exported on request; C<:all> exports everything,
C<:DEFAULT> the default set, and C<use Nimbrel ();> nothing. Every function
may also be called by its full name (C<Nimbrel::SetTimer>), except that
C<Nimbrel::Balloon> and C<Nimbrel::Download> are the host's functions; see
L</BALLOON> and L</DOWNLOADS>.

=head1 ICONS

Icons are bound into the program when it is packed: C<--icon FILE> binds
the default icon, shown from the start, and C<--icon NAME=FILE> an icon that
the script shows by its NAME (PNG, SVG or ICO). A program packed without
C<--icon> shows a built-in default icon.

=over 4

=item SetIcon(NAME)

Shows the icon bound as NAME; C<SetIcon()> or C<SetIcon(undef)> shows the
default icon again. Each icon is loaded once, on first use. Showing the icon
that is shown already does nothing. Returns the NAME that was shown before
(undef for the default icon).

An icon NAME that the program does not carry is an error: C<SetIcon> dies
with C<Nimbrel::SetIcon: no icon named 'NAME' in this program>. Use
C<HasIcon> first where an icon is optional.

=item HasIcon(NAME)

True when the program carries an icon bound as NAME.

=back

=head1 TIMERS

Intervals are milliseconds (C<500>), or a number with a unit: C<'250ms'>,
C<'5s'>, C<'1.5s'>, C<'2m'> (or C<'2min'>), C<'1h'>; fractions are rounded
to whole milliseconds. The longest interval is 2147483647 ms (about 24
days); the shortest that the host keeps is 10 ms, so C<0> means "as soon as
possible". A bad interval dies with C<Nimbrel::SetTimer: bad interval ...>.

Timers fire while the program waits for events: a timer that comes due while
a handler runs is handled after it, and a repeating timer that falls behind
does not fire twice to catch up.

=over 4

=item SetTimer(INTERVAL, CODE)

Calls CODE every INTERVAL until the timer is killed, and returns the timer's
identifier, a positive integer. CODE receives the identifier as its only
argument, so that it can stop itself with C<KillTimer($_[0])>.

=item After(INTERVAL, CODE)

Calls CODE once, after INTERVAL, and returns the timer's identifier (which
C<KillTimer> accepts until CODE is called).

=item KillTimer(ID)

Stops the timer: CODE is not called again, not even for an expiry that was
already on its way. Returns true when ID was a running timer, false
otherwise (a timer killed before, or that has fired once).

=back

Identifiers are given out by the library in increasing order and are not
given out again while their timer runs. Identifier 10 is never given out:
the host uses it for its own click timer.

=head1 BALLOON

=over 4

=item Balloon(TEXT [, TITLE [, KIND [, SECONDS]]])

Shows a notification beside the icon: TEXT (at most 255 characters are
shown), with the TITLE (at most 63) and the icon that KIND names: C<'none'>
(the default, also for undef or C<''>), C<'info'>, C<'warning'> (or C<'warn'>) or C<'error'>, in any
case; another KIND dies. The balloon goes after SECONDS (10 when not given;
the desktop may keep it longer or shorter).

This C<Balloon> is the library's. The host's C<Nimbrel::Balloon>, which it
calls, takes the same arguments but leaves a title that is a number empty
and takes any KIND by its first letter; a script that does not use the
library calls that one.

=back

=head1 EVENTS

The host calls the script's code for these events:

=over 4

=item Click

A single left click, once the desktop's double-click time has passed without
a second click. When the script has no click handler, or the handler dies,
the host shows the icon's popup menu instead.

=item Double click

A double click calls only the double-click handler, never the click
handler. A script that wants both to do the same registers the same code for
both.

=item Tool tip

When the pointer rests on the icon, the host asks for the tool tip and
shows it; the desktop shows text only, the first 127 characters (63 on old
desktops). Desktops that do not report the pointer over the icon are asked
at a fixed modest interval instead. The tip changes only when the text does.

=back

A script handles them in either of two ways.

=head2 Handlers registered with the library

=over 4

=item OnClick(CODE)

=item OnDoubleClick(CODE)

=item OnToolTip(CODE or TEXT)

Registers CODE as the handler of the event, and returns the handler it
replaces (undef when there was none). C<undef> removes the handler.
C<OnToolTip> also takes a fixed TEXT. CODE is called with no arguments;
the tool-tip handler returns the tip's text: a string or a number; undef
(or a reference) leaves the tip as it is.

=back

=head2 Subs the script defines

The host calls these subs by name:

    sub Click { ... }                  # package main
    sub ToolTip { ... }                # package main; returns the text
    sub Nimbrel::DoubleClick { ... }

A script defines each event's sub itself, or registers a handler for it,
not both: registering a handler for an event whose sub the script defines
dies with C<Nimbrel::OnClick: the script defines its own sub main::Click;
use either of them>. The library defines the sub (its dispatcher) the first
time a handler for the event is registered. The same holds for
C<Nimbrel::Timer>, which the library defines with the first timer: a script
that uses C<SetTimer> or C<After> does not define it.

A sub that the script defines follows the host's rules: the tip of a
C<ToolTip> sub is taken only from a string (a number that was never used as
text leaves the tip unchanged), and a C<Click> sub that dies, or that
returns with C<$@> set, gets the popup menu shown.

=head1 ERRORS

A handler that dies does not end the program. The library reports the error
as a warning (C<Nimbrel: the timer 3 handler failed: ...>), so a
C<$SIG{__WARN__}> handler can log it; C<debug(TEXT)> writes to the program's
debugger output (the system log, or the file named by C<KOVRUN_DEBUG_LOG>).
A repeating timer whose handler dies goes on running.

=head1 ENDING THE PROGRAM

C<exit(STATUS)> in a click, double-click, timer or download handler ends the program
with STATUS: the script's C<END> blocks run, the icon goes. C<exit> inside
the tool-tip handler is ignored. Ending the program with SIGTERM, SIGINT or
SIGHUP runs the C<END> blocks too.

=head1 MENUS

A right click on the icon (or a left click when there is no click handler)
opens the icon's popup menu. The script describes the menu as a list of
items; the library numbers them, hands the host the menu when it opens, and
runs the chosen item's action once the menu has closed.

    use Nimbrel;

    my $paused = 0;
    SetMenu(sub {                               # asked each time the menu opens
        return [
            ["&Open log\tCtrl+O", \&open_log, default => 1],
            ['&Pause', sub { $paused = !$paused }, checked => $paused],
            '-',
            ['&Speed', [
                ['Slow', sub { set_speed(1) }, radio => 1, checked => speed() == 1],
                ['Fast', sub { set_speed(2) }, radio => 1, checked => speed() == 2],
            ]],
            ['Upload', 'upload', disabled => !have_network()],   # the sub main::upload
            ['About'],                                           # no action: OnCommand
            '-',
            ['&Quit', sub { exit 0 }],
        ];
    });
    OnCommand(sub { my ($label) = @_; Balloon("Chosen: $label") });

=over 4

=item SetMenu(ITEMS or CODE)

Sets the menu: ITEMS is an array reference of items, or CODE returns one
each time the menu opens (so that check marks and disabled items follow the
program's state). C<SetMenu(undef)> removes the menu: a right click then
shows nothing. Returns the menu it replaces.

An item is C<'-'>, a separator line, or C<[LABEL, ACTION, OPTION =E<gt> VALUE, ...]>:

=over 4

=item LABEL

The text. C<&> marks the next letter as the item's mnemonic, underlined and
chosen by its key; C<&&> is a literal C<&>. A tab separates the label from
an accelerator text shown at the right (C<"&Open\tCtrl+O">); the key is not
bound by it.

=item ACTION

A code reference, or the name of a sub (C<'upload'> is looked up in the
package that called C<SetMenu>, C<'Other::upload'> as it is, when the item
is chosen), called with the LABEL as its argument. An array reference of
items makes the item open a submenu. Without an ACTION the item calls the
C<OnCommand> handler.

=item OPTIONS

C<disabled> (shown grey, cannot be chosen), C<checked> (a check mark),
C<radio> (the check mark is a radio mark: C<checked> marks the chosen one of
a group), C<default> (the default item, shown in bold), each taking a true
or false value.

=back

A menu or submenu without items, another kind of item, action or option, or
more than 65535 items, dies with a message that names it (for example
C<Nimbrel::SetMenu: unknown option 'bold' of 'A' (disabled, checked, radio
or default)>); for CODE that is reported as a warning when the menu opens,
and no menu is shown. An action that dies is reported as a warning, as a
handler's error is; C<exit> in an action ends the program.

=item OnCommand(CODE)

Registers CODE as the handler of the items that have no ACTION: it is called
with the item's LABEL. Returns the handler it replaces; C<undef> removes it.

=back

The library does this through the subs C<Nimbrel::PopupMenu> (returns the
menu as a menu template, which C<Nimbrel::_WideChar> helps to build) and
C<Nimbrel::Command> (called with the chosen item's number as text), which it
defines on the first C<SetMenu> or C<OnCommand>. A script may define these
two subs itself instead, and then does not call C<SetMenu> or C<OnCommand>.

=head1 DOWNLOADS

    use Nimbrel;

    my $started = time;
    Download('https://example.com/status.json',
        sub {                                         # the whole body has come
            my ($body, $url) = @_;
            utf8::decode($body);                      # bytes: decode them yourself
            Balloon("$url: " . length($body) . ' characters in ' . (time - $started) . ' s', 'Status');
        },
        sub {                                         # it failed
            my ($error, $url) = @_;
            Balloon($error, 'Status', 'error');
        });

=over 4

=item Download(URL, ON_BODY [, ON_ERROR])

Fetches URL (C<http://>, C<https://> or C<ftp://>) without holding up the
program: the call returns at once, a thread of its own reads the response,
and once the whole body has arrived, ON_BODY is called with the body and
the URL, as an event between other events. When the download fails, ON_ERROR
(if given) is called instead, with the error's text and the URL; no part of
the body is then delivered. Returns true when the download has started,
false when it could not (the program is ending, or the HTTP client cannot
start); neither code is then called.

The body comes as it is, whatever the response's HTTP status: the page of
a C<404 Not Found> is delivered as any other body, and the status and the
headers are not available. It is a string of bytes, not of characters:
decode it yourself (C<utf8::decode($body)>, or C<Encode::decode> for other
encodings). The whole body is held in memory until it is delivered, so
this is not the way to fetch files larger than the memory can hold.

Downloads run side by side, each on a thread of its own; each is delivered
when it is complete, in the order in which they finish. A download cannot
be stopped once it has started. Each request goes to the server (nothing
is cached), with the user agent C<Nimbrel/1.0>, through the proxy that the
environment names (C<http_proxy>, C<https_proxy>, and C<no_proxy> for the
hosts reached directly). Redirects are followed (at most 10, and only to
C<http> and C<https>). The certificates of HTTPS servers are verified
against the system's certificate store: a server whose certificate does not
verify (a self-signed one, another name) fails the download.

A download fails when the URL cannot be opened (no such host, no
connection within 30 seconds, the certificate refused, too many
redirects), when reading the body fails (the connection breaks off; a read
that fails is tried again three times) or when no data arrives for 60
seconds. ERROR is the text that the program also writes to its debugger
output, such as C<InternetOpenUrl(https://example.invalid/) failed: 6
(Couldn't resolve host name)> or C<InternetReadFile failed: 28 (Timeout was
reached)>; the number is the HTTP client's error code. A download whose
ON_ERROR is not given fails quietly, on the debugger output only.

The handlers run on the program's main thread, as timer handlers do. One
that dies is reported as a warning (C<Nimbrel: the download handler failed:
...>, C<Nimbrel: the download error handler failed: ...>); C<exit> in one
ends the program. When the program ends, downloads that are still running
are abandoned, and their handlers are not called.

URL may be an object that turns into the URL's text (a C<URI>); the
handlers receive the very value given (a copy of it, taken when
C<Download> was called).

=item OnDownload(CODE)

The handler of downloads that the script starts with the host's function
itself, C<Nimbrel::Download(URL, CONTEXT)> (see below), with a CONTEXT that
is not a code reference: CODE is called as C<CODE-E<gt>(BODY, CONTEXT, URL)>
when the body has come, and as C<CODE-E<gt>(undef, CONTEXT, URL, ERROR)> when
the download failed. Returns the handler it replaces; C<undef> removes it.

=back

The library builds on the host's interface, which a script may use
instead. C<Nimbrel::Download(URL, CONTEXT)> starts a download and returns
true (false when it has not exactly two arguments, or cannot start); the
host then calls the sub C<Nimbrel::Internet(BODY, CONTEXT, URL)> with the
body, or C<Nimbrel::DownloadFailed(ERROR, CONTEXT, URL)> when the download
failed, with CONTEXT and URL the very values given (nothing is called for
a sub that is not defined). C<Download> and C<OnDownload> define both subs
(the library's dispatchers) on their first use; with them, a CONTEXT that
is a code reference is called as C<CONTEXT-E<gt>(BODY, URL)> (and not for
a failure), and any other CONTEXT goes to the C<OnDownload> handler. A
script that defines either sub itself handles all its downloads there, and
does not call C<Download> or C<OnDownload>, which would die with
C<Nimbrel::Download: the script defines its own sub Nimbrel::Internet; use
either of them>.

=head1 HOST PRIMITIVES

The library is built on these functions of the tray host, which a script
that uses the library should leave alone: C<Nimbrel::_LoadIcon(NAME)> (the
handle of a bound icon, 0 for none), C<Nimbrel::_SetIcon(HANDLE)> (0: the
default icon), C<Nimbrel::_SetTimer(ID, MS)>, C<Nimbrel::_KillTimer(ID)> and
C<Nimbrel::_WideChar(TEXT)> (the text in UTF-16LE).
C<Nimbrel::Download> is described under L</DOWNLOADS>.

=cut
