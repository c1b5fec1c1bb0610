/* A text that identifies the Perl build whose headers a piece of code was
   compiled against: version, architecture and the sizes of the structures
   that host code reads directly. Host and runtime library compare it. */
#ifndef KV_ABI_STAMP_H
#define KV_ABI_STAMP_H

#include <stdio.h>

static inline void kv_abi_stamp(char* buf, size_t size) {
    snprintf(buf, size, "perl %s %s sv=%u xpv=%u xpviv=%u jmpenv=%u cx=%u si=%u interp=%u",
             PERL_VERSION_STRING, ARCHNAME, (unsigned)sizeof(SV), (unsigned)sizeof(XPV),
             (unsigned)sizeof(XPVIV), (unsigned)sizeof(JMPENV), (unsigned)sizeof(PERL_CONTEXT),
             (unsigned)sizeof(PERL_SI), (unsigned)sizeof(PerlInterpreter));
}

#endif
