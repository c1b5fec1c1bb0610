#!/usr/bin/perl
# Lists the files a packed Perl script needs, one "NAME\tPATH" line each:
# NAME is the name under which `require` asks for the file (relative to the
# @INC directory it lies in, e.g. "List/Util.pm", "auto/List/Util/Util.so"),
# PATH the file on this machine.
#
# The list is the union of
#  - what compiling the script loads (a child `perl -c` that reports %INC
#    once every BEGIN and CHECK block has run),
#  - with --traced DIR, what traced runs of the script loaded (the reports
#    in DIR: %INC at their end and the extension libraries they loaded),
#  - a static scan of the script and of everything found so far, repeated
#    until it finds nothing new: Module::ScanDeps (with its rules for
#    modules that load others by computed names, and some of our own,
#    applied to every module found), and a scan of the code text for `use`,
#    `no` and `require` of a bare module name wherever they stand and in
#    the constant text of string evals; modules that are not installed are
#    skipped quietly, as the program then runs as it does without them,
#  - data files that the modules and the script find by searching @INC
#    (pod/perldiag.pod, ExtUtils/typemap, ...), under their names relative
#    to the @INC directory,
#  - what the setup code of a packed program loads itself (DynaLoader and
#    its dependencies, PerlIO::scalar for in-memory handles),
#  - with --debug, the debugger (perl5db.pl) and the modules it loads,
#  - the extension libraries (auto/.../*.so) and autoloaded parts
#    (auto/.../*.al, autosplit.ix) of every module in the list.
#
# %INC entries that are not readable regular files (such as "(set by
# Moose)") are skipped.
#
# Messages begin with "scandeps: ", or with the NAME given by --prog.
#
# Its own files go to a temporary directory that it removes, or with
# --workdir DIR into DIR, a private directory that the caller creates and
# removes (so that it goes also when the scan is killed).
#
# Exit status: 0 on success, 1 when the script does not compile or the scan
# fails, 2 on wrong usage or a module given with --add that cannot be found.
use strict;
use warnings;

use Cwd ();
use File::Temp ();
use Module::ScanDeps ();

my $me = 'scandeps';

sub usage {
    print STDERR "$me: $_[0]\n" if @_;
    print STDERR "Usage: scandeps.pl [--prog NAME] [-I DIR]... [--debug] [--taint] [--add MODULE]... [--exclude MODULE]... [--traced DIR]... [--workdir DIR] [--] SCRIPT\n";
    exit 2;
}

my ($debug, $taint, @add, @exclude, @lib, @traced, $workdir, $script);
while (@ARGV) {
    my $a = shift @ARGV;
    if ($a eq '--debug') { $debug = 1 }
    elsif ($a eq '--prog') { usage('--prog needs a NAME') unless @ARGV; $me = shift @ARGV }
    elsif ($a eq '--taint') { $taint = 1 }
    elsif ($a eq '-I') { usage('-I needs a DIR') unless @ARGV; push @lib, shift @ARGV }
    elsif ($a =~ /^-I(.+)$/) { push @lib, $1 }
    elsif ($a eq '--add') { usage('--add needs a MODULE') unless @ARGV; push @add, shift @ARGV }
    elsif ($a eq '--workdir') { usage('--workdir needs a DIR') unless @ARGV; $workdir = shift @ARGV }
    elsif ($a eq '--traced') { usage('--traced needs a DIR') unless @ARGV; push @traced, shift @ARGV }
    elsif ($a eq '--exclude') { usage('--exclude needs a MODULE') unless @ARGV; push @exclude, shift @ARGV }
    elsif ($a eq '--') { usage('one SCRIPT expected') unless @ARGV == 1; $script = shift @ARGV }
    elsif ($a =~ /^-./) { usage("unknown option '$a'") }
    else { usage('one SCRIPT expected') if defined $script; $script = $a }
}
usage('no SCRIPT given') unless defined $script;
# Module directories given with -I come first, as with perl -I.
unshift @INC, @lib;
unless (-f $script && -r _) {
    print STDERR "$me: cannot read script '$script'\n";
    exit 1;
}
# Absolute form of a path, relative ones taken from the current directory.
sub absolute {
    my ($path) = @_;
    return $path =~ m{^/} ? $path : Cwd::getcwd() . '/' . $path;
}

my $script_abs = absolute($script);

