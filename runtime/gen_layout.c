/* Prints the header that tells host code the layouts, flag bits and
   constants of the Perl it embeds, taken from that Perl's own headers. The
   host does not include the interpreter's headers itself. */
#include <EXTERN.h>
#include <perl.h>
#include <stddef.h>

#include "abi_stamp.h"

#define OFF(name, type, member) printf("#define %s %u\n", name, (unsigned)offsetof(type, member))
#define VAL(name, value) printf("#define %s %lld\n", name, (long long)(value))
#define HEX(name, value) printf("#define %s 0x%llxu\n", name, (unsigned long long)(value))

int main(void) {
    char stamp[256];
    kv_abi_stamp(stamp, sizeof stamp);
    printf("/* Generated at build time from the embedded Perl's headers. */\n#pragma once\n");
    printf("#define KV_PERL_ABI \"%s\"\n", stamp);
    printf("#define KV_PERL_VERSION_STRING \"%s\"\n", PERL_VERSION_STRING);
    printf("#define KV_RUNTIME_NAME \"perl%d%d.so\"\n", PERL_REVISION, PERL_VERSION);

    /* Value head and bodies. */
    OFF("KV_SV_ANY", SV, sv_any);
    OFF("KV_SV_REFCNT", SV, sv_refcnt);
    OFF("KV_SV_FLAGS", SV, sv_flags);
    OFF("KV_SV_U", SV, sv_u);
    OFF("KV_XPV_CUR", XPV, xpv_cur);
    OFF("KV_XPV_LEN", XPV, xpv_len_u);
    OFF("KV_XPVIV_IV", XPVIV, xiv_u);
    OFF("KV_XPVNV_NV", XPVNV, xnv_u);
    OFF("KV_GP_SV", GP, gp_sv);
    VAL("KV_SIZEOF_IV", sizeof(IV));
    VAL("KV_SIZEOF_NV", sizeof(NV));
    VAL("KV_SIZEOF_STRLEN", sizeof(STRLEN));
    HEX("KV_SVf_IOK", SVf_IOK);
    HEX("KV_SVf_NOK", SVf_NOK);
    HEX("KV_SVf_POK", SVf_POK);
    HEX("KV_SVp_IOK", SVp_IOK);
    HEX("KV_SVp_NOK", SVp_NOK);
    HEX("KV_SVp_POK", SVp_POK);
    HEX("KV_SVf_UTF8", SVf_UTF8);
    HEX("KV_SVf_ROK", SVf_ROK);
    HEX("KV_SVs_GMG", SVs_GMG);
    HEX("KV_SVTYPEMASK", SVTYPEMASK);
    VAL("KV_SVt_PV", SVt_PV);

    /* Jump frame. */
    VAL("KV_JMPENV_SIZE", sizeof(JMPENV));
    VAL("KV_JMPENV_ALIGN", _Alignof(JMPENV));
    OFF("KV_JMPENV_PREV", JMPENV, je_prev);
    OFF("KV_JMPENV_BUF", JMPENV, je_buf);
    OFF("KV_JMPENV_RET", JMPENV, je_ret);
    OFF("KV_JMPENV_MUSTCATCH", JMPENV, je_mustcatch);
    OFF("KV_JMPENV_OLD_DELAYMAGIC", JMPENV, je_old_delaymagic);
    VAL("KV_SIGJMP_BUF_SIZE", sizeof(Sigjmp_buf));
    OFF("KV_INTERP_DELAYMAGIC", PerlInterpreter, Idelaymagic);

    /* Exit flags: with PERL_EXIT_DESTRUCT_END set, perl_run leaves the END
       blocks to the host. */
    OFF("KV_INTERP_EXIT_FLAGS", PerlInterpreter, Iexit_flags);
    VAL("KV_SIZEOF_EXIT_FLAGS", sizeof(((PerlInterpreter*)0)->Iexit_flags));
    HEX("KV_PERL_EXIT_DESTRUCT_END", PERL_EXIT_DESTRUCT_END);

    /* Context stack. */
    VAL("KV_CONTEXT_SIZE", sizeof(PERL_CONTEXT));
    OFF("KV_CX_TYPE", PERL_CONTEXT, cx_type);
    OFF("KV_CX_U16", PERL_CONTEXT, blk_u16);
    OFF("KV_CX_EVAL_CUR_TEXT", PERL_CONTEXT, blk_eval.cur_text);
    VAL("KV_SIZEOF_CX_TYPE", sizeof(((PERL_CONTEXT*)0)->cx_type));
    HEX("KV_CXTYPEMASK", CXTYPEMASK);
    VAL("KV_CXt_EVAL", CXt_EVAL);
    HEX("KV_CX_EVAL_TXT_REFCNTED", 0x40);
    OFF("KV_SI_CXSTACK", PERL_SI, si_cxstack);
    OFF("KV_SI_CXIX", PERL_SI, si_cxix);
    VAL("KV_SIZEOF_SI_CXIX", sizeof(((PERL_SI*)0)->si_cxix));

    /* Stack and temporaries variable sizes. */
    VAL("KV_SIZEOF_MARK", sizeof(*((PerlInterpreter*)0)->Imarkstack_ptr));
    VAL("KV_SIZEOF_TMPS_IX", sizeof(SSize_t));
    VAL("KV_SIZEOF_SCOPESTACK_IX", sizeof(I32));
    VAL("KV_SIZEOF_DESTRUCT_LEVEL", sizeof(((PerlInterpreter*)0)->Iperl_destruct_level));

    /* Call flags. */
    VAL("KV_G_VOID", G_VOID);
    VAL("KV_G_SCALAR", G_SCALAR);
    VAL("KV_G_LIST", G_LIST);
    VAL("KV_G_DISCARD", G_DISCARD);
    VAL("KV_G_EVAL", G_EVAL);
    VAL("KV_G_NOARGS", G_NOARGS);
    VAL("KV_G_KEEPERR", G_KEEPERR);
    VAL("KV_GV_ADD", GV_ADD);
    VAL("KV_SV_HAS_TRAILING_NUL", SV_HAS_TRAILING_NUL);
    /* Whether the interpreter's allocator is the C library's malloc, so that
       a buffer from malloc may become a string's own. */
#ifdef MYMALLOC
    VAL("KV_PERL_USES_MALLOC", 0);
#else
    VAL("KV_PERL_USES_MALLOC", 1);
#endif

    /* Globs: GvFLAGS lives in the body's xpv_cur. */
    OFF("KV_XPVGV_FLAGS", XPVGV, xpv_cur);
    HEX("KV_GVf_IMPORTED_CV", GVf_IMPORTED_CV);
    VAL("KV_SVt_PVCV", SVt_PVCV);
    return 0;
}
