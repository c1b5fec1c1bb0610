#include "src/binding/perlcall.h"

#include <setjmp.h>

namespace {

bool g_context_ready = false;

static_assert(sizeof(sigjmp_buf) == KV_SIGJMP_BUF_SIZE, "jump buffer differs from the embedded Perl's");

// The host's jump frame, laid out as the interpreter's own.
struct alignas(KV_JMPENV_ALIGN) HostJumpFrame {
    unsigned char bytes[KV_JMPENV_SIZE];
};

template <class T>
T field(const void* base, size_t offset) {
    T v;
    memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
    return v;
}
template <class T>
void set_field(void* base, size_t offset, T v) {
    memcpy(static_cast<char*>(base) + offset, &v, sizeof v);
}

}  // namespace

void* kv_get_context() { return g_context_ready ? api.Perl_get_context() : nullptr; }
void kv_set_context(void* context) {
    if (g_context_ready) api.Perl_set_context(context);
}
void kv_note_interpreter_created() { g_context_ready = true; }

KvIV kv_sv_iv(KvInterp* interp, KvSV* sv) { return kv_sv_iok(sv) ? kv_sv_ivx(sv) : api.Perl_sv_2iv(interp, sv); }

const char* kv_sv_pv(KvInterp* interp, KvSV* sv, KvStrLen* length) {
    if (kv_sv_pok(sv)) {
        if (length) *length = kv_sv_cur(sv);
        return kv_sv_pvx(sv);
    }
    KvStrLen n = 0;
    const char* p = sv_2pv_compat(interp, sv, &n);
    if (length) *length = n;
    return p;
}

bool kv_sv_true(KvInterp* interp, KvSV* sv) {
    if (!sv) return false;
    if (kv_sv_pok(sv)) {
        KvStrLen n = kv_sv_cur(sv);
        return n > 1 || (n == 1 && kv_sv_pvx(sv)[0] != '0');
    }
    if (kv_sv_iok(sv)) return kv_sv_ivx(sv) != 0;
    if (kv_sv_nok(sv)) return kv_sv_nvx(sv) != 0.0;
    return api.Perl_sv_2bool(interp, sv);
}

void kv_sv_set_string_length(KvSV* sv, KvStrLen length) {
    kv_sv_set_cur(sv, length);
    kv_sv_pvx(sv)[length] = 0;
    kv_sv_set_flags(sv, kv_sv_flags(sv) | KV_SVf_POK | KV_SVp_POK);
}

KvXsFrame kv_xs_begin(KvInterp* interp) {
    KvMark** mark_top = api.Perl_Tmarkstack_ptr_ptr(interp);
    KvMark mark = **mark_top;
    *mark_top -= 1;
    KvSV** base = *api.Perl_Tstack_base_ptr(interp);
    KvSV** sp = *api.Perl_Tstack_sp_ptr(interp);
    KvXsFrame f;
    f.ax = static_cast<KvSSize>(mark) + 1;
    f.items = static_cast<int>(sp - (base + mark));
    return f;
}

KvSV* kv_xs_arg(KvInterp* interp, const KvXsFrame& f, int i) { return (*api.Perl_Tstack_base_ptr(interp))[f.ax + i]; }

void kv_xs_reserve(KvInterp* interp, const KvXsFrame& f, int count) {
    KvSV** base = *api.Perl_Tstack_base_ptr(interp);
    KvSV** max = *api.Perl_Tstack_max_ptr(interp);
    KvSV** want = base + f.ax + count - 1;
    if (want > max) {
        KvSV** sp = *api.Perl_Tstack_sp_ptr(interp);
        api.Perl_stack_grow(interp, sp, sp, want - sp);
    }
}

void kv_xs_set(KvInterp* interp, const KvXsFrame& f, int i, KvSV* value) { (*api.Perl_Tstack_base_ptr(interp))[f.ax + i] = value; }

void kv_xs_return(KvInterp* interp, const KvXsFrame& f, int count) {
    *api.Perl_Tstack_sp_ptr(interp) = *api.Perl_Tstack_base_ptr(interp) + f.ax + count - 1;
}