# "Foo::Bar" and "Foo/Bar.pm" name the same module; names with a slash or
# an extension are files as `require` asks for them ("unicore/Name.pl").
sub module_file {
    my ($m) = @_;
    return $m if $m =~ m{/} || $m =~ /\.(?:pm|pl|al|ix|so)$/;
    (my $f = $m) =~ s{::}{/}g;
    return "$f.pm";
}

sub find_in_inc {
    my ($name) = @_;
    for my $dir (@INC) {
        next if ref $dir;
        my $path = "$dir/$name";
        return $path if -f $path;
    }
    return undef;
}

# NAME => PATH of everything found so far.
my %found;

sub add_found {
    my ($name, $path) = @_;
    return unless defined $name && defined $path && !ref $path;
    # Modules may set %INC entries to anything ("(set by Moose)"); only
    # readable regular files can be bound or scanned.
    return unless -f $path && -r _;
    if ($name =~ m{^/} || $name =~ m{(?:^|/)\.\.?(?:/|$)}) {
        print STDERR "$me: warning: '$name' is loaded by path, not through \@INC; it is not bound\n";
        return;
    }
    return 0 if exists $found{$name};
    $found{$name} = $path;
    return 1;
}

# The name under which `require` finds a file that lies in an @INC
# directory ("auto/List/Util/Util.so"), or the path itself when it lies in
# none.
sub inc_name {
    my ($path) = @_;
    for my $dir (grep { !ref } @INC) {
        return substr($path, length($dir) + 1) if index($path, "$dir/") == 0;
    }
    return $path;
}

# The names, relative to their @INC directory, of the files that PATTERN
# (a name relative to an @INC directory, with wildcards as glob takes
# them) matches in any @INC directory.
sub inc_glob {
    my ($pattern) = @_;
    my %names;
    for my $dir (grep { !ref } @INC) {
        for my $path (glob("\Q$dir\E/$pattern")) {
            $names{substr($path, length($dir) + 1)} //= 1 if -f $path;
        }
    }
    return sort keys %names;
}

sub read_text {
    my ($path) = @_;
    open my $fh, '<', $path or return undef;
    local $/;
    my $text = <$fh>;
    return $text;
}

# Rules for modules that load others by computed names, beyond those that
# Module::ScanDeps carries (its own rule for a module wins).
sub add_load_rules {
    return unless Module::ScanDeps->can('add_preload_rule');
    my %rules = (
        # Its formatter, parser, aggregator, scheduler, multiplexer and
        # source handler classes.
        'TAP/Harness.pm' => sub { inc_glob('TAP/*.pm'), inc_glob('TAP/*/*.pm'), inc_glob('TAP/*/*/*.pm'),
                                  inc_glob('TAP/*/*/*/*.pm') },
        # The module of an encoding named at run time. The tables of the
        # East Asian encodings (Encode::CN, JP, KR and TW, about 9 MB) only
        # come when the code names one of their encodings literally, or
        # with --add or a traced run.
        'Encode.pm' => sub {
            my %modules = eval { require Encode::Config; reverse %Encode::ExtModule };
            return map { module_file($_) } grep { !/^Encode::(?:CN|JP|KR|TW)\b|ISO_2022_JP/ } sort keys %modules;
        },
        # Digest->new("SHA-256") and the like.
        'Digest.pm' => [qw(Digest/base.pm Digest/file.pm Digest/MD5.pm Digest/SHA.pm)],
        # perldoc's formatters and its helpers.
        'Pod/Perldoc.pm' => sub { inc_glob('Pod/Perldoc/*.pm') },
    );
    for my $module (sort keys %rules) {
        eval { Module::ScanDeps::add_preload_rule($module, $rules{$module}) };
    }
}

# Data files that code finds by searching the @INC directories (or the
# directory of perl's library), bound when the text of the script or of a
# bound module names them: (pattern in the text, files relative to an @INC
# directory).
my @data_rules = (
    [qr/perldiag\.pod/, 'pod/perldiag.pod'],                           # diagnostics, splain
    [qr/standard_typemap_locations/, 'ExtUtils/typemap'],              # ExtUtils::ParseXS, xsubpp
    [qr/\.e2x\b/, 'Encode/*.e2x', 'Encode/*.ucm', 'Encode/*.h'],      # enc2xs
);

sub data_files {
    my ($text) = @_;
    return map { my ($re, @files) = @$_; $text =~ $re ? (map { inc_glob($_) } @files) : () } @data_rules;
}

