#!/usr/bin/perl
# perl/scandeps.pl: what it lists for scripts, and how it fails.
use strict;
use warnings;

use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Temp qw(tempdir);
use Test::More;

my $scandeps = abs_path(dirname(__FILE__) . '/../../perl/scandeps.pl');
my $tmp = tempdir('kovscan-test-XXXXXX', TMPDIR => 1, CLEANUP => 1);
my $n = 0;

# Runs scandeps on a script with the given text; returns (status, {NAME => PATH}, stdout, stderr).
sub scan {
    my ($text, @opts) = @_;
    my $script = "$tmp/script" . ++$n . '.pl';
    open my $fh, '>', $script or die;
    print {$fh} $text;
    close $fh;
    my ($out, $err) = ("$tmp/out", "$tmp/err");
    system("'$^X' '$scandeps' @opts '$script' >'$out' 2>'$err'");
    my $status = $? >> 8;
    my ($stdout, $stderr) = map { open my $f, '<', $_ or die; local $/; scalar <$f> } $out, $err;
    my %list = map { split /\t/, $_, 2 } split /\n/, $stdout;
    return ($status, \%list, $stdout, $stderr);
}

{
    my ($status, $list, $stdout, $stderr) = scan("use strict;\nuse List::Util qw(sum);\nuse POSIX ();\nprint sum(1, 2);\n");
    is($status, 0, 'a script using List::Util and POSIX') or diag($stderr);
    is($stderr, '', 'says nothing on stderr');
    ok($list->{$_}, "lists $_") for qw(strict.pm List/Util.pm auto/List/Util/Util.so POSIX.pm auto/POSIX/POSIX.so);
    ok($list->{$_}, "lists $_, needed by every packed program")
        for qw(DynaLoader.pm Config.pm PerlIO/scalar.pm auto/PerlIO/scalar/scalar.so);
    my @bad = grep { !-f $list->{$_} || substr($list->{$_}, -length($_) - 1) ne "/$_" } sort keys %$list;
    is_deeply(\@bad, [], 'every PATH is a file whose path ends with /NAME');
    ok(!$list->{'perl5db.pl'}, 'no debugger without --debug');
    ok(!(grep { /script\d+\.pl$/ } keys %$list), 'the script itself is not listed');
    like($stdout, qr/\A(?:[^\t\n]+\t[^\t\n]+\n)+\z/, 'output is NAME<TAB>PATH lines');
}

{
    my ($status, $list) = scan("BEGIN { my \$m = 'Text::Abbrev'; eval \"require \$m; 1\" or die \$@ }\n");
    is($status, 0, 'a module loaded by name at compile time');
    ok($list->{'Text/Abbrev.pm'}, 'is found by compiling the script');

    ($status, $list) = scan("sub later {\n    require Text::Wrap;\n    return Text::Wrap::wrap('', '', \@_);\n}\n");
    is($status, 0, 'a module required at run time');
    ok($list->{'Text/Wrap.pm'}, 'is found by the static scan');
}

{
    my ($status, $list, $stdout, $stderr) = scan("BEGIN { \$INC{'Fake/Mod.pm'} = '(set by hand)'; \$INC{'Fake/Dir.pm'} = '/' }\nprint 1;\n");
    is($status, 0, '%INC entries that are not files') or diag($stderr);
    is($stderr, '', 'are skipped quietly');
    ok(!$list->{$_}, "$_ is not listed") for qw(Fake/Mod.pm Fake/Dir.pm);
}

# use and require of a module by name wherever they stand, also in string
# evals; not in comments, POD, strings, patterns, here-documents, after
# __END__; missing modules are skipped quietly; modules found are scanned
# in turn.
{
    mkdir "$tmp/lib";
    open my $pm, '>', "$tmp/lib/Later.pm" or die;
    print {$pm} "package Later;\nsub f { eval { require Text::Balanced; 1 } }\n1;\n";
    close $pm;
    my $script = <<'PERL';
print eval { require Time::Piece; 1 } ? "ok\n" : "no\n";
my $x = 1 && require Text::Abbrev;
sub opt { eval "require Text::Wrap; 1" or return; eval q{use Text::Tabs; 1} }
unless (eval { require No::Such::Module; 1 }) { print "degrades\n" }
sub later { require Later; }
# require Pod::Checker
my $s = "require Pod::Escapes"; my $r = $s =~ /use Pod::Html/;
print <<EOT;
x = eval { require Term::Complete }
EOT
=pod

use Pod::Functions;

=cut
print "done\n";
__END__
require Memoize;
PERL
    my ($status, $list, $stdout, $stderr) = scan($script, '-I', "$tmp/lib");
    is($status, 0, 'optional loads') or diag($stderr);
    is($stderr, '', 'a missing module is skipped quietly');
    ok($list->{$_}, "lists $_")
        for qw(Time/Piece.pm Text/Abbrev.pm Text/Wrap.pm Text/Tabs.pm Later.pm Text/Balanced.pm);
    ok(!$list->{$_}, "does not list $_")
        for qw(Pod/Checker.pm Pod/Escapes.pm Pod/Html.pm Term/Complete.pm Pod/Functions.pm Memoize.pm);
}

