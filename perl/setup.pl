# Setup code of a packed program. The host evaluates this text in package
# main, inside a BEGIN block, before it compiles the bound script. It makes
# `require`, `use` and `do FILE` read modules out of the bound archive
# (through INC), and loads extension libraries out of it.
#
# The whole text is compiled before any of it runs, while @INC still holds
# only the interpreter's compiled-in paths, which need not exist on the
# machine that runs the program. So it uses no module itself: no `use`, no
# `no`, no `require`. It loads no module either, so that a program starts
# with what plain perl would load for its script and nothing more, and it is
# compiled at every start: what only some programs need (a script's DATA
# section, a script that loads DynaLoader.pm) is compiled only when needed.

{
    local $^W = 0;

    # Bound files get names below the executable's path, e.g.
    # "/home/u/hello/List/Util.pm": what messages, __FILE__, caller and %INC
    # show. The executable is a file, so these names never collide with real
    # files on disk. A #line directive cannot carry a double quote or a
    # line break.
    my $root = defined &Kovar::exe ? Kovar::exe() : undef;
    $root = $0 unless defined $root && length $root;
    $root .= '/';
    $root =~ tr/"\n\r/???/;

    my $keep_system_lib = defined INC('*KEEPSYSLIB');

    # In-memory filehandles need PerlIO::scalar, an extension that is itself
    # loaded through the hook and the loader below; look for it only when a
    # source really needs a handle.
    my $scalar_io;
    my $have_scalar_io = sub {
        $scalar_io = eval { open(my $fh, '<', \my $probe) } ? 1 : 0 unless defined $scalar_io;
        return $scalar_io;
    };

    # The hook: Kovar::_module hands over the module's text with a #line
    # directive that names it, and records that name in %INC. A module's
    # __DATA__ section is read through the handle the source came from, so
    # such a module needs a real (in-memory) handle; all others are handed
    # over as text, which needs no extension at all.
    my $hook = sub {
        my ($src, $data) = Kovar::_module($root, $_[1]) or return;
        return \$src unless $data && $have_scalar_io->() && open(my $fh, '<', \$src);
        binmode $fh;
        return $fh;
    };

    # The data files that modules look for in the directories of @INC
    # (ExtUtils/typemap, Encode/*.e2x, ...) lie in a directory on disk,
    # which comes after the hook. Only the hook and that directory, unless
    # the program was packed to also use the modules installed on the
    # machine that runs it. A program started as perl (through $^X) keeps,
    # in front of the hook, the directories that its caller gave (-I,
    # PERL5LIB, PERL5OPT): perl puts them before its compiled-in
    # directories, which the host names when there can be any.
    my @data_dirs = grep { defined } Kovar::_data_dir();
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
    @INC = (@caller_inc, $hook, @data_dirs, $keep_system_lib ? (grep { !ref || $_ != $hook } @system) : ());

    # Extension libraries. The interpreter's own loader functions
    # (dl_load_file, dl_find_symbol, dl_install_xsub, dl_error) come from
    # booting DynaLoader, which is linked into the interpreter; DynaLoader.pm
    # and the Config.pm it loads are needed only by scripts that ask for them.
    DynaLoader::boot_DynaLoader('DynaLoader')
        if defined &DynaLoader::boot_DynaLoader && !defined &DynaLoader::dl_error;

    # Loads the extension library of $module (the first of @args) and calls
    # its boot function with @args, as DynaLoader::bootstrap does, but takes
    # the library from the archive (Kovar::_library writes it out once). $at
    # (" at FILE line N.\n") ends the messages.
    my $load = sub {
        my ($at, @args) = @_;
        my $module = $args[0];
        my @dirs = $keep_system_lib ? grep { !ref } @INC : ();
        my ($path, $bootname) = Kovar::_library($module, $at, 0, @dirs);
        my $flags = $module->can('dl_load_flags') ? $module->dl_load_flags : 0;
        # A library that an earlier start left and that the loader refuses
        # (damaged since) is written again from the archive, once.
        my $libref = DynaLoader::dl_load_file($path, $flags)
            || (($path) = Kovar::_library($module, $at, 1, @dirs)) && DynaLoader::dl_load_file($path, $flags)
            or die "Can't load '$path' for module $module: " . DynaLoader::dl_error() . $at;
        Kovar::dl_reg($libref);
        push @DynaLoader::dl_librefs, $libref;
        my $symref = DynaLoader::dl_find_symbol($libref, $bootname) or die "Can't find '$bootname' symbol in $path$at";
        push @DynaLoader::dl_modules, $module;
        my $xs = DynaLoader::dl_install_xsub("${module}::bootstrap", $symref, $path);
        push @DynaLoader::dl_shared_objects, $path;
        return &$xs(@args);
    };

    # XSLoader is replaced as a whole: its own file would look for the
    # library beside the module's file, which does not exist.
    $XSLoader::VERSION = '0.31';
    ($INC{'XSLoader.pm'} = $root . 'XSLoader.pm') =~ tr/"\n\r/???/;
    *XSLoader::load = sub {
        my @args = @_ ? @_ : (scalar caller);
        # An extension that is linked into the interpreter is booted in place.
        my $boots = "$args[0]::bootstrap";
        return &$boots(@args) if defined &$boots;
        return $load->(sprintf(" at %s line %d.\n", (caller)[1, 2]), @args);
    };
    *XSLoader::bootstrap_inherit = $Kovar::_bootstrap = sub {
        return $load->(sprintf(" at %s line %d.\n", (caller)[1, 2]), @_);
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
    if (defined $script && (index($script, "__END__") >= 0 || index($script, "__DATA__") >= 0)
        && $have_scalar_io->()) {
        $Kovar::_script_data = $script;
        eval <<'SCRIPT_DATA' or die $@;
        my $script = $Kovar::_script_data;
        undef $Kovar::_script_data;
        if ($script =~ /^__(END|DATA)__\b[^\n]*\n?/mg) {
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
        1;
SCRIPT_DATA
    }
}
