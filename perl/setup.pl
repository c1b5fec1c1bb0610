# Setup code of a packed program. The host evaluates this text in package
# main, inside a BEGIN block, before it compiles the bound script. It makes
# `require`, `use` and `do FILE` read modules out of the bound archive
# (through INC), and loads extension libraries out of it.
#
# The whole text is compiled before any of it runs, while @INC still holds
# only the interpreter's compiled-in paths, which need not exist on the
# machine that runs the program. So it uses no module itself: no `use`, no
# `no`, no `require` of anything but the bound DynaLoader.pm, which is
# loaded through the hook below once it is in place.

{
    local $^W = 0;

    # Bound files get names below the executable's path, e.g.
    # "/home/u/hello/List/Util.pm": what messages, __FILE__, caller and %INC
    # show. The executable is a file, so these names never collide with real
    # files on disk.
    my $exe = defined &Kovar::exe ? Kovar::exe() : undef;
    $exe = $0 unless defined $exe && length $exe;
    my $root = $exe . '/';

    # A #line directive cannot carry a double quote or a line break.
    my $display = sub {
        my $name = $root . $_[0];
        $name =~ tr/"\n\r/???/;
        return $name;
    };

    my $keep_system_lib = defined INC('*KEEPSYSLIB');

    # In-memory filehandles need PerlIO::scalar, an extension that is itself
    # loaded through the hook and the loader below; look for it only when a
    # source really needs a handle.
    my $scalar_io;
    my $have_scalar_io = sub {
        unless (defined $scalar_io) {
            my $probe = '';
            $scalar_io = eval { open(my $fh, '<', \$probe) } ? 1 : 0;
        }
        return $scalar_io;
    };

    my $hook = sub {
        my (undef, $name) = @_;
        return unless defined $name;
        my $src = INC($name);
        return unless defined $src;
        my $file = $display->($name);
        $INC{$name} = $file;
        my $prefix = "#line 1 \"$file\"\n";
        # A module's __DATA__ section is read through the handle the source
        # came from, so such a module needs a real (in-memory) handle. All
        # others go through a generator, which needs no extension at all.
        if ($src =~ /^__DATA__\b/m && $have_scalar_io->()) {
            my $copy = $src;
            if (open(my $fh, '<', \$copy)) {
                binmode $fh;
                return (\$prefix, $fh);
            }
        }
        my $done = 0;
        return (\$prefix, sub {
            return 0 if $done++;
            $_ = $src;
            return 1;
        });
    };

    # Only the hook, unless the program was packed to also use the modules
    # installed on the machine that runs it. A program started as perl
    # (through $^X) keeps, in front of the hook, the directories that its
    # caller gave (-I, PERL5LIB, PERL5OPT): perl puts them before its
    # compiled-in directories, which the host names when there can be any.
    my ($as_perl, @system) = defined &Kovar::_as_perl ? Kovar::_as_perl() : ();
    my @caller_inc;
    if (@system) {
        my $n = @INC - @system;
        if ($n >= 0 && join("\0", @INC[$n .. $#INC]) eq join("\0", @system)) {
            @caller_inc = @INC[0 .. $n - 1];
        } else {
            my %compiled = map { $_ => 1 } @system;
            @caller_inc = grep { !$compiled{$_} } @INC;
        }
    } else {
        @system = @INC;
    }
    @INC = (@caller_inc, $hook, $keep_system_lib ? (grep { !ref || $_ != $hook } @system) : ());

    # Extension libraries.
    my $fail = sub {
        my ($message, $file, $line) = @_;
        die "$message at $file line $line.\n";
    };

    my $write_file = sub {
        my ($path, $bytes) = @_;
        # Never write through whatever already lies at the path (a stale
        # copy, or a link planted there): remove it and create a new file.
        unlink $path;
        my $fh;
        if (defined &Fcntl::O_EXCL) {
            sysopen($fh, $path, Fcntl::O_WRONLY() | Fcntl::O_CREAT() | Fcntl::O_EXCL(), 0700)
                or return "can't create '$path': $!";
        } else {
            return "can't create '$path': it exists and cannot be removed" if -e $path || -l $path;
            open($fh, '>', $path) or return "can't create '$path': $!";
        }
        binmode $fh;
        my $ok = print {$fh} $bytes;
        my $err = $ok ? '' : "$!";
        unless (close $fh) {
            $ok = 0;
            $err ||= "$!";
        }
        unless ($ok) {
            unlink $path;
            return "can't write '$path': $err";
        }
        return undef;
    };

    # Writes the bound object named $entry into the per-process directory,
    # keeping its path below auto/, and returns the file's path.
    my $extract = sub {
        my ($entry, $bytes) = @_;
        my $dir = Kovar::get_temp_dir(1);
        my @parts = split m{/}, $entry;
        pop @parts;
        my $d = $dir;
        for my $part (@parts) {
            $d .= $part . '/';
            next if -d $d;
            mkdir($d, 0700) or -d $d or return (undef, "can't create directory '$d': $!");
        }
        my $path = $dir . $entry;
        my $err = $write_file->($path, $bytes);
        return defined $err ? (undef, $err) : ($path, undef);
    };

    # Loads the extension library of $module and calls its boot function
    # with @args, as DynaLoader::bootstrap does, but takes the library from
    # the archive: auto/Foo/Bar/Bar.so for Foo::Bar.
    my $load = sub {
        my ($module, $file, $line, @args) = @_;
        $fail->("Usage: XSLoader::load(module)", $file, $line) unless defined $module && length $module;
        $fail->("Can't load module $module, the dynamic loader is not available", $file, $line)
            unless defined &DynaLoader::dl_load_file;

        my @modparts = split /::/, $module;
        my $modfname = $modparts[-1];
        $modfname = DynaLoader::mod2fname(\@modparts) if defined &DynaLoader::mod2fname;
        my $modpname = join '/', @modparts;
        my $dlext = $DynaLoader::dl_dlext || 'so';
        my $entry = "auto/$modpname/$modfname.$dlext";

        my $path;
        my $bytes = INC($entry);
        if (defined $bytes) {
            my $err;
            ($path, $err) = $extract->($entry, $bytes);
            $fail->("Can't load module $module: $err", $file, $line) unless defined $path;
        } elsif ($keep_system_lib) {
            for my $dir (@INC) {
                next if ref $dir;
                if (-f "$dir/$entry") {
                    $path = "$dir/$entry";
                    last;
                }
            }
        }
        $fail->("Can't locate loadable object for module $module in the bound archive (no entry $entry)",
                $file, $line) unless defined $path;

        my $bootname = "boot_$module";
        $bootname =~ s/\W/_/g;
        @DynaLoader::dl_require_symbols = ($bootname);

        my $flags = $module->can('dl_load_flags') ? $module->dl_load_flags : 0;
        my $libref = DynaLoader::dl_load_file($path, $flags)
            or $fail->("Can't load '$path' for module $module: " . DynaLoader::dl_error(), $file, $line);
        Kovar::dl_reg($libref) if defined &Kovar::dl_reg;
        push @DynaLoader::dl_librefs, $libref;

        my $symref = DynaLoader::dl_find_symbol($libref, $bootname)
            or $fail->("Can't find '$bootname' symbol in $path", $file, $line);
        push @DynaLoader::dl_modules, $module;
        my $xs = DynaLoader::dl_install_xsub("${module}::bootstrap", $symref, $path);
        push @DynaLoader::dl_shared_objects, $path;
        return &$xs(@args);
    };

    # XSLoader is replaced as a whole: its own file would look for the
    # library beside the module's file, which does not exist.
    $XSLoader::VERSION = '0.31';
    $INC{'XSLoader.pm'} = $display->('XSLoader.pm');
    *XSLoader::load = sub {
        my ($caller, $file, $line) = caller;
        my $module = @_ ? $_[0] : $caller;
        my @args = @_ ? @_ : ($module);
        # An extension that is linked into the interpreter is booted in place.
        my $boots = "${module}::bootstrap";
        return &$boots(@args) if defined &$boots;
        return $load->($module, $file, $line, @args);
    };
    *XSLoader::bootstrap_inherit = sub {
        my (undef, $file, $line) = caller;
        return $load->($_[0], $file, $line, @_);
    };

    # DynaLoader.pm comes from the archive; it boots the dynamic loader's
    # primitives (dl_load_file, dl_find_symbol, dl_install_xsub, ...).
    require DynaLoader;
    *DynaLoader::bootstrap = sub {
        my (undef, $file, $line) = caller;
        return $load->($_[0], $file, $line, @_);
    };

    # The script is compiled from memory, so its __END__ or __DATA__ section
    # is not readable through DATA the way a script file's is (the
    # interpreter even points DATA at an empty handle when it meets the
    # marker). Once the script is compiled, an INIT block opens DATA on a
    # copy of the text that follows the marker. PerlIO::scalar is loaded
    # now, so that the INIT block compiles nothing a debugger would stop in.
    # Acting as perl, the program runs the caller's script, not the bound one.
    my $script_name = $as_perl ? undef : INC('*SCRIPTNAME');
    my $script = defined $script_name ? INC($script_name) : undef;
    if (defined $script && $script =~ /^__(END|DATA)__\b[^\n]*\n?/mg && $have_scalar_io->()) {
        my $marker = $1;
        my $data = substr($script, pos($script));
        my $handle = 'main::DATA';
        if ($marker eq 'DATA') {
            my $head = substr($script, 0, $-[0]);
            $handle = "$1::DATA" while $head =~ /^\s*package\s+([A-Za-z_][\w:]*)\s*[;{]/mg;
        }
        $Kovar::_script_data = [$handle, $data];
        eval q{
            INIT {
                my ($handle, $data) = @{$Kovar::_script_data};
                undef $Kovar::_script_data;
                open($handle, '<', \$data);
            }
            1;
        } or die $@;
    }
}
