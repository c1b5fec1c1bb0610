// The API table: every interpreter entry point the host calls, resolved by
// name from the loaded runtime library. The host is never linked against the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv_layout.h"
#include "src/launcher/session.h"

// Opaque interpreter types.
struct KvSV;
struct KvAV;
struct KvHV;
struct KvGV;
struct KvCV;
struct KvXPV;
struct KvStackInfo;
struct KvJmpEnv;

using KvIV = int64_t;
using KvStrLen = size_t;
using KvI32 = int32_t;
using KvSSize = ptrdiff_t;
using KvXsub = void (*)(KvInterp*, KvCV*);
using KvMark = int32_t;

static_assert(KV_SIZEOF_IV == sizeof(KvIV), "IV size differs from the embedded Perl");
static_assert(KV_SIZEOF_STRLEN == sizeof(KvStrLen), "STRLEN size differs from the embedded Perl");
static_assert(KV_SIZEOF_MARK == sizeof(KvMark), "mark size differs from the embedded Perl");
static_assert(KV_SIZEOF_TMPS_IX == sizeof(KvSSize), "temporaries index size differs from the embedded Perl");
static_assert(KV_SIZEOF_SCOPESTACK_IX == sizeof(KvI32), "scope index size differs from the embedded Perl");

// X(name, return type, parameter list, required)
#define KV_API_SLOTS(X)                                                                   \
    X(Perl_Iendav_ptr, KvAV**, (KvInterp*), 1)                                            \
    X(Perl_Ierrgv_ptr, KvGV**, (KvInterp*), 1)                                            \
    X(Perl_Iperl_destruct_level_ptr, signed char*, (KvInterp*), 1)                        \
    X(Perl_Istatusvalue_ptr, KvI32*, (KvInterp*), 1)                                      \
    X(Perl_Isv_no_ptr, KvSV*, (KvInterp*), 1)                                             \
    X(Perl_Isv_undef_ptr, KvSV*, (KvInterp*), 1)                                          \
    X(Perl_Isv_yes_ptr, KvSV*, (KvInterp*), 1)                                            \
    X(Perl_TSv_ptr, KvSV**, (KvInterp*), 1)                                               \
    X(Perl_TXpv_ptr, KvXPV**, (KvInterp*), 1)                                             \
    X(Perl_Tcurstackinfo_ptr, KvStackInfo**, (KvInterp*), 1)                              \
    X(Perl_Tcurstash_ptr, KvHV**, (KvInterp*), 1)                                         \
    X(Perl_Tdefstash_ptr, KvHV**, (KvInterp*), 1)                                         \
    X(Perl_Tmarkstack_max_ptr, KvMark**, (KvInterp*), 1)                                  \
    X(Perl_Tmarkstack_ptr_ptr, KvMark**, (KvInterp*), 1)                                  \
    X(Perl_Tscopestack_ix_ptr, KvI32*, (KvInterp*), 1)                                    \
    X(Perl_Tstack_base_ptr, KvSV***, (KvInterp*), 1)                                      \
    X(Perl_Tstack_max_ptr, KvSV***, (KvInterp*), 1)                                       \
    X(Perl_Tstack_sp_ptr, KvSV***, (KvInterp*), 1)                                        \
    X(Perl_Ttmps_floor_ptr, KvSSize*, (KvInterp*), 1)                                     \
    X(Perl_Ttmps_ix_ptr, KvSSize*, (KvInterp*), 1)                                        \
    X(Perl_Ttop_env_ptr, KvJmpEnv**, (KvInterp*), 1)                                      \
    X(Perl_call_list, void, (KvInterp*, KvI32, KvAV*), 1)                                 \
    X(Perl_call_pv, KvI32, (KvInterp*, const char*, KvI32), 1)                            \
    X(Perl_call_sv, KvI32, (KvInterp*, KvSV*, KvI32), 1)                                  \
    X(Perl_croak_nocontext, void, (const char*, ...), 1)                                  \
    X(Perl_free_tmps, void, (KvInterp*), 1)                                               \
    X(Perl_get_context, void*, (void), 1)                                                 \
    X(Perl_get_cv, KvCV*, (KvInterp*, const char*, KvI32), 1)                             \
    X(Perl_get_hv, KvHV*, (KvInterp*, const char*, KvI32), 1)                             \
    X(Perl_get_sv, KvSV*, (KvInterp*, const char*, KvI32), 1)                             \
    X(Perl_gv_fetchpv, KvGV*, (KvInterp*, const char*, KvI32, int), 1)                    \
    X(Perl_gv_stashpv, KvHV*, (KvInterp*, const char*, KvI32), 1)                         \
    X(Perl_hv_store, KvSV**, (KvInterp*, KvHV*, const char*, KvI32, KvSV*, uint32_t), 1)  \
    X(Perl_markstack_grow, KvMark*, (KvInterp*), 1)                                       \
    X(Perl_newCONSTSUB, KvCV*, (KvInterp*, KvHV*, const char*, KvSV*), 1)                 \
    X(Perl_newSV, KvSV*, (KvInterp*, KvStrLen), 1)                                        \
    X(Perl_newSViv, KvSV*, (KvInterp*, KvIV), 1)                                          \
    X(Perl_newSVpv, KvSV*, (KvInterp*, const char*, KvStrLen), 1)                         \
    X(Perl_newSVsv, KvSV*, (KvInterp*, KvSV*), 1)                                         \
    X(Perl_newXS, KvCV*, (KvInterp*, const char*, KvXsub, const char*), 1)                \
    X(Perl_pop_scope, void, (KvInterp*), 1)                                               \
    X(Perl_push_scope, void, (KvInterp*), 1)                                              \
    X(Perl_save_int, void, (KvInterp*, int*), 1)                                          \
    X(Perl_set_context, void, (void*), 1)                                                 \
    X(Perl_stack_grow, KvSV**, (KvInterp*, KvSV**, KvSV**, KvSSize), 1)                   \
    X(Perl_sv_2bool, bool, (KvInterp*, KvSV*), 1)                                         \
    X(Perl_sv_2iv, KvIV, (KvInterp*, KvSV*), 1)                                           \
    X(Perl_sv_2mortal, KvSV*, (KvInterp*, KvSV*), 1)                                      \
    X(Perl_sv_2pv, char*, (KvInterp*, KvSV*, KvStrLen*), 0)                               \
    X(Perl_sv_2pv_nolen, char*, (KvInterp*, KvSV*), 1)                                    \
    X(Perl_sv_catsv, void, (KvInterp*, KvSV*, KvSV*), 0)                                  \
    X(Perl_sv_free, void, (KvInterp*, KvSV*), 1)                                          \
    X(Perl_sv_grow, char*, (KvInterp*, KvSV*, KvStrLen), 1)                               \
    X(Perl_sv_setiv, void, (KvInterp*, KvSV*, KvIV), 1)                                   \
    X(Perl_sv_setpv, void, (KvInterp*, KvSV*, const char*), 1)                            \
    X(Perl_warn_nocontext, void, (const char*, ...), 1)                                   \
    X(Perl_win32_init, void, (int*, char***), 1)                                          \
    X(boot_DynaLoader, void, (KvInterp*, KvCV*), 1)                                       \
    X(perl_alloc, KvInterp*, (void), 1)                                                   \
    X(perl_construct, void, (KvInterp*), 1)                                               \
    X(perl_destruct, int, (KvInterp*), 1)                                                 \
    X(perl_free, void, (KvInterp*), 1)                                                    \
    X(perl_parse, int, (KvInterp*, KvXsInit, int, char**, char**), 1)                     \
    X(perl_run, int, (KvInterp*), 1)                                                      \
    X(Perl_sv_catsv_flags, void, (KvInterp*, KvSV*, KvSV*, KvI32), 0)                     \
    X(Perl_sv_2pv_flags, char*, (KvInterp*, KvSV*, KvStrLen*, uint32_t), 0)               \
    X(Perl_sv_usepvn_flags, void, (KvInterp*, KvSV*, char*, KvStrLen, uint32_t), 0)

