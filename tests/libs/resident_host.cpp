// A long-lived host in miniature: starts the bound script as a resident
// session (END blocks held back), calls into it once more, then runs the
// quit sequence: END blocks, session shutdown, directory removal.
#include <stdio.h>

#include "src/bfs/rmtree.h"
#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "src/launcher/env.h"
#include "src/launcher/kovrun.h"

namespace {

void call_event(void* p) {
    auto* interp = static_cast<KvInterp*>(p);
    kv_enter_scope(interp);
    const char* args[] = {"after main"};
    kv_push_args(interp, args, 1);
    kv_call_named(interp, "Event", KV_G_DISCARD | KV_G_EVAL);
    kv_leave_scope(interp);
}

}  // namespace

int main(int argc, char** argv) {
    if (env_kill() != 0) return 1;
    KovrunSession* session = nullptr;
    int rc = kovrun_start(&session, nullptr, nullptr, argc, argv, nullptr, 0);
    printf("host: start returned %d\n", rc);
    fflush(stdout);
    if (rc == 0) {
        KvInterp* interp = kovrun_interp(session);
        void* old = kv_get_context();
        api.Perl_set_context(interp);
        KvSV* single = api.Perl_get_sv(interp, "DB::single", 0);
        printf("host: DB::single %s\n", single ? (kv_sv_true(interp, single) ? "armed" : "clear") : "absent");
        fflush(stdout);
        int jump = kv_protect(interp, call_event, interp);
        printf("host: event jump %d\n", jump);
        fflush(stdout);
        kv_set_context(old);
        kovrun_run_end_blocks(session);
    }
    kovrun_free(session);
    cleanup_temp_dirs();
    printf("host: done\n");
    return rc & 0xFF;
}
