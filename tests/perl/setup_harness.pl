#!/usr/bin/perl
# Runs the setup code of packed programs (perl/setup.pl) in a plain perl,
# with stand-ins for the host functions that read a directory of "bound"
# files. The directory is filled with what perl/scandeps.pl lists for a
# test script, plus test modules. Each case starts a child perl whose
# command line has the host's shape: the stand-ins, the BEGIN block that
# evaluates "*SETUP", a #line directive, the script text.
use strict;
use warnings;

use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Copy qw(copy);
use File::Path qw(make_path remove_tree);
use File::Temp qw(tempdir);
use Test::More;

my $source = abs_path(dirname(__FILE__) . '/../..');
my $setup = "$source/perl/setup.pl";
my $scandeps = "$source/perl/scandeps.pl";
my $tmp = tempdir('kovsetup-XXXXXX', TMPDIR => 1, CLEANUP => 1);

sub slurp {
    my ($path) = @_;
    open my $fh, '<:raw', $path or die "cannot read $path: $!";
    local $/;
    return scalar <$fh>;
}

sub spew {
    my ($path, $bytes) = @_;
    make_path(dirname($path));
    open my $fh, '>:raw', $path or die "cannot write $path: $!";
    print {$fh} $bytes;
    close $fh or die "cannot write $path: $!";
}

my $app = <<'APP';
use strict;
use warnings;
use List::Util qw(sum max);
use POSIX qw(floor);
use Data::Dumper;
use JSON::PP;
use Digest::MD5 qw(md5_hex);
use Storable qw(freeze thaw);
$Data::Dumper::Sortkeys = 1;
$Data::Dumper::Indent = 0;
print "sum=", sum(1 .. 10), "\n";
print "floor=", floor(-2.5), "\n";
print "dumper=", Dumper({ a => 1, b => [2] }), "\n";
my $json = JSON::PP->new->canonical;
print "json=", $json->encode($json->decode('{"k":[1,"x"],"a":null}')), "\n";
print "md5=", md5_hex("abc"), "\n";
print "storable=", thaw(freeze({ n => 42 }))->{n}, "\n";
print "inc_count=", scalar(@INC), " inc0=", ref($INC[0]), "\n";
print "INC $_\t$INC{$_}\n" for sort keys %INC;
print "librefs=", scalar(@DynaLoader::dl_librefs), " registered=", scalar(@Kovar::registered), "\n";
print "same_handles=", ("@DynaLoader::dl_librefs" eq "@Kovar::registered" ? 1 : 0), "\n";
print "module $_\n" for @DynaLoader::dl_modules;
print "shared $_\n" for @DynaLoader::dl_shared_objects;
print "file=", __FILE__, "\n";
print "argv=@ARGV\n";
print "data=$_" while <DATA>;
__END__
first line
second line
APP

# The bound directory: what scandeps lists for the app, the setup code, the
# script under its name, and test modules.
my $bound = "$tmp/bound";
my $exe = "$tmp/app";
spew($exe, "not really an executable\n");
spew("$tmp/hello.pl", $app);
{
    open my $list, '-|', $^X, $scandeps, "$tmp/hello.pl" or die "cannot run scandeps: $!";
    my $n = 0;
    while (my $line = <$list>) {
        chomp $line;
        my ($name, $path) = split /\t/, $line, 2;
        copy($path, "$bound/$name") or (make_path(dirname("$bound/$name")) && copy($path, "$bound/$name"))
            or die "cannot copy $path: $!";
        $n++;
    }
    close $list;
    is($?, 0, "scandeps lists the app's needs ($n files)");
}
spew("$bound/*SETUP", slurp($setup));
spew("$bound/*SCRIPTNAME", 'hello.pl');
spew("$bound/hello.pl", $app);
spew("$bound/Broken.pm", "package Broken;\nsub f {\n    return 1;\n\n1;\n");
spew("$bound/Dies.pm", "package Dies;\n\ndie \"refusing to load\\n\";\n1;\n");
spew("$bound/NoSo.pm", "package NoSo;\nrequire XSLoader;\nXSLoader::load('NoSo', '0.01');\n1;\n");
spew("$bound/NoSoDyna.pm", "package NoSoDyna;\nrequire DynaLoader;\nour \@ISA = ('DynaLoader');\nbootstrap NoSoDyna;\n1;\n");
spew("$bound/Where.pm", "package Where;\nsub where { return join ' ', __FILE__, inner(), __LINE__ }\nsub inner { return (caller(0))[1] }\n1;\n");
spew("$bound/DataMod.pm", "package DataMod;\nour \$raw = 'p\0q';\nsub data { local \$/; return scalar <DATA> }\n1;\n__DATA__\nx\0y\n\xff\xfe\n");
{
    require Digest::MD5;
    my $v = $Digest::MD5::VERSION;
    spew("$bound/MD5Dyna.pm", "package Digest::MD5;\nrequire DynaLoader;\nour \@ISA = ('DynaLoader');\n"
        . "our \$VERSION = '$v';\nbootstrap Digest::MD5 \$VERSION;\n1;\n");
}

