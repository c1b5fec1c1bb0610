/* What the stand-in runtime libraries record about the calls they receive,
   shared by the libraries (C) and the tests that read it (C++). */
#ifndef KV_FAKE_RUNTIME_H
#define KV_FAKE_RUNTIME_H

struct KvtCalls {
    int sv_catsv;        /* calls of Perl_sv_catsv */
    int sv_catsv_flags;  /* calls of Perl_sv_catsv_flags */
    int sv_2pv;          /* calls of Perl_sv_2pv */
    int sv_2pv_flags;    /* calls of Perl_sv_2pv_flags */
    long last_flags;     /* flags argument of the latest *_flags call, -1 before any */
    void* last_interp;   /* interpreter argument of the latest call */
};

/* Exported by every stand-in library: its call record. */
#define KVT_CALLS_SYMBOL "kvt_calls"

/* The stamp of a Perl that is not the embedded one. */
#define KVT_OTHER_PERL_ABI \
    "perl 5.8.8 MSWin32-x86-multi-thread sv=12 xpv=12 xpviv=16 jmpenv=28 cx=64 si=36 interp=3000"

#endif
