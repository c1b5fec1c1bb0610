#!/usr/bin/perl
# Lists the files a packed Perl script needs, one "NAME\tPATH" line each:
# NAME is the name under which `require` asks for the file (relative to the
# @INC directory it lies in, e.g. "List/Util.pm", "auto/List/Util/Util.so"),
# PATH the file on this machine.
#
# The list is the union of
#  - what compiling the script loads (a child `perl -c` that reports %INC
#    once every BEGIN and CHECK block has run),
#  - a static scan of the script and of everything found so far
#    (Module::ScanDeps, recursively), which also finds run-time requires,
#  - what the setup code of a packed program loads itself (DynaLoader and
#    its dependencies, PerlIO::scalar for in-memory handles),
#  - with --debug, the debugger (perl5db.pl) and the modules it loads,
#  - the extension libraries (auto/.../*.so) and autoloaded parts
#    (auto/.../*.al, autosplit.ix) of every module in the list.
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
    print STDERR "Usage: scandeps.pl [--prog NAME] [-I DIR]... [--debug] [--taint] [--add MODULE]... [--exclude MODULE]... [--workdir DIR] [--] SCRIPT\n";
    exit 2;
}

my ($debug, $taint, @add, @exclude, @lib, $workdir, $script);
while (@ARGV) {
    my $a = shift @ARGV;
    if ($a eq '--debug') { $debug = 1 }
    elsif ($a eq '--prog') { usage('--prog needs a NAME') unless @ARGV; $me = shift @ARGV }
    elsif ($a eq '--taint') { $taint = 1 }
    elsif ($a eq '-I') { usage('-I needs a DIR') unless @ARGV; push @lib, shift @ARGV }
    elsif ($a =~ /^-I(.+)$/) { push @lib, $1 }
    elsif ($a eq '--add') { usage('--add needs a MODULE') unless @ARGV; push @add, shift @ARGV }
    elsif ($a eq '--workdir') { usage('--workdir needs a DIR') unless @ARGV; $workdir = shift @ARGV }
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
    if ($name =~ m{^/} || $name =~ m{(?:^|/)\.\.?(?:/|$)}) {
        print STDERR "$me: warning: '$name' is loaded by path, not through \@INC; it is not bound\n";
        return;
    }
    $found{$name} //= $path;
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

# Static scan of the script and of everything found, recursively; excluded
# modules are neither bound nor scanned.
my @excluded = map { module_file($_) } @exclude;
my %skip;
for my $x (@excluded) {
    next if $setup_need{$x};
    my $path = $found{$x} // find_in_inc($x);
    $skip{$path} = 1 if defined $path;
}
my $deps = Module::ScanDeps::scan_deps(
    files => [$script_abs, grep { !$skip{$_} } sort values %found],
    recurse => 1,
    skip => \%skip,
);
for my $name (sort keys %$deps) {
    my $info = $deps->{$name};
    next unless $info->{file};
    next if absolute($info->{file}) eq $script_abs;
    add_found($name, $info->{file});
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

print "$_\t$found{$_}\n" for sort keys %found;
exit 0;
