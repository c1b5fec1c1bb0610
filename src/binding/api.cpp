#include "src/binding/api.h"

#include "platform/platform.h"

PerlApi api;

namespace {

struct SlotInfo {
    const char* name;
    bool required;
    size_t offset;
};

const SlotInfo kSlots[] = {
#define KV_API_INFO(name, ret, params, required) {#name, required != 0, offsetof(PerlApi, name)},
    KV_API_SLOTS(KV_API_INFO)
#undef KV_API_INFO
};
static_assert(sizeof kSlots / sizeof kSlots[0] == KV_API_SLOT_COUNT, "the table has 66 slots");

void** slot_address(int i) { return reinterpret_cast<void**>(reinterpret_cast<char*>(&api) + kSlots[i].offset); }

}  // namespace

const char* api_slot_name(int i) { return kSlots[i].name; }
bool api_slot_required(int i) { return kSlots[i].required; }
void* api_slot_value(int i) { return *slot_address(i); }

int resolve_api(void* library) {
    int ok = 1;
    for (int i = 0; i < KV_API_SLOT_COUNT; i++) {
        void* p = plat_dl_sym(library, kSlots[i].name);
        *slot_address(i) = p;
        if (kSlots[i].required && !p) ok = 0;
    }
    if (!api.Perl_sv_catsv && !api.Perl_sv_catsv_flags) ok = 0;
    if (!api.Perl_sv_2pv && !api.Perl_sv_2pv_flags) ok = 0;
    return ok;
}

void sv_catsv_compat(KvInterp* interp, KvSV* destination, KvSV* source) {
    if (api.Perl_sv_catsv)
        api.Perl_sv_catsv(interp, destination, source);
    else
        api.Perl_sv_catsv_flags(interp, destination, source, 2);
}

char* sv_2pv_compat(KvInterp* interp, KvSV* value, KvStrLen* length_out) {
    if (api.Perl_sv_2pv) return api.Perl_sv_2pv(interp, value, length_out);
    if (api.Perl_sv_2pv_flags) return api.Perl_sv_2pv_flags(interp, value, length_out, 2);
    return nullptr;
}