void kv_enter_scope(KvInterp* interp) {
    api.Perl_push_scope(interp);
    // The temporaries floor is wider than the int that save_int keeps: save
    // each int-sized word of it so that the whole value comes back.
    KvSSize* floor = api.Perl_Ttmps_floor_ptr(interp);
    static_assert(sizeof(KvSSize) % sizeof(int) == 0, "floor is made of whole ints");
    for (size_t w = 0; w < sizeof(KvSSize) / sizeof(int); w++) api.Perl_save_int(interp, reinterpret_cast<int*>(floor) + w);
    *floor = *api.Perl_Ttmps_ix_ptr(interp);
}

void kv_leave_scope(KvInterp* interp) {
    if (*api.Perl_Ttmps_ix_ptr(interp) > *api.Perl_Ttmps_floor_ptr(interp)) api.Perl_free_tmps(interp);
    api.Perl_pop_scope(interp);
}

namespace {
// PUSHMARK, with room for `count` more values; returns the stack pointer.
KvSV** push_mark(KvInterp* interp, int count) {
    KvSV** sp = *api.Perl_Tstack_sp_ptr(interp);
    // As the interpreter's PUSHMARK: step the top first; when that reaches
    // the end, the growth makes room and returns the same slot (it expects
    // the top already advanced).
    KvMark** mark_top = api.Perl_Tmarkstack_ptr_ptr(interp);
    KvMark* entry = ++*mark_top;
    if (entry == *api.Perl_Tmarkstack_max_ptr(interp)) entry = api.Perl_markstack_grow(interp);
    *entry = static_cast<KvMark>(sp - *api.Perl_Tstack_base_ptr(interp));
    if (*api.Perl_Tstack_max_ptr(interp) - sp < count) sp = api.Perl_stack_grow(interp, sp, sp, count);
    return sp;
}
}  // namespace

void kv_push_args(KvInterp* interp, const char* const* args, int count) {
    KvSV** sp = push_mark(interp, count);
    for (int i = 0; i < count; i++) *++sp = api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, args[i], 0));
    *api.Perl_Tstack_sp_ptr(interp) = sp;
}

void kv_push_values(KvInterp* interp, KvSV* const* values, int count) {
    KvSV** sp = push_mark(interp, count);
    for (int i = 0; i < count; i++) *++sp = values[i];
    *api.Perl_Tstack_sp_ptr(interp) = sp;
}

KvI32 kv_call_named(KvInterp* interp, const char* name, KvI32 flags) { return api.Perl_call_pv(interp, name, flags); }

KvSV* kv_pop_result(KvInterp* interp) {
    KvSV*** sp = api.Perl_Tstack_sp_ptr(interp);
    KvSV* v = **sp;
    *sp -= 1;
    return v;
}

int kv_protect(KvInterp* interp, void (*fn)(void*), void* arg) {
    HostJumpFrame frame;
    memset(&frame, 0, sizeof frame);
    KvJmpEnv** top = api.Perl_Ttop_env_ptr(interp);
    KvJmpEnv* previous = *top;
    set_field(frame.bytes, KV_JMPENV_PREV, previous);
    auto* buf = reinterpret_cast<sigjmp_buf*>(frame.bytes + KV_JMPENV_BUF);
    volatile int rc = sigsetjmp(*buf, 0);
    set_field<int>(frame.bytes, KV_JMPENV_RET, rc);
    *api.Perl_Ttop_env_ptr(interp) = reinterpret_cast<KvJmpEnv*>(&frame);
    set_field<bool>(frame.bytes, KV_JMPENV_MUSTCATCH, false);
    uint16_t delaymagic = field<uint16_t>(interp, KV_INTERP_DELAYMAGIC);
    set_field<uint16_t>(frame.bytes, KV_JMPENV_OLD_DELAYMAGIC, delaymagic);
    if (rc == 0) fn(arg);
    set_field<uint16_t>(interp, KV_INTERP_DELAYMAGIC, field<uint16_t>(frame.bytes, KV_JMPENV_OLD_DELAYMAGIC));
    *api.Perl_Ttop_env_ptr(interp) = previous;
    return rc;
}

const char* kv_errsv_text(KvInterp* interp, KvStrLen* length) {
    KvSV* err = api.Perl_get_sv(interp, "@", 0);
    if (!err) {
        if (length) *length = 0;
        return "";
    }
    const char* p = kv_sv_pv(interp, err, length);
    return p ? p : "";
}