# Stand-ins for the host functions, as a BEGIN block; entries are the files
# below $dir, the per-process directory is $proc.
sub standins {
    my ($dir, $proc) = @_;
    return <<"PERL";
BEGIN {
    my \$bound = q{$dir};
    my \$proc = q{$proc};
    *main::INC = sub {
        die "Usage: lookup(name)\\n" unless \@_ == 1;
        my \$path = "\$bound/\$_[0]";
        return undef unless -f \$path;
        open(my \$fh, '<:raw', \$path) or return undef;
        local \$/;
        my \$data = <\$fh>;
        \$data = '' unless defined \$data;
        (\$data) = \$data =~ /\\A(.*)\\z/s;
        return \$data;
    };
    *Kovar::exe = sub { q{$exe} };
    *Kovar::get_temp_dir = sub {
        my \$d = (\@_ && \$_[0]) ? "\$proc/" : "\$proc-base/";
        mkdir(\$d, 0700) unless -d \$d;
        return \$d;
    };
    \@Kovar::registered = ();
    *Kovar::dl_reg = sub { push \@Kovar::registered, \$_[0]; return };
    # The host's module source, extension libraries (taken from the bound
    # directory as they are) and data directory.
    *Kovar::_module = sub {
        my (\$root, \$name) = \@_;
        my \$src = main::INC(\$name);
        return unless defined \$src;
        (my \$shown = \$root . \$name) =~ tr/"\\n\\r/???/;
        if (\$name eq 'DynaLoader.pm') {
            \$src =~ s/^__END__.*//ms;
            \$src .= "\\n;{ local \\\$^W = 0; *DynaLoader::bootstrap = \\\$Kovar::_bootstrap }\\n1;\\n";
        }
        \$INC{\$name} = \$shown;
        return ("#line 1 \\"\$shown\\"\\n\$src", \$src =~ /^__DATA__/m ? 1 : 0);
    };
    *Kovar::_library = sub {
        my (\$module, \$at, \$again, \@dirs) = \@_;
        (my \$m = \$module) =~ s/(?:::)+\\z//;
        die "Usage: XSLoader::load(module)\$at" unless length \$m;
        my \@parts = split /::/, \$m;
        my \$entry = join('/', 'auto', \@parts, \$parts[-1]) . '.so';
        (my \$boot = "boot_\$m") =~ tr/a-zA-Z0-9_/_/c;
        for my \$dir (\$bound, \@dirs) {
            return ("\$dir/\$entry", \$boot) if -f "\$dir/\$entry";
        }
        die "Can't locate loadable object for module \$module in the bound archive (no entry \$entry)\$at";
    };
    *Kovar::_data_dir = sub { \$ENV{KV_TEST_DATA_DIR} };
}
PERL
}

