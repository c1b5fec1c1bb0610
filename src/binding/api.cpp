#include "src/binding/api.h"

#include <string.h>

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
static_assert(sizeof kSlots / sizeof kSlots[0] == KV_API_SLOT_COUNT, "the table has 67 slots");

void** slot_address(PerlApi* table, int i) {
    return reinterpret_cast<void**>(reinterpret_cast<char*>(table) + kSlots[i].offset);
}

}  // namespace

const char* api_slot_name(int i) { return kSlots[i].name; }
bool api_slot_required(int i) { return kSlots[i].required; }
void* api_slot_value(int i, const PerlApi* table) {
    void* p;
    memcpy(&p, reinterpret_cast<const char*>(table) + kSlots[i].offset, sizeof p);
    return p;
}

int resolve_api_table(void* library, PerlApi* table) {
    int ok = 1;
    for (int i = 0; i < KV_API_SLOT_COUNT; i++) {
        void* p = plat_dl_sym(library, kSlots[i].name);
        *slot_address(table, i) = p;
        if (kSlots[i].required && !p) ok = 0;
    }
    if (!table->Perl_sv_catsv && !table->Perl_sv_catsv_flags) ok = 0;
    if (!table->Perl_sv_2pv && !table->Perl_sv_2pv_flags) ok = 0;
    return ok;
}

bool runtime_stamp_matches(void* library) {
    auto stamp = reinterpret_cast<const char* (*)()>(plat_dl_sym(library, KV_RUNTIME_ABI_SYMBOL));
    return stamp && strcmp(stamp(), KV_PERL_ABI) == 0;
}

int resolve_api(void* library, ApiRefusal* why) {
    // Resolved aside: a running session keeps calling through `api`, which
    // must never hold nulls or the entry points of a library that is about
    // to be closed again.
    PerlApi table;
    ApiRefusal refusal = ApiRefusal::none;
    if (!resolve_api_table(library, &table))
        refusal = ApiRefusal::incomplete;
    else if (!runtime_stamp_matches(library))
        refusal = ApiRefusal::other_perl;
    if (why) *why = refusal;
    if (refusal != ApiRefusal::none) return 0;
    api = table;
    return 1;
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