# Words after which a '/' begins a pattern rather than a division.
my %op_words = map { $_ => 1 }
    qw(and or not xor if unless elsif while until return split grep map join push unshift when x lt gt le ge eq ne cmp
       print say die warn);
my $special_words = join '|', qw(use no require eval sub q qq qw qr m s tr y), keys %op_words;
# Runs of blanks, line breaks (not before POD or __END__), plain words,
# variables, numbers, strings and operators: nothing in them can begin a
# statement of interest, a pattern, a quote-like operator or a
# here-document.
my $plain_run = qr/\G((?:[ \t\r\f]++|\n(?![=_])|(?:[\$\@]\#?\$*)?(?:::)?(?!(?:$special_words)\b)[A-Za-z_]\w*+(?:::\w+)*+
                     |\d[\d_]*+|'(?:[^'\\]++|\\.)*+'|"(?:[^"\\]++|\\.)*+"|[;,=+*.!:|^~\\){}\[\]]|-(?!>))++)/x;
# Quote-like operators and the number of delimited parts they take.
my %quote_parts = (q => 1, qq => 1, qw => 1, qr => 1, m => 1, s => 2, tr => 2, y => 2);
# The pattern for the text up to a closing delimiter D (compiled once).
my %up_to;
sub up_to {
    my ($d) = @_;
    return $up_to{$d} //= qr/\G((?:[^\Q$d\E\\]++|\\.)*)\Q$d\E/s;
}
my %closing = ('(' => ')', '[' => ']', '{' => '}', '<' => '>');
my %bracketed = map {
    my ($o, $c) = ($_, $closing{$_});
    $o => qr/\G(\Q$o\E((?:[^\Q$o$c\E\\]++|\\.|(?1))*)\Q$c\E)/s
} keys %closing;

# The text of a delimited part of a quote-like operator whose delimiter
# begins at pos($$text), or undef (pos unchanged) when it is not closed.
sub delimited {
    my ($text) = @_;
    my $at = pos($$text);
    $$text =~ /\G(.)/gcs or return undef;
    my $d = $1;
    if (my $re = $bracketed{$d}) {
        pos($$text) = $at;
        return $2 if $$text =~ /$re/gc;
    } elsif ($$text =~ /${\ up_to($d)}/gc) {
        return $1;
    }
    pos($$text) = $at;
    return undef;
}

# The module files that Perl code names with `use`, `no` or `require` and a
# bare module name, wherever these stand (also inside `eval { }`, after
# `or`, in a block), and inside the constant text of a string eval
# (`eval "require Foo; 1"`, `eval q{use Foo}`); not in comments, POD,
# strings, patterns, here-documents or after __END__ and __DATA__. A
# lexical scan of the text, not a parse: it keeps track of what is code
# well enough for these statements.
sub code_modules {
    my ($text) = @_;
    my %names;
    my $term = 0;          # a term came last: a '/' is a division
    my $eval = 0;          # `eval` (or `eval (`) came last
    my $word = '';         # the word before, for `sub NAME`
    my @heredocs;          # [terminator, indented, eval] starting on the next line
    my $line_start = 1;
    my $length = length $text;
    pos($text) = 0;
    # Each pattern is tried only where the character at hand can begin
    # what it matches: a pattern that fails may cost a search through the
    # rest of the text.
    while ((my $at = pos($text)) < $length) {
        my $c = substr($text, $at, 1);
        if ($line_start) {
            $line_start = 0;
            while (my $h = shift @heredocs) {
                my ($end, $indented, $is_eval) = @$h;
                my $re = $indented ? qr/\G(.*?)^[ \t]*\Q$end\E(?:\n|\z)/ms : qr/\G(.*?)^\Q$end\E(?:\n|\z)/ms;
                return sort keys %names unless $text =~ /$re/gc;
                $names{$_} = 1 for $is_eval ? code_modules($1) : ();
            }
            if (pos($text) != $at) {
                $line_start = 1;
                next;
            }
            last if $c eq '_' && $text =~ /\G__(?:END|DATA)__\b/gc;
            if ($c eq '=' && $text =~ /\G=[A-Za-z]/gc) {
                last unless $text =~ /\G.*?^=cut\b[^\n]*\n?/gcms;
                $line_start = 1;
                next;
            }
        }
        if ($c eq "\n") {
            pos($text) = $at + 1;
            $line_start = 1;
            next;
        }
        if ($c eq '#') {
            $text =~ /\G[^\n]*/gc;
            next;
        }
        if ($c eq ' ' || $c eq "\t") {
            $text =~ /\G[ \t\r\f]+/gc;
            next;
        }
        # Runs of blanks, plain words, variables, numbers and operators
        # that cannot begin anything of interest, in one go.
        if (!$eval && !@heredocs && $text =~ /$plain_run/gc) {
            if ($1 =~ /(\S)\s*\z/) {
                $term = $1 =~ /[\w)\]}'"]/ ? 1 : 0;
                ($eval, $word) = (0, '');
            }
            next;
        }
        my ($was_eval, $prev_word) = ($eval, $word);
        ($eval, $word) = (0, '');
        if ($c eq '-' && $text =~ /\G->\s*\$?\w*/gc) {
            $term = 1;
        } elsif ($c eq '$' || $c eq '@' || !$term && ($c eq '%' || $c eq '&' || $c eq '*')) {
            if ($text =~ /\G(?:[\$\@%&*]\#?\$*(?:::)?\w+(?:::\w+)*|\$(?:\^\w|[^\w\s\{]))/gc) {
                $term = 1;
            } else {
                $text =~ /\G(?:\$\#|[\$\@%&*]+)/gc;
                $term = 0;
            }
        } elsif ($c eq "'" || $c eq '"' || $c eq '`') {
            pos($text) = $at + 1;
            if ($text =~ /${\ up_to($c)}/gc) {
                $names{$_} = 1 for $was_eval ? code_modules($1) : ();
                $term = 1;
            } else {
                $term = 0;
            }
        } elsif ($c eq '<' && ($was_eval || !$term) && $text =~ /\G<<(~?)(?:(["'])(.*?)\2|([A-Za-z_]\w*))/gc) {
            push @heredocs, [$3 // $4, $1, $was_eval];
            $term = 1;
        } elsif ($c eq '<' && !$term && $text =~ /\G<[\$\w:]*>/gc) {
            $term = 1;
        } elsif ($c =~ /\d/) {
            $text =~ /\G(?:0[xXbB][\da-fA-F_]+|\d[\d_]*(?:\.[\d_]*)?(?:[eE][+-]?\d+)?)/gc;
            $term = 1;
        } elsif ($c =~ /[A-Za-z_:]/ && $text =~ /\G((?:::)?[A-Za-z_]\w*(?:::\w+)*)/gc) {
            my $w = $1;
            $word = $w;
            $term = 1;
            # A word before `=>` is a string.
            next if $text =~ /\G(?=[ \t]*=>)/;
            if (my $parts = $quote_parts{$w}) {
                my $after = pos($text);
                my $before = $at > 0 ? substr($text, $at - 1, 1) : '';
                # Not a file test (-s), not a sub's name; the delimiter
                # follows at once, or after blanks unless it is '#'.
                if ($before ne '-' && $prev_word ne 'sub'
                    && ($text =~ /\G(?=[^\w\s=,;)\]}])/gc || $text =~ /\G\s+(?=[^\w\s#=,;)\]}])/gc)) {
                    my $open = substr($text, pos($text), 1);
                    my $body = delimited(\$text);
                    if (defined $body && $parts == 2) {
                        # s{...}{...} may have blanks between the parts;
                        # s/.../.../ shares the middle delimiter.
                        if ($closing{$open}) {
                            $text =~ /\G\s*/gc;
                        } else {
                            pos($text)--;
                        }
                        $body = undef unless defined delimited(\$text);
                    }
                    if (defined $body) {
                        $text =~ /\G[a-zA-Z]*/gc;
                        $names{$_} = 1 for $was_eval && ($w eq 'q' || $w eq 'qq') ? code_modules($body) : ();
                        next;
                    }
                }
                pos($text) = $after;
            } elsif (($w eq 'use' || $w eq 'no' || $w eq 'require') && $prev_word ne 'sub') {
                if ($text =~ /\G\s*(\(\s*)?([A-Za-z_]\w*(?:::\w+)*)(?!::|\w)/gc) {
                    my ($paren, $m) = ($1, $2);
                    my $follows = substr($text, pos($text), 40);
                    # Not `require name(...)` (the file a sub returns),
                    # not a version, not a method call.
                    $names{module_file($m)} = 1
                        if $follows !~ /\A\s*(?:=>|->)/
                        && !($w eq 'require' && !$paren && $follows =~ /\A\s*\(/)
                        && $m !~ /\Av\d+\z/;
                }
            } elsif ($w eq 'eval') {
                $eval = 1;
                $term = 0;
            } elsif ($op_words{$w}) {
                $term = 0;
            }
        } elsif ($c eq '/') {
            # A pattern when no term came before it (on one line), else a
            # division.
            pos($text) = $at + 1;
            if (!$term && $text =~ /\G(?:[^\/\\\n]++|\\.)*\/[a-z]*/gc) {
                $term = 1;
            } else {
                $text =~ /\G\/?/gc;
                $term = 0;
            }
        } elsif ($c eq ')' || $c eq ']' || $c eq '}') {
            pos($text) = $at + 1;
            $term = 1;
        } elsif ($c eq '(') {
            pos($text) = $at + 1;
            $eval = $was_eval;
            $term = 0;
        } else {
            pos($text) = $at + 1;
            $term = 0;
        }
    }
    return sort keys %names;
}

sub module_name {
    my ($file) = @_;
    (my $m = $file) =~ s{\.pm$}{};
    $m =~ s{/}{::}g;
    return $m;
}

# Runs a child perl with standard error going to a file; returns its exit
# status and what it said on standard error.
sub run_child {
    my ($errors, @cmd) = @_;
    open my $saved, '>&', \*STDERR or die "$me: cannot save standard error: $!\n";
    open STDERR, '>', $errors or die "$me: cannot write '$errors': $!\n";
    my $status = system { $cmd[0] } @cmd;
    open STDERR, '>&', $saved or die "$me: cannot restore standard error: $!\n";
    my @messages;
    if (open my $fh, '<', $errors) {
        @messages = <$fh>;
    }
    return ($status, @messages);
}

my $tmpdir = defined $workdir ? undef : File::Temp->newdir('kovscan-XXXXXX', TMPDIR => 1);
my $tmp = defined $workdir ? $workdir : "$tmpdir";
my $errors = "$tmp/stderr.txt";

# What the setup code of every packed program loads: DynaLoader and what it
# uses, and PerlIO::scalar for in-memory handles. These are always bound.
my %setup_need;
{
    my $out = "$tmp/setup.txt";
    my $code = 'open my $o, ">", $ARGV[0] or die "cannot write $ARGV[0]: $!\n";'
             . ' require DynaLoader; require PerlIO; require PerlIO::scalar;'
             . ' print $o "$_\t$INC{$_}\n" for sort keys %INC; close $o or die "cannot write $ARGV[0]: $!\n"';
    my ($status, @messages) = run_child($errors, $^X, (map { "-I$_" } @lib), '-e', $code, $out);
    if ($status != 0) {
        print STDERR @messages, "$me: the modules that packed programs need to start cannot be loaded\n";
        exit 1;
    }
    open my $fh, '<', $out or die "$me: cannot read '$out': $!\n";
    while (my $line = <$fh>) {
        chomp $line;
        my ($name, $path) = split /\t/, $line, 2;
        $setup_need{$name} = 1;
        add_found($name, $path);
    }
}

my @debug_needs = qw(perl5db.pl dumpvar.pl Term/ReadLine.pm Term/Cap.pm);

my @added;
for my $m (@add) {
    my $name = module_file($m);
    my $path = find_in_inc($name);
    unless (defined $path) {
        print STDERR "$me: can't find module $m ($name) in \@INC (\@INC contains: @INC)\n";
        exit 2;
    }
    push @added, $name;
    add_found($name, $path);
}
if ($debug) {
    for my $name (@debug_needs) {
        my $path = find_in_inc($name);
        unless (defined $path) {
            print STDERR "$me: can't find the debugger's $name in \@INC (\@INC contains: @INC)\n";
            exit 1;
        }
        add_found($name, $path);
    }
}

# Compile the script in a child and collect its %INC. The reporting module
# registers its CHECK block before the script is compiled, so that block
# runs last, after every CHECK block of the script.
my $report = "$tmp/inc.txt";
mkdir "$tmp/Kovar" or die "$me: cannot create '$tmp/Kovar': $!\n";
open my $pm, '>', "$tmp/Kovar/ScanReport.pm" or die "$me: cannot write '$tmp/Kovar/ScanReport.pm': $!\n";
print $pm <<'PM';
package Kovar::ScanReport;
my $out;
sub import {
    ($out) = $_[1] =~ /\A(.*)\z/s;
    # This module's own directory is no place for the script's modules.
    (my $dir = __FILE__) =~ s{/Kovar/ScanReport\.pm$}{};
    @INC = grep { ref || $_ ne $dir } @INC;
}
CHECK {
    open my $fh, '>', $out or die "cannot write '$out': $!\n";
    for my $name (sort keys %INC) {
        next if $name eq 'Kovar/ScanReport.pm';
        my $path = $INC{$name};
        print $fh "$name\t$path\n" if defined $path && !ref $path;
    }
    close $fh or die "cannot write '$out': $!\n";
}
1;
PM
close $pm or die "$me: cannot write '$tmp/Kovar/ScanReport.pm': $!\n";

# A script whose #! line asks for taint mode must be checked in taint mode.
if (open my $fh, '<', $script) {
    my $first = <$fh>;
    $taint = 1 if defined $first && $first =~ /^#!.*perl\S*\s+(?:-\S*\s+)*-[A-Za-z]*[Tt]/;
}

my @child = ($^X, ($taint ? '-T' : ()), (map { "-I$_" } @lib), "-I$tmp", "-MKovar::ScanReport=$report");
push @child, '-m' . module_name($_) for grep { /\.pm$/ } @added;
push @child, '-c', '--', $script;
{
    my ($status, @messages) = run_child($errors, @child);
    # Pass on what the compiler said (warnings, or the reason for failing),
    # except its final "syntax OK".
    print STDERR grep { !/^\Q$script\E syntax OK$/ } @messages;
    if ($status != 0) {
        print STDERR "$me: $script does not compile\n";
        exit 1;
    }
    open my $fh, '<', $report or do {
        print STDERR "$me: compiling $script reported nothing\n";
        exit 1;
    };
    while (my $line = <$fh>) {
        chomp $line;
        my ($name, $path) = split /\t/, $line, 2;
        add_found($name, $path);
    }
}

# What traced runs of the script loaded: each report holds the version of
# the perl that wrote it ("perl\tVERSION"), its %INC ("inc\tNAME\tPATH")
# and the extension libraries it loaded ("so\tPATH").
for my $dir (@traced) {
    opendir my $dh, $dir or do {
        print STDERR "$me: cannot read '$dir': $!\n";
        exit 1;
    };
    my @reports = sort grep { /\.txt\z/ } readdir $dh;
    closedir $dh;
    for my $file (@reports) {
        open my $fh, '<', "$dir/$file" or do {
            print STDERR "$me: cannot read '$dir/$file': $!\n";
            exit 1;
        };
        my @lines = <$fh>;
        chomp @lines;
        my ($version) = map { /^perl\t(.*)\z/ ? $1 : () } @lines;
        if (!defined $version || $version ne $]) {
            printf STDERR "$me: warning: a traced run was made by perl %s, not by the packing perl %s; what it loaded is not bound\n",
                $version // 'of unknown version', $];
            next;
        }
        for my $line (@lines) {
            my ($kind, @fields) = split /\t/, $line, -1;
            if ($kind eq 'inc' && @fields == 2) {
                add_found(@fields) unless $fields[0] eq 'Kovar/TraceReport.pm';
            } elsif ($kind eq 'so' && @fields == 1) {
                add_found(inc_name($fields[0]), $fields[0]);
            }
        }
    }
}

# Static scan, repeated until it finds nothing new; excluded modules are
# neither bound nor scanned. Each round gives Module::ScanDeps the script
# and a generated file that requires every module found since the round
# before, however it was found (compiling, tracing, --add, the code scan),
# so that its rules for modules that load others by computed names apply
# to all of them; it follows what they use recursively. Then every text
# file found is scanned for the modules it names in its code and for the
# data files it needs (code_modules, data_files); what is new goes into
# the next round.
my @excluded = map { module_file($_) } @exclude;
my %skip;
for my $x (@excluded) {
    next if $setup_need{$x};
    my $path = $found{$x} // find_in_inc($x);
    $skip{$path} = 1 if defined $path;
}
add_load_rules();
{
    my %given;          # paths Module::ScanDeps has scanned or was given
    my %text_scanned;   # paths whose code text has been scanned
    my @pending = sort keys %found;
    my $round = 0;
    while (@pending) {
        my $generated = "$tmp/round" . ++$round . '.pl';
        open my $gen, '>', $generated or die "$me: cannot write '$generated': $!\n";
        my @files = ($script_abs, $generated);
        for my $name (@pending) {
            next unless $name =~ /\.p[lmh]\z/;
            print {$gen} "require \"$name\";\n" or die "$me: cannot write '$generated': $!\n";
            # A module found elsewhere than @INC gives it (a directory of
            # the script's `use lib`) is scanned by its path.
            my $path = $found{$name};
            my $inc_path = find_in_inc($name);
            push @files, $path unless defined $inc_path && $inc_path eq $path || $skip{$path} || $given{$path};
        }
        close $gen or die "$me: cannot write '$generated': $!\n";
        my $deps = Module::ScanDeps::scan_deps(
            files => \@files,
            recurse => 1,
            skip => { %skip, %given },
        );
        $given{$_} = 1 for @files;
        for my $name (sort keys %$deps) {
            my $file = $deps->{$name}{file};
            next unless defined $file;
            $file = absolute($file);
            next if $file eq $script_abs || $file eq $generated;
            $given{$file} = 1;
            add_found($name, $file);
        }
        @pending = ();
        # The Unicode tables (unicore/) are data that perl generates; they
        # load nothing.
        for my $path ($script_abs, map { $found{$_} } sort grep { /\.p[lmh]\z/ && !m{^unicore/} } keys %found) {
            next if $text_scanned{$path}++ || $skip{$path};
            my $text = read_text($path);
            next unless defined $text;
            for my $name (code_modules($text), data_files($text)) {
                next if exists $found{$name};
                my $found_path = find_in_inc($name);
                next unless defined $found_path && !$skip{$found_path};
                push @pending, $name if add_found($name, $found_path);
            }
        }
    }
}

# Extension libraries and autoloaded parts of every module found.
for my $name (sort grep { /\.pm$/ } keys %found) {
    (my $modpath = $name) =~ s{\.pm$}{};
    my $root = $found{$name};
    my @roots;
    push @roots, $1 if $root =~ m{^(.*)/\Q$name\E$};
    push @roots, grep { !ref } @INC;
    for my $dir (@roots) {
        my $auto = "$dir/auto/$modpath";
        next unless -d $auto;
        opendir my $dh, $auto or next;
        for my $f (sort readdir $dh) {
            next unless $f =~ /\.(?:so|al|ix)$/ && -f "$auto/$f";
            add_found("auto/$modpath/$f", "$auto/$f");
        }
        closedir $dh;
        last;
    }
}

# Exclusions: a module's own file and everything below its auto/ directory.
# What packed programs need to start stays.
for my $x (@excluded) {
    my $auto = $x =~ /^(.*)\.pm$/ ? "auto/$1/" : undef;
    my $matched = 0;
    for my $name (sort keys %found) {
        next unless $name eq $x || (defined $auto && index($name, $auto) == 0);
        $matched = 1;
        if ($setup_need{$name} || ($setup_need{$x} && $name ne $x)) {
            print STDERR "$me: warning: $name stays bound: packed programs need it to start\n";
            next;
        }
        delete $found{$name};
    }
    print STDERR "$me: warning: --exclude $x: the script does not need it\n" unless $matched;
}

# `diagnostics` looks for its database in perl's own pod directory, which
# a machine without perl lacks, and then in every diagnostics.pm of the
# @INC directories that carries the database after its last line. So the
# bound diagnostics.pm gets perldiag.pod appended and is also a data file:
# the program writes it into the directory that @INC lists after the hook.
my %data_too;
if (defined $found{'diagnostics.pm'}) {
    my $pod = $found{'pod/perldiag.pod'} // find_in_inc('pod/perldiag.pod');
    my $module = $found{'diagnostics.pm'};
    if (defined $pod && open(my $in, '<', $module)) {
        local $/;
        my $text = <$in>;
        close $in;
        if ($text =~ /^__END__\s*# wish diag dbase were more accessible\s*\z/m && open(my $db, '<', $pod)) {
            my $database = <$db>;
            close $db;
            my $joined = "$tmp/diagnostics.pm";
            open my $out, '>', $joined or die "$me: cannot write '$joined': $!\n";
            print $out $text, ($text =~ /\n\z/ ? '' : "\n"), $database;
            close $out or die "$me: cannot write '$joined': $!\n";
            $found{'diagnostics.pm'} = $joined;
            $data_too{'diagnostics.pm'} = 1;
        }
    }
}

print "$_\t$found{$_}", ($data_too{$_} ? "\tdata" : ''), "\n" for sort keys %found;
exit 0;