# Rules for modules that load others by computed names apply to every
# module found, also to one only compiling the script found.
{
    my ($status, $list, $stdout, $stderr) =
        scan("use TAP::Harness;\nBEGIN { my \$m = 'Encode'; eval \"require \$m; 1\" or die }\n");
    is($status, 0, 'modules that load others by computed names') or diag($stderr);
    ok($list->{$_}, "lists $_") for qw(TAP/Formatter/File.pm TAP/Parser/SourceHandler/Perl.pm Encode/Byte.pm
                                       auto/Encode/Byte/Byte.so);
    ok(!$list->{'Encode/JP.pm'}, 'but not the East Asian encodings');
}

# Data files that code finds by searching @INC.
{
    my ($status, $list, $stdout, $stderr) =
        scan("use diagnostics;\nsub xs { require ExtUtils::ParseXS }\nsub e2x { 'Makefile_PL.e2x' }\n");
    is($status, 0, 'data files') or diag($stderr);
    for my $name (qw(pod/perldiag.pod ExtUtils/typemap Encode/Makefile_PL.e2x Encode/encode.h)) {
        ok($list->{$name} && substr($list->{$name}, -length($name) - 1) eq "/$name", "lists $name");
    }
}

# Reports of traced runs: %INC entries and extension libraries, by name
# relative to @INC; entries that are not files are skipped; a report of
# another perl is not used.
{
    my $reports = "$tmp/reports";
    mkdir $reports;
    my $so = (grep { -f } map { "$_/auto/Digest/SHA/SHA.so" } @INC)[0];
    my $wrap = (grep { -f } map { "$_/Text/Wrap.pm" } @INC)[0];
    my $abbrev = (grep { -f } map { "$_/Text/Abbrev.pm" } @INC)[0];
    open my $fh, '>', "$reports/1-0.txt" or die;
    print {$fh} "perl\t$]\ninc\tText/Wrap.pm\t$wrap\ninc\tFake/Mod.pm\t(set by hand)\nso\t$so\n";
    close $fh;
    open $fh, '>', "$reports/2-0.txt" or die;
    print {$fh} "perl\t5.000001\ninc\tText/Abbrev.pm\t$abbrev\n";
    close $fh;
    my ($status, $list, $stdout, $stderr) = scan("print 1;\n", '--traced', $reports);
    is($status, 0, 'traced runs') or diag($stderr);
    is($list->{'Text/Wrap.pm'}, $wrap, 'bind what they loaded');
    is($list->{'auto/Digest/SHA/SHA.so'}, $so, 'and their extension libraries');
    ok(!$list->{'Fake/Mod.pm'}, 'but no entry that is not a file');
    ok(!$list->{'Text/Abbrev.pm'}, 'nor what another perl loaded');
    like($stderr, qr/warning: a traced run was made by perl 5\.000001, not by the packing perl /, 'which is said');
}

{
    my ($status, $list, $stdout, $stderr) = scan("use strict;\nmy \$x = ;\n");
    is($status, 1, 'a script that does not compile fails');
    is($stdout, '', 'and lists nothing');
    like($stderr, qr/syntax error at .*script\d+\.pl line 2/, "with the compiler's message");
    like($stderr, qr/does not compile/, 'and says so');

    ($status, $list, $stdout, $stderr) = scan("use No::Such::Module;\n");
    is($status, 1, 'a script using a missing module fails');
    like($stderr, qr/Can't locate No\/Such\/Module\.pm in \@INC/, 'naming the module');
}

{
    my ($status, $list, $stdout, $stderr) = scan("print 1;\n", '--add', 'No::Such::Module');
    is($status, 2, '--add of a missing module fails');
    like($stderr, qr/can't find module No::Such::Module \(No\/Such\/Module\.pm\) in \@INC/, 'with a clear message');

    ($status, $list) = scan("print 1;\n", '--add', 'Text::Wrap', '--add', 'Digest/MD5.pm');
    is($status, 0, '--add of existing modules');
    ok($list->{$_}, "lists $_") for qw(Text/Wrap.pm Digest/MD5.pm auto/Digest/MD5/MD5.so);
}

{
    my ($status, $list, $stdout, $stderr) = scan("use POSIX ();\nuse List::Util ();\n", '--exclude', 'POSIX');
    is($status, 0, '--exclude') or diag($stderr);
    ok(!$list->{'POSIX.pm'}, 'drops the module');
    ok(!$list->{'auto/POSIX/POSIX.so'}, 'and its library');
    ok($list->{'List/Util.pm'}, 'keeps the others');

    ($status, $list, $stdout, $stderr) = scan("print 1;\n", '--exclude', 'DynaLoader');
    is($status, 0, '--exclude of a module that packed programs need');
    ok($list->{'DynaLoader.pm'}, 'keeps it');
    like($stderr, qr/DynaLoader\.pm stays bound/, 'and says why');
}

{
    my ($status, $list, $stdout, $stderr) = scan("print 1;\n", '--debug');
    is($status, 0, '--debug') or diag($stderr);
    ok($list->{$_}, "lists $_") for qw(perl5db.pl dumpvar.pl Term/ReadLine.pm Term/Cap.pm Cwd.pm);
}

{
    my ($status, $list, $stdout, $stderr) = scan("#!/usr/bin/perl -T\nuse strict;\nprint 1;\n");
    is($status, 0, 'a script whose #! line asks for taint mode') or diag($stderr);
    ok($list->{'strict.pm'}, 'is checked in taint mode');
}

{
    system("'$^X' '$scandeps' >/dev/null 2>&1");
    is($? >> 8, 2, 'no script is wrong usage');
    system("'$^X' '$scandeps' '$tmp/does-not-exist.pl' >/dev/null 2>&1");
    is($? >> 8, 1, 'a missing script fails');
}

done_testing();