# Runs CODE as the bound script named hello.pl; returns (status, stdout, stderr).
my $runs = 0;
sub run_bound {
    my (%o) = @_;
    my $dir = $o{bound} // $bound;
    my $proc = $o{proc} // ("$tmp/proc" . ++$runs);
    my @cmd = ($^X, @{ $o{switches} // [] },
        '-e', standins($dir, $proc),
        '-e', q{BEGIN { eval INC('*SETUP'); die $@ if $@ }},
        '-e', '#line 1 "hello.pl"',
        '-e', $o{code}, @{ $o{args} // [] });
    my $out = "$tmp/out.txt";
    my $err = "$tmp/err.txt";
    open my $saved_out, '>&', \*STDOUT or die;
    open my $saved_err, '>&', \*STDERR or die;
    open STDOUT, '>', $out or die;
    open STDERR, '>', $err or die;
    system { $cmd[0] } @cmd;
    my $status = $?;
    open STDOUT, '>&', $saved_out or die;
    open STDERR, '>&', $saved_err or die;
    return ($status, slurp($out), slurp($err));
}

my $sys_util = do { require List::Util; $INC{'List/Util.pm'} };
(my $sys_root = $sys_util) =~ s{/List/Util\.pm$}{};

# The app with its modules, only from the bound directory.
{
    my $proc = "$tmp/proc-main";
    my ($status, $out, $err) = run_bound(code => $app, proc => $proc, args => ['one', 'two']);
    is($status, 0, 'app runs') or diag($err);
    is($err, '', 'nothing on stderr');
    like($out, qr/^sum=55$/m, 'List::Util works');
    like($out, qr/^floor=-3$/m, 'POSIX works');
    like($out, qr/^dumper=\$VAR1 = \{'a' => 1,'b' => \[2\]\};$/m, 'Data::Dumper works');
    like($out, qr/^json=\{"a":null,"k":\[1,"x"\]\}$/m, 'JSON::PP works');
    like($out, qr/^md5=900150983cd24fb0d6963f7d28e17f72$/m, 'Digest::MD5 works');
    like($out, qr/^storable=42$/m, 'Storable works');
    like($out, qr/^inc_count=1 inc0=CODE$/m, '@INC holds only the hook');
    like($out, qr/^file=hello\.pl$/m, 'the script keeps its own name');
    like($out, qr/^argv=one two$/m, 'arguments reach the script');
    like($out, qr/^data=first line\ndata=second line\n/m, "the script's __END__ section is readable through DATA");

    my %inc = $out =~ /^INC (\S+)\t(.*)$/mg;
    ok(exists $inc{$_}, "$_ loaded") for qw(strict.pm warnings.pm List/Util.pm POSIX.pm Data/Dumper.pm
        JSON/PP.pm Digest/MD5.pm Storable.pm XSLoader.pm);
    ok(!exists $inc{$_}, "$_ not loaded: nothing here asks for it") for qw(DynaLoader.pm Config.pm vars.pm);
    my @foreign = grep { $inc{$_} ne "$exe/$_" } sort keys %inc;
    is_deeply(\@foreign, [], '%INC names every module below the executable\'s path');

    my @modules = $out =~ /^module (\S+)$/mg;
    for my $m (qw(List::Util POSIX Data::Dumper Digest::MD5 Storable)) {
        ok((grep { $_ eq $m } @modules), "$m booted through the loader");
    }
    my ($librefs, $registered) = $out =~ /^librefs=(\d+) registered=(\d+)$/m;
    ok($librefs >= 5, "libraries recorded ($librefs)");
    is($registered, $librefs, 'every library handle is handed to dl_reg');
    like($out, qr/^same_handles=1$/m, 'dl_reg receives the handles that DynaLoader records');

    my @shared = $out =~ /^shared (.*)$/mg;
    ok((grep { $_ eq "$bound/auto/List/Util/Util.so" } @shared), 'libraries are loaded from where the host put them');
}

# Modules that fail, and the names they report.
{
    my ($status, $out, $err) = run_bound(code => <<'CODE');
for my $m (qw(Broken Dies NoSo NoSoDyna Missing::Module)) {
    eval "require $m; 1" and next;
    (my $e = $@) =~ s/\n(?!\z)/ | /g;
    print "$m: $e";
}
require Where;
print "where=", Where::where(), "\n";
require DataMod;
print "raw=", join(',', map { ord } split //, $DataMod::raw), "\n";
print "data=", join(',', map { ord } split //, DataMod::data()), "\n";
CODE
    is($status, 0, 'failure cases run') or diag($err);
    like($out, qr/^Broken: .*at \Q$exe\E\/Broken\.pm line \d+.*Compilation failed in require/m,
        'a compile error names the bound file');
    like($out, qr/^Dies: refusing to load \| Compilation failed in require at \(eval \d+\) line 1\.$/m,
        'a module that dies reports its own message');
    like($out, qr/^NoSo: Can't locate loadable object for module NoSo in the bound archive \(no entry auto\/NoSo\/NoSo\.so\) at \Q$exe\E\/NoSo\.pm line 3\./m,
        'XSLoader::load without a bound library');
    like($out, qr/^NoSoDyna: Can't locate loadable object for module NoSoDyna in the bound archive \(no entry auto\/NoSoDyna\/NoSoDyna\.so\) at \Q$exe\E\/NoSoDyna\.pm line 4\./m,
        'DynaLoader::bootstrap without a bound library');
    like($out, qr/^Missing::Module: Can't locate Missing\/Module\.pm in \@INC/m, 'a module that is not bound is not found');
    like($out, qr/^where=\Q$exe\E\/Where\.pm \Q$exe\E\/Where\.pm 2$/m, '__FILE__ and caller name the bound file');
    like($out, qr/^raw=112,0,113$/m, 'a NUL byte in module source survives');
    like($out, qr/^data=120,0,121,10,255,254,10$/m, "a module's __DATA__ section is read byte for byte");
}

# DynaLoader-style modules boot through the same loader.
{
    my ($status, $out, $err) = run_bound(code => 'require MD5Dyna; print Digest::MD5::md5_hex("abc"), " @DynaLoader::dl_modules\n";');
    is($status, 0, 'bootstrap through @ISA') or diag($err);
    like($out, qr/^900150983cd24fb0d6963f7d28e17f72 .*\bDigest::MD5\b/, 'DynaLoader::bootstrap loads the bound library');
}

# Taint mode and -w: the setup code runs clean.
{
    my ($status, $out, $err) = run_bound(code => $app, switches => ['-T']);
    is($status, 0, 'app runs in taint mode') or diag($err);
    like($out, qr/^md5=900150983cd24fb0d6963f7d28e17f72$/m, 'XS modules load in taint mode');
    ($status, $out, $err) = run_bound(code => 'use List::Util; require MD5Dyna; print "ok\n";', switches => ['-w']);
    is($status, 0, 'runs under -w');
    is($err, '', 'the setup code causes no warnings under -w');
}

# A __DATA__ section belongs to the package in force where it starts.
{
    my $code = "package Foo::Bar;\nprint \"data=\$_\" while <Foo::Bar::DATA>;\n__DATA__\npackaged\n";
    my $pkg = "$tmp/bound-pkg";
    system('cp', '-a', $bound, $pkg) == 0 or die 'cp failed';
    spew("$pkg/hello.pl", $code);
    my ($status, $out, $err) = run_bound(code => $code, bound => $pkg);
    is($status, 0, 'script with a packaged __DATA__ section runs') or diag($err);
    is($out, "data=packaged\n", '__DATA__ is read through the package\'s DATA handle');
}

# System library paths: dropped by default, kept after the hook with
# "*KEEPSYSLIB".
{
    my $code = 'print ref($INC[0]), " ", scalar(@INC), "\n"; require Text::Abbrev; print "$INC{q{Text/Abbrev.pm}}\n"; '
             . 'require List::Util; print "$INC{q{List/Util.pm}}\n";';
    my ($status, $out, $err) = run_bound(code => $code);
    isnt($status, 0, 'an unbound module is not found by default');
    like($err, qr/^Can't locate Text\/Abbrev\.pm in \@INC/m, 'with the usual message');

    my $keep = "$tmp/bound-keep";
    system('cp', '-a', $bound, $keep) == 0 or die 'cp failed';
    spew("$keep/*KEEPSYSLIB", '');
    ($status, $out, $err) = run_bound(code => $code, bound => $keep);
    is($status, 0, 'with *KEEPSYSLIB the system paths stay') or diag($err);
    my ($first, $text_abbrev, $list_util) = split /\n/, $out;
    like($first, qr/^CODE \d+$/, 'the hook stays first');
    ok($first =~ /(\d+)$/ && $1 > 1, 'system paths follow it');
    like($text_abbrev, qr/^\/.*\/Text\/Abbrev\.pm$/, 'an unbound module comes from the system');
    is($list_util, "$exe/List/Util.pm", 'a bound module still comes from the archive');
}

done_testing();
