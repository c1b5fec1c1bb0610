// Small helpers for calling into an interpreter through the API table: the
// stack and mark conventions of extension functions, scope and temporaries,
// calls of script subs, jump frames, truth and strings.
//
// Everything here is plain data and free functions: these run inside frames
// that the interpreter may leave with a long jump.
#pragma once

#include <cstring>

#include "src/binding/api.h"

// ---- current interpreter ----------------------------------------------------
// Before any interpreter exists the runtime's context key does not exist
// either; these treat that state as "no current interpreter".
void* kv_get_context();
void kv_set_context(void* context);
void kv_note_interpreter_created();

// ---- value layout -------------------------------------------------------------
inline uint32_t kv_sv_flags(const KvSV* sv) {
    uint32_t f;
    memcpy(&f, reinterpret_cast<const char*>(sv) + KV_SV_FLAGS, sizeof f);
    return f;
}
inline void kv_sv_set_flags(KvSV* sv, uint32_t f) { memcpy(reinterpret_cast<char*>(sv) + KV_SV_FLAGS, &f, sizeof f); }
inline char* kv_sv_any(const KvSV* sv) {
    char* p;
    memcpy(&p, reinterpret_cast<const char*>(sv) + KV_SV_ANY, sizeof p);
    return p;
}
inline char* kv_sv_pvx(const KvSV* sv) {
    char* p;
    memcpy(&p, reinterpret_cast<const char*>(sv) + KV_SV_U, sizeof p);
    return p;
}
inline KvStrLen kv_sv_cur(const KvSV* sv) {
    KvStrLen n;
    memcpy(&n, kv_sv_any(sv) + KV_XPV_CUR, sizeof n);
    return n;
}
inline void kv_sv_set_cur(KvSV* sv, KvStrLen n) { memcpy(kv_sv_any(sv) + KV_XPV_CUR, &n, sizeof n); }
// The string buffer's allocated size (SvLEN).
inline void kv_sv_set_len(KvSV* sv, KvStrLen n) { memcpy(kv_sv_any(sv) + KV_XPV_LEN, &n, sizeof n); }
inline KvIV kv_sv_ivx(const KvSV* sv) {
    KvIV v;
    memcpy(&v, kv_sv_any(sv) + KV_XPVIV_IV, sizeof v);
    return v;
}
inline double kv_sv_nvx(const KvSV* sv) {
    double v;
    memcpy(&v, kv_sv_any(sv) + KV_XPVNV_NV, sizeof v);
    return v;
}
// SvREFCNT_inc: one more reference to the value.
inline void kv_sv_refcnt_inc(KvSV* sv) {
    uint32_t n;
    memcpy(&n, reinterpret_cast<const char*>(sv) + KV_SV_REFCNT, sizeof n);
    n++;
    memcpy(reinterpret_cast<char*>(sv) + KV_SV_REFCNT, &n, sizeof n);
}
inline bool kv_sv_iok(const KvSV* sv) { return kv_sv_flags(sv) & KV_SVf_IOK; }
inline bool kv_sv_pok(const KvSV* sv) { return kv_sv_flags(sv) & KV_SVf_POK; }
inline bool kv_sv_nok(const KvSV* sv) { return kv_sv_flags(sv) & KV_SVf_NOK; }

// Integer and string values, read directly when valid and converted otherwise.
KvIV kv_sv_iv(KvInterp* interp, KvSV* sv);
const char* kv_sv_pv(KvInterp* interp, KvSV* sv, KvStrLen* length);
bool kv_sv_true(KvInterp* interp, KvSV* sv);

// Marks a fresh value as holding `length` bytes of string (terminated).
void kv_sv_set_string_length(KvSV* sv, KvStrLen length);

// ---- extension functions --------------------------------------------------------
struct KvXsFrame {
    KvSSize ax;  // index of the first argument, counted from the stack base
    int items;   // number of arguments
};
// Pops the mark and locates the arguments.
KvXsFrame kv_xs_begin(KvInterp* interp);
KvSV* kv_xs_arg(KvInterp* interp, const KvXsFrame& f, int i);
// Stores result i (0-based) at the argument positions; the stack must have room
// (kv_xs_reserve).
void kv_xs_set(KvInterp* interp, const KvXsFrame& f, int i, KvSV* value);
void kv_xs_reserve(KvInterp* interp, const KvXsFrame& f, int count);
// Leaves `count` results on the stack.
void kv_xs_return(KvInterp* interp, const KvXsFrame& f, int count);

// ---- calling script code ------------------------------------------------------------
// ENTER and SAVETMPS: opens a scope and makes the temporaries made from now on
// belong to it.
void kv_enter_scope(KvInterp* interp);
// FREETMPS and LEAVE.
void kv_leave_scope(KvInterp* interp);
// PUSHMARK, then pushes the arguments as new mortal strings.
void kv_push_args(KvInterp* interp, const char* const* args, int count);
// PUSHMARK, then pushes the values themselves.
void kv_push_values(KvInterp* interp, KvSV* const* values, int count);
// Calls a named sub with the given flags; returns the number of results left
// on the stack (see kv_pop_result).
KvI32 kv_call_named(KvInterp* interp, const char* name, KvI32 flags);
KvSV* kv_pop_result(KvInterp* interp);

// ---- jump frames ------------------------------------------------------------------------
// Runs fn(arg) with a host jump frame on the interpreter's chain. Returns 0 when
// fn returned normally, or the interpreter's jump code when a jump landed in
// the frame: 2 for exit and for a die that no eval caught (both end the
// program), 3 for a die caught by an eval outside the host's frame. After a
// jump the interpreter has unwound its own scopes; the caller must not leave
// a scope it opened before the call.
int kv_protect(KvInterp* interp, void (*fn)(void*), void* arg);

// The error variable $@ as text (empty when unset).
const char* kv_errsv_text(KvInterp* interp, KvStrLen* length);
