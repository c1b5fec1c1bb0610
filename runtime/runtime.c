/* The Perl runtime library that the host loads: the machine's libperl plus
   the accessors through which host code reaches interpreter variables, the
   platform initialisation entry, and a stamp naming the Perl it serves.
   Everything else the host calls is libperl's own export, reached through
   this library's dependency on it. */
#include <EXTERN.h>
#include <perl.h>

#include "abi_stamp.h"

#define KV_EXPORT __attribute__((visibility("default")))

#define ACCESSOR(name, var, type) \
    KV_EXPORT type* name(pTHX) { return &(var); }

ACCESSOR(Perl_Iendav_ptr, PL_endav, AV*)
ACCESSOR(Perl_Ierrgv_ptr, PL_errgv, GV*)
ACCESSOR(Perl_Iperl_destruct_level_ptr, PL_perl_destruct_level, signed char)
ACCESSOR(Perl_Istatusvalue_ptr, PL_statusvalue, I32)
ACCESSOR(Perl_Isv_no_ptr, PL_sv_no, SV)
ACCESSOR(Perl_Isv_undef_ptr, PL_sv_undef, SV)
ACCESSOR(Perl_Isv_yes_ptr, PL_sv_yes, SV)
ACCESSOR(Perl_TSv_ptr, PL_Sv, SV*)
ACCESSOR(Perl_TXpv_ptr, PL_Xpv, XPV*)
ACCESSOR(Perl_Tcurstackinfo_ptr, PL_curstackinfo, PERL_SI*)
ACCESSOR(Perl_Tcurstash_ptr, PL_curstash, HV*)
ACCESSOR(Perl_Tdefstash_ptr, PL_defstash, HV*)
ACCESSOR(Perl_Tmarkstack_max_ptr, PL_markstack_max, I32*)
ACCESSOR(Perl_Tmarkstack_ptr_ptr, PL_markstack_ptr, I32*)
ACCESSOR(Perl_Tscopestack_ix_ptr, PL_scopestack_ix, I32)
ACCESSOR(Perl_Tstack_base_ptr, PL_stack_base, SV**)
ACCESSOR(Perl_Tstack_max_ptr, PL_stack_max, SV**)
ACCESSOR(Perl_Tstack_sp_ptr, PL_stack_sp, SV**)
ACCESSOR(Perl_Ttmps_floor_ptr, PL_tmps_floor, SSize_t)
ACCESSOR(Perl_Ttmps_ix_ptr, PL_tmps_ix, SSize_t)
ACCESSOR(Perl_Ttop_env_ptr, PL_top_env, JMPENV*)

/* The system initialisation that embedding requires happens once, when the
   library is loaded, and its termination when the library is unloaded. */
static int kv_sys_ready;

static void kv_sys_init(void) {
    if (kv_sys_ready) return;
    static int argc = 1;
    static char arg0[] = "perl";
    static char* argv_store[] = {arg0, NULL};
    static char** argv = argv_store;
    static char* env_store[] = {NULL};
    static char** env = env_store;
    PERL_SYS_INIT3(&argc, &argv, &env);
    kv_sys_ready = 1;
}

__attribute__((constructor)) static void kv_runtime_load(void) { kv_sys_init(); }

__attribute__((destructor)) static void kv_runtime_unload(void) {
    if (kv_sys_ready) {
        PERL_SYS_TERM();
        kv_sys_ready = 0;
    }
}

/* The platform's embedding initialisation; safe to call any number of times. */
KV_EXPORT void Perl_win32_init(int* argcp, char*** argvp) {
    (void)argcp;
    (void)argvp;
    kv_sys_init();
}

/* Names the Perl build this library serves; the host refuses any other. */
KV_EXPORT const char* kovar_runtime_abi(void) {
    static char stamp[256];
    if (!stamp[0]) kv_abi_stamp(stamp, sizeof stamp);
    return stamp;
}