struct PerlApi {
#define KV_API_FIELD(name, ret, params, required) ret(*name) params;
    KV_API_SLOTS(KV_API_FIELD)
#undef KV_API_FIELD
};

constexpr int KV_API_SLOT_COUNT = 67;

// The process-wide table. Host code calls through it while an interpreter
// runs, so it is only ever replaced as a whole by a complete table of a
// runtime library for the embedded Perl.
extern PerlApi api;

// Name of the exported function that tells which Perl a runtime library serves.
constexpr const char* KV_RUNTIME_ABI_SYMBOL = "kovar_runtime_abi";

// Fills every slot of `table` by name from the library, null where the
// library lacks the name; 1 when the table is complete.
int resolve_api_table(void* library, PerlApi* table);

// True when the library says it is a runtime library for the embedded Perl.
bool runtime_stamp_matches(void* library);

// Why resolve_api left the process-wide table as it was.
enum class ApiRefusal { none, incomplete, other_perl };

// Replaces the process-wide table by the library's when that is complete and
// the library's stamp matches: 1 then. Otherwise 0, the table unchanged and
// the reason in *why when given.
int resolve_api(void* library, ApiRefusal* why = nullptr);

// Name and required flag of slot i, in resolution order; its value in `table`.
const char* api_slot_name(int i);
bool api_slot_required(int i);
void* api_slot_value(int i, const PerlApi* table = &api);

void sv_catsv_compat(KvInterp* interp, KvSV* destination, KvSV* source);
char* sv_2pv_compat(KvInterp* interp, KvSV* value, KvStrLen* length_out);
