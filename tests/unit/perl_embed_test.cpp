// The real interpreter driven through the API table and the call helpers:
// calls of script subs, die and exit under the host's jump frames, scope and
// temporaries bookkeeping, the truth rule, and interpreters made one after
// another in one process.
//
// Each test runs in a forked child: loading the runtime and creating
// interpreters changes process-wide state for good. Children report
// mismatches by printing them; the parent expects no output.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "tests/libs/fork_child.h"

namespace {

const char* const kRuntime = KV_LIB_DIR "/" KV_RUNTIME_NAME;

// ---- child side -------------------------------------------------------------------
// Nothing below holds an object with a destructor across an interpreter call:
// the interpreter may leave these frames with a long jump.

int g_failures = 0;

void check_int(const char* what, long long actual, long long expected) {
    if (actual != expected) {
        printf("%s: got %lld, expected %lld\n", what, actual, expected);
        g_failures++;
    }
}

void check_text(const char* what, const char* actual, const char* expected) {
    if (!actual || strcmp(actual, expected) != 0) {
        printf("%s: got \"%s\", expected \"%s\"\n", what, actual ? actual : "(null)", expected);
        g_failures++;
    }
}

bool load_runtime_library() {
    void* h = plat_dl_open(kRuntime);
    if (!h || !resolve_api(h)) {
        printf("cannot load %s\n", kRuntime);
        return false;
    }
    return true;
}

// perl_parse keeps the vector and may write into argv[0] (when $0 is
// assigned), so both live as long as the interpreter.
struct Program {
    char arg0[16];
    char e[3];
    char text[2048];
    char* argv[4];
};

struct ParseRun {
    KvInterp* interp;
    Program* program;
    int rc;
};

void do_parse(void* p) {
    auto* r = static_cast<ParseRun*>(p);
    r->rc = api.perl_parse(r->interp, nullptr, 3, r->program->argv, nullptr);
}

void do_run(void* p) {
    auto* r = static_cast<ParseRun*>(p);
    r->rc = api.perl_run(r->interp);
}

// Creates an interpreter as the startup driver does, compiles `text` and runs
// its main program. Null after printing the cause.
KvInterp* start_interpreter(Program* program, const char* text) {
    snprintf(program->arg0, sizeof program->arg0, "kvtest");
    snprintf(program->e, sizeof program->e, "-e");
    snprintf(program->text, sizeof program->text, "%s", text);
    program->argv[0] = program->arg0;
    program->argv[1] = program->e;
    program->argv[2] = program->text;
    program->argv[3] = nullptr;
    KvInterp* interp = api.perl_alloc();
    if (!interp) return nullptr;
    kv_note_interpreter_created();
    api.Perl_set_context(interp);
    api.perl_construct(interp);
    *api.Perl_Iperl_destruct_level_ptr(interp) = 0;
    ParseRun run{interp, program, 0};
    int jumped = kv_protect(interp, do_parse, &run);
    if (jumped == 0 && run.rc == 0) jumped = kv_protect(interp, do_run, &run);
    if (jumped != 0 || run.rc != 0) {
        printf("program did not start: jump %d, status %d\n", jumped, run.rc);
        return nullptr;
    }
    return interp;
}

void stop_interpreter(KvInterp* interp) {
    api.Perl_set_context(interp);
    api.perl_destruct(interp);
    api.perl_free(interp);
    kv_set_context(nullptr);
}

// A call of a named sub with string arguments in scalar context, the whole
// convention inside one function that the interpreter may jump out of.
struct ScalarCall {
    KvInterp* interp;
    const char* name;
    const char* const* args;
    int count;
    KvI32 flags;
    KvI32 returned;  // -1 until the call returned
    char text[256];  // the result's string
};

void do_scalar_call(void* p) {
    auto* c = static_cast<ScalarCall*>(p);
    kv_enter_scope(c->interp);
    kv_push_args(c->interp, c->args, c->count);
    c->returned = kv_call_named(c->interp, c->name, c->flags);
    KvSV* result = kv_pop_result(c->interp);
    KvStrLen length = 0;
    const char* text = kv_sv_pv(c->interp, result, &length);
    snprintf(c->text, sizeof c->text, "%.*s", static_cast<int>(length), text ? text : "");
    kv_leave_scope(c->interp);
}

// Runs the call inside a host jump frame; returns kv_protect's code.
int protected_call(ScalarCall* c) {
    c->returned = -1;
    c->text[0] = 0;
    return kv_protect(c->interp, do_scalar_call, c);
}

// The interpreter's bookkeeping that a completed call must leave as it found it.
struct StackState {
    KvI32 scopes;
    KvSSize tmps_floor, tmps_ix;
    KvSSize stack_depth;
    KvMark* mark_top;
    KvJmpEnv* top_env;
};

StackState stack_state(KvInterp* interp) {
    return {*api.Perl_Tscopestack_ix_ptr(interp),
            *api.Perl_Ttmps_floor_ptr(interp),
            *api.Perl_Ttmps_ix_ptr(interp),
            *api.Perl_Tstack_sp_ptr(interp) - *api.Perl_Tstack_base_ptr(interp),
            *api.Perl_Tmarkstack_ptr_ptr(interp),
            *api.Perl_Ttop_env_ptr(interp)};
}

void check_state(const char* when, const StackState& a, const StackState& b) {
    char what[128];
    auto field = [&](const char* name, long long x, long long y) {
        snprintf(what, sizeof what, "%s: %s", when, name);
        check_int(what, y, x);
    };
    field("scope stack index", a.scopes, b.scopes);
    field("temporaries floor", a.tmps_floor, b.tmps_floor);
    field("temporaries top", a.tmps_ix, b.tmps_ix);
    field("argument stack depth", a.stack_depth, b.stack_depth);
    field("mark stack top", reinterpret_cast<intptr_t>(a.mark_top), reinterpret_cast<intptr_t>(b.mark_top));
    field("innermost jump frame", reinterpret_cast<intptr_t>(a.top_env), reinterpret_cast<intptr_t>(b.top_env));
}

const char* const kSubs =
    "sub greet { my $r = join ',', @_; my @junk = map { \"tmp$_\" } 1..50; return \"hello $r\" }\n"
    "sub boom { die \"boom @_\\n\" }\n"
    "sub bye { exit 7 }\n";

// Runs `body(interp)` in a child with an interpreter on kSubs (plus `extra`),
// and expects the child to find nothing wrong.
template <class F>
void in_interpreter(const char* extra, F body) {
    ChildRun r = run_in_child([&] {
        if (!load_runtime_library()) return 1;
        static Program program;
        static char text[sizeof program.text];
        snprintf(text, sizeof text, "%s%s", kSubs, extra);
        KvInterp* interp = start_interpreter(&program, text);
        if (!interp) return 1;
        body(interp);
        return g_failures ? 1 : 0;
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0) << r.err;
}

// ---- tests ----------------------------------------------------------------------------

TEST(PerlEmbed, CallReturnsItsResultAndLeavesScopesAsFound) {
    in_interpreter("", [](KvInterp* interp) {
        const char* args[] = {"a", "b c", ""};
        ScalarCall call{interp, "greet", args, 3, KV_G_SCALAR | KV_G_EVAL, -1, {0}};
        StackState before = stack_state(interp);
        // Enough calls that temporaries left behind would show.
        for (int i = 0; i < 200; i++) {
            check_int("jump", protected_call(&call), 0);
            check_int("results", call.returned, 1);
        }
        check_text("result", call.text, "hello a,b c,");
        check_state("after calls", before, stack_state(interp));
        KvStrLen n = 99;
        check_text("$@", kv_errsv_text(interp, &n), "");
        check_int("$@ length", static_cast<long long>(n), 0);
        stop_interpreter(interp);
    });
}

TEST(PerlEmbed, CallAtTheMarkStackEndLeavesTheMarksAsFound) {
    in_interpreter("", [](KvInterp* interp) {
        const char* args[] = {"x"};
        ScalarCall call{interp, "greet", args, 1, KV_G_SCALAR | KV_G_EVAL, -1, {0}};
        // Free mark slots left above the top before the call; with one left,
        // pushing the call's mark grows the mark stack.
        for (int room : {3, 2, 1, 1}) {
            KvMark** top = api.Perl_Tmarkstack_ptr_ptr(interp);
            KvSSize raise = (*api.Perl_Tmarkstack_max_ptr(interp) - room) - *top;
            check_int("room to raise the top", raise >= 2, 1);
            if (raise < 2) break;
            // Two marks of our own at the raised top show where the top is
            // after the call, wherever the growth moved the stack.
            *top += raise;
            (*top)[-1] = -101;
            (*top)[0] = -102;
            KvSSize depth = *api.Perl_Tstack_sp_ptr(interp) - *api.Perl_Tstack_base_ptr(interp);
            check_int("jump", protected_call(&call), 0);
            check_text("result", call.text, "hello x");
            check_int("mark below the top", (*top)[-1], -101);
            check_int("top mark", (*top)[0], -102);
            check_int("argument stack depth", *api.Perl_Tstack_sp_ptr(interp) - *api.Perl_Tstack_base_ptr(interp), depth);
            *top -= raise;
        }
        stop_interpreter(interp);
    });
}

TEST(PerlEmbed, DieUnderEvalSetsErrorAndReturns) {
    in_interpreter("", [](KvInterp* interp) {
        const char* args[] = {"now"};
        ScalarCall call{interp, "boom", args, 1, KV_G_SCALAR | KV_G_EVAL, -1, {0}};
        StackState before = stack_state(interp);
        check_int("jump", protected_call(&call), 0);
        check_int("results", call.returned, 1);
        check_text("result", call.text, "");
        check_text("$@", kv_errsv_text(interp, nullptr), "boom now\n");
        check_state("after die", before, stack_state(interp));
        // A sub that does not exist fails the same way.
        call.name = "no_such_sub";
        check_int("jump", protected_call(&call), 0);
        const char* err = kv_errsv_text(interp, nullptr);
        if (!strstr(err, "Undefined subroutine &main::no_such_sub called")) check_text("$@", err, "Undefined subroutine ...");
        // The next good call clears $@.
        call.name = "greet";
        check_int("jump", protected_call(&call), 0);
        check_text("$@", kv_errsv_text(interp, nullptr), "");
        stop_interpreter(interp);
    });
}

TEST(PerlEmbed, ExitLandsInTheHostFrameWithItsCode) {
    in_interpreter("", [](KvInterp* interp) {
        ScalarCall call{interp, "bye", nullptr, 0, KV_G_SCALAR | KV_G_EVAL, -1, {0}};
        KvJmpEnv* outer = *api.Perl_Ttop_env_ptr(interp);
        check_int("jump", protected_call(&call), 2);
        check_int("returned", call.returned, -1);
        check_int("status", *api.Perl_Istatusvalue_ptr(interp), 7);
        check_int("innermost frame restored", reinterpret_cast<intptr_t>(*api.Perl_Ttop_env_ptr(interp)),
                  reinterpret_cast<intptr_t>(outer));
        stop_interpreter(interp);
    });
}

TEST(PerlEmbed, DieWithoutEvalLandsInTheHostFrame) {
    ChildRun r = run_in_child([] {
        if (!load_runtime_library()) return 1;
        static Program program;
        KvInterp* interp = start_interpreter(&program, kSubs);
        if (!interp) return 1;
        const char* args[] = {"loose"};
        ScalarCall call{interp, "boom", args, 1, KV_G_SCALAR, -1, {0}};
        KvJmpEnv* outer = *api.Perl_Ttop_env_ptr(interp);
        // An uncaught die ends the program as exit does: code 2.
        check_int("jump", protected_call(&call), 2);
        check_int("returned", call.returned, -1);
        // The status is errno's value or 255, whichever applies: not 0.
        check_int("status is set", *api.Perl_Istatusvalue_ptr(interp) != 0, 1);
        check_int("innermost frame restored", reinterpret_cast<intptr_t>(*api.Perl_Ttop_env_ptr(interp)),
                  reinterpret_cast<intptr_t>(outer));
        stop_interpreter(interp);
        return g_failures ? 1 : 0;
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "boom loose\n");
}

TEST(PerlEmbed, TruthFollowsTheInterpreter) {
    // Perl's own verdicts travel in $T::perl; the host's must agree, and the
    // listed ones are fixed here as well.
    const char* values =
        "package Z; sub TIESCALAR { bless [$_[1]] } sub FETCH { $_[0][0] } sub STORE {}\n"
        "package B0; use overload 'bool' => sub { 0 }, '\"\"' => sub { 'B0' };\n"
        "package T; no warnings;\n"
        "our @v = ('', '0', '00', '0.0', 0, 1, undef, [], 0.0, -0.0, ' ', '0E0', '0 but true', \"0\\n\", 'abc', 10,\n"
        "          bless([], 'B0'));\n"
        "{ my $n = 'abc'; my $x = $n + 0; push @v, $n; my $z = 0; my $s = \"$z\"; push @v, $z; my $f = 0.5; $s = \"$f\"; push @v, $f }\n"
        "${\"T::v$_\"} = $v[$_] for 0..$#v;\n"
        "tie $T::tied0, 'Z', '0'; tie $T::tied1, 'Z', 'x';\n"
        "our $count = @v; our $perl = join '', map { $_ ? 1 : 0 } @v, $T::tied0, $T::tied1;\n";
    in_interpreter(values, [](KvInterp* interp) {
        KvIV count = kv_sv_iv(interp, api.Perl_get_sv(interp, "T::count", 0));
        char host[64] = {0};
        int k = 0;
        for (KvIV i = 0; i < count && k < 60; i++) {
            char name[32];
            snprintf(name, sizeof name, "T::v%lld", static_cast<long long>(i));
            host[k++] = kv_sv_true(interp, api.Perl_get_sv(interp, name, 0)) ? '1' : '0';
        }
        host[k++] = kv_sv_true(interp, api.Perl_get_sv(interp, "T::tied0", 0)) ? '1' : '0';
        host[k++] = kv_sv_true(interp, api.Perl_get_sv(interp, "T::tied1", 0)) ? '1' : '0';
        check_text("host truth", host, kv_sv_pv(interp, api.Perl_get_sv(interp, "T::perl", 0), nullptr));
        //                   ''  0  00 0.0 0 1 undef [] 0.0 -0.0 ' ' 0E0 '0bt' "0\n" abc 10 B0 abc+0 "$z" 0.5 tied
        check_text("expected", host, "0" "0" "1" "1" "0" "1" "0" "1" "0" "0" "1" "1" "1" "1" "1" "1" "0" "1" "0" "1" "01");

        // Values made through the table, the interpreter's constants, no value.
        check_int("\"\"", kv_sv_true(interp, api.Perl_newSVpv(interp, "", 0)), 0);
        check_int("\"0\"", kv_sv_true(interp, api.Perl_newSVpv(interp, "0", 0)), 0);
        check_int("\"00\"", kv_sv_true(interp, api.Perl_newSVpv(interp, "00", 0)), 1);
        check_int("\"0.0\"", kv_sv_true(interp, api.Perl_newSVpv(interp, "0.0", 0)), 1);
        check_int("0", kv_sv_true(interp, api.Perl_newSViv(interp, 0)), 0);
        check_int("1", kv_sv_true(interp, api.Perl_newSViv(interp, 1)), 1);
        check_int("new undef", kv_sv_true(interp, api.Perl_newSV(interp, 0)), 0);
        check_int("PL_sv_undef", kv_sv_true(interp, api.Perl_Isv_undef_ptr(interp)), 0);
        check_int("PL_sv_no", kv_sv_true(interp, api.Perl_Isv_no_ptr(interp)), 0);
        check_int("PL_sv_yes", kv_sv_true(interp, api.Perl_Isv_yes_ptr(interp)), 1);
        check_int("null", kv_sv_true(interp, nullptr), 0);
        stop_interpreter(interp);
    });
}

TEST(PerlEmbed, InterpretersOneAfterAnother) {
    ChildRun r = run_in_child([] {
        if (!load_runtime_library()) return 1;
        for (int round = 0; round < 4; round++) {
            static Program program;
            char text[512];
            // Each interpreter starts clean: nothing of the previous one shows.
            snprintf(text, sizeof text,
                     "our $seen = defined($main::mark) ? 'stale' : 'fresh'; our $mark = %d;\n"
                     "sub greet { return \"$seen $mark @_\" }",
                     round);
            KvInterp* interp = start_interpreter(&program, text);
            if (!interp) return 1;
            const char* args[] = {"x"};
            ScalarCall call{interp, "greet", args, 1, KV_G_SCALAR | KV_G_EVAL, -1, {0}};
            check_int("jump", protected_call(&call), 0);
            char expected[64];
            snprintf(expected, sizeof expected, "fresh %d x", round);
            check_text("result", call.text, expected);
            stop_interpreter(interp);
        }
        return g_failures ? 1 : 0;
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
