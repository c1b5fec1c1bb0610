/* A stand-in for the runtime library that exports a chosen subset of the
   names that the host resolves, so that the host's completeness rules and
   version shims can be checked without a real interpreter. One source, built
   several times with these switches:

     KVT_CATSV, KVT_CATSV_FLAGS, KVT_2PV, KVT_2PV_FLAGS (0 or 1)
         export Perl_sv_catsv, Perl_sv_catsv_flags, Perl_sv_2pv, Perl_sv_2pv_flags;
     KVT_ABI  0: no kovar_runtime_abi, 1: the embedded Perl's stamp,
              2: the stamp of another Perl.

   A required name is left out by defining it on the command line as another
   identifier (-DPerl_win32_init=kvt_left_out): the dummy is then compiled
   under that identifier and the name itself is not exported.

   The value functions treat their value arguments as plain text buffers:
   appending copies text, stringifying returns the buffer. */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "fake_runtime.h"
#include "kv_layout.h"

#define KVT_EXPORT __attribute__((visibility("default")))

/* Required names that the tests never call. */
#define KVT_REQUIRED(X)                                                                                       \
    X(Perl_Iendav_ptr) X(Perl_Ierrgv_ptr) X(Perl_Iperl_destruct_level_ptr) X(Perl_Istatusvalue_ptr)           \
    X(Perl_Isv_no_ptr) X(Perl_Isv_undef_ptr) X(Perl_Isv_yes_ptr) X(Perl_TSv_ptr) X(Perl_TXpv_ptr)             \
    X(Perl_Tcurstackinfo_ptr) X(Perl_Tcurstash_ptr) X(Perl_Tdefstash_ptr) X(Perl_Tmarkstack_max_ptr)          \
    X(Perl_Tmarkstack_ptr_ptr) X(Perl_Tscopestack_ix_ptr) X(Perl_Tstack_base_ptr) X(Perl_Tstack_max_ptr)      \
    X(Perl_Tstack_sp_ptr) X(Perl_Ttmps_floor_ptr) X(Perl_Ttmps_ix_ptr) X(Perl_Ttop_env_ptr) X(Perl_call_list) \
    X(Perl_call_pv) X(Perl_call_sv) X(Perl_croak_nocontext) X(Perl_free_tmps) X(Perl_get_context)             \
    X(Perl_get_cv) X(Perl_get_hv) X(Perl_get_sv) X(Perl_gv_fetchpv) X(Perl_gv_stashpv) X(Perl_hv_store)       \
    X(Perl_markstack_grow) X(Perl_newCONSTSUB) X(Perl_newSV) X(Perl_newSViv) X(Perl_newSVpv) X(Perl_newSVsv)  \
    X(Perl_newXS) X(Perl_pop_scope) X(Perl_push_scope) X(Perl_save_int) X(Perl_set_context)                   \
    X(Perl_stack_grow) X(Perl_sv_2bool) X(Perl_sv_2iv) X(Perl_sv_2mortal) X(Perl_sv_2pv_nolen)                \
    X(Perl_sv_free) X(Perl_sv_grow) X(Perl_sv_setiv) X(Perl_sv_setpv) X(Perl_warn_nocontext)                  \
    X(Perl_win32_init) X(boot_DynaLoader) X(perl_alloc) X(perl_construct) X(perl_destruct) X(perl_free)       \
    X(perl_parse) X(perl_run)

#define KVT_DUMMY(name) \
    KVT_EXPORT void name(void) {}
KVT_REQUIRED(KVT_DUMMY)

static struct KvtCalls calls = {0, 0, 0, 0, -1, NULL};

KVT_EXPORT struct KvtCalls* kvt_calls(void) { return &calls; }

#if KVT_CATSV
KVT_EXPORT void Perl_sv_catsv(void* interp, char* destination, const char* source) {
    calls.sv_catsv++;
    calls.last_interp = interp;
    strcat(destination, source);
}
#endif

#if KVT_CATSV_FLAGS
KVT_EXPORT void Perl_sv_catsv_flags(void* interp, char* destination, const char* source, int32_t flags) {
    calls.sv_catsv_flags++;
    calls.last_interp = interp;
    calls.last_flags = flags;
    strcat(destination, source);
}
#endif

#if KVT_2PV
KVT_EXPORT char* Perl_sv_2pv(void* interp, char* value, size_t* length) {
    calls.sv_2pv++;
    calls.last_interp = interp;
    if (length) *length = strlen(value);
    return value;
}
#endif

#if KVT_2PV_FLAGS
KVT_EXPORT char* Perl_sv_2pv_flags(void* interp, char* value, size_t* length, uint32_t flags) {
    calls.sv_2pv_flags++;
    calls.last_interp = interp;
    calls.last_flags = (long)flags;
    if (length) *length = strlen(value);
    return value;
}
#endif

/* Optional for every library: only downloads use it. */
KVT_EXPORT void Perl_sv_usepvn_flags(void* interp, char* value, char* ptr, size_t length, uint32_t flags) {
    (void)interp, (void)value, (void)ptr, (void)length, (void)flags;
}

#if KVT_ABI == 1
KVT_EXPORT const char* kovar_runtime_abi(void) { return KV_PERL_ABI; }
#elif KVT_ABI == 2
KVT_EXPORT const char* kovar_runtime_abi(void) { return KVT_OTHER_PERL_ABI; }
#endif
