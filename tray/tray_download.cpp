// Nimbrel::Download, its worker threads and the completion handler.
//
// A request passes from Nimbrel::Download (main thread) to its worker, which
// alone fills the body; the worker's post of TRAY_MSG_DOWNLOAD_DONE hands it
// back to the main thread, whose completion handler makes CONTENT, calls the
// script and frees the request. The worker reads the body through the
// platform's internet calls (platform/net.h) in reads of up to 64 KiB, each
// kept in a chunk of exactly its size; CONTENT is made once at its final
// size and each chunk copied into it once.
//
// A registry under one mutex holds every request that the main thread has
// not consumed yet and counts the workers that run. Under the same mutex a
// worker posts its completion, and the quit sequence stops all posting: so
// no worker posts to a window or backend that is going away, and what was
// never delivered is freed at the end of the program. Workers are joined
// when their request is freed; none runs with a signal unblocked, so that
// signals reach the main thread.
//
// The extension function and the completion's call into the script may be
// left with a long jump: they hold nothing with a destructor.
#include "tray/tray_download.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "tray/tray_state.h"

namespace {

constexpr const char* kFile = "Nimbrel";
constexpr const char* kAgent = "Nimbrel/1.0";
constexpr size_t kReadSize = 65536;
// The room an announced body's buffer has beyond the body: its terminating
// NUL, and the count byte of Perl's copy-on-write, without which every copy
// of CONTENT that the script makes (my ($body) = @_) would copy the body.
constexpr size_t kBodySlack = 2;
// Diagnostics are formatted into buffers of this size, whatever the URL's length.
constexpr size_t kDiagnosticSize = 200;
// The room that a diagnostic keeps for the URL at least, before it drops the
// error's text.
constexpr size_t kMinUrlRoom = 60;
// Failed reads are retried this many times, 10 ms apart, unless the failure
// is one that no retry mends (a time-out, a stall, the quit's cancel).
constexpr int kReadRetries = 3;
constexpr useconds_t kRetryWaitUs = 10000;
// How long the quit sequence waits for the cancelled workers to end.
constexpr long kQuitWaitMs = 500;

// One read's data: the header, then `length` bytes.
struct DownloadChunk {
    DownloadChunk* next;
    size_t length;
};
unsigned char* chunk_data(DownloadChunk* c) { return reinterpret_cast<unsigned char*>(c + 1); }

struct DownloadRequest {
    KvSV* url_value;      // the script's own values, one reference each;
    KvSV* context_value;  // main thread only
    char* url_text;       // a private copy of the URL's text
    NetSession* session;
    pthread_t thread;
    // The body: when the response announces its length, one buffer of that
    // size (and kBodySlack bytes more) read into directly, which CONTENT
    // then takes over without a copy; whatever else arrives, in arrival
    // order, in chunks.
    unsigned char* body;
    size_t body_size;  // the buffer's allocation
    size_t body_length;
    DownloadChunk* chunks;
    size_t total;  // body_length plus the chunks' lengths
    int failed;                   // nothing is delivered: `error` says why
    char error[kDiagnosticSize];  // the diagnostic that ended a failed download
    int finished;                 // the worker is done with the request (registry lock)
    DownloadRequest* prev;        // registry links (registry lock)
    DownloadRequest* next;
};

// The internet session: opened by the first Download, closed by the quit.
NetSession* g_session = nullptr;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_worker_ended = PTHREAD_COND_INITIALIZER;
DownloadRequest* g_requests = nullptr;  // not yet consumed by the main thread
int g_workers = 0;                      // workers that run
int g_closing = 0;                      // the quit has begun: nothing starts or is posted

bool forked_child() { return tray_state.forked && getpid() != tray_state.pid; }

// ---- diagnostics ---------------------------------------------------------------------------
// A diagnostic on the debugger output, ended by a line end as the host's
// other diagnostics there are (the text itself has none).
void diagnostic(const char* text) {
    char line[kDiagnosticSize + 1];
    snprintf(line, sizeof line, "%s\n", text);
    plat_debug_output(line);
}

// "InternetOpenUrl(URL) failed: N (TEXT)" in kDiagnosticSize bytes: the
// error's text only when the URL keeps enough room; a URL that does not fit
// is cut short (at a character's start) and ends with "...".
void open_failure_text(char* out, const char* url, int error) {
    const char* head = "InternetOpenUrl(";
    char tail[kDiagnosticSize];
    snprintf(tail, sizeof tail, ") failed: %d (%s)", error, net_error_text(error));
    if (strlen(head) + strlen(tail) + kMinUrlRoom >= kDiagnosticSize) snprintf(tail, sizeof tail, ") failed: %d", error);
    size_t room = kDiagnosticSize - 1 - strlen(head) - strlen(tail);
    size_t length = strlen(url);
    if (length <= room) {
        snprintf(out, kDiagnosticSize, "%s%s%s", head, url, tail);
        return;
    }
    size_t cut = room - 3;
    while (cut > 0 && (static_cast<unsigned char>(url[cut]) & 0xC0) == 0x80) cut--;
    snprintf(out, kDiagnosticSize, "%s%.*s...%s", head, static_cast<int>(cut), url, tail);
}

// ---- the registry ------------------------------------------------------------------------
void link_request(DownloadRequest* r) {
    r->prev = nullptr;
    r->next = g_requests;
    if (g_requests) g_requests->prev = r;
    g_requests = r;
}

void unlink_request(DownloadRequest* r) {
    if (r->prev) r->prev->next = r->next;
    else g_requests = r->next;
    if (r->next) r->next->prev = r->prev;
    r->prev = r->next = nullptr;
}

// Takes a finished request out of the registry; false for anything else (a
// message that no worker of this process posted, or one consumed already).
bool take_finished(DownloadRequest* r) {
    pthread_mutex_lock(&g_lock);
    bool found = false;
    for (DownloadRequest* p = g_requests; p; p = p->next)
        if (p == r) {
            found = p->finished != 0;
            break;
        }
    if (found) unlink_request(r);
    pthread_mutex_unlock(&g_lock);
    return found;
}

void free_chunks(DownloadRequest* r) {
    while (DownloadChunk* c = r->chunks) {
        r->chunks = c->next;
        free(c);
    }
    free(r->body);
    r->body = nullptr;
    r->body_length = 0;
    r->total = 0;
}

// The buffer for an announced body of `announced` bytes, or null when the
// length is not known, is nothing, or cannot be had (the chunks take it then).
unsigned char* announced_body(int64_t announced) {
    if (!KV_PERL_USES_MALLOC || !api.Perl_sv_usepvn_flags) return nullptr;
    if (announced <= 0 || static_cast<uint64_t>(announced) >= SIZE_MAX / 2) return nullptr;
    return static_cast<unsigned char*>(malloc(static_cast<size_t>(announced) + kBodySlack));
}

// Frees a request whose worker has finished; its values, where they are
// still held, stay with the interpreter, which is gone or going.
void free_request(DownloadRequest* r) {
    pthread_join(r->thread, nullptr);
    free_chunks(r);
    free(r->url_text);
    free(r);
}

// ---- the worker ----------------------------------------------------------------------------
// The worker is done: the completion goes to the main thread unless the quit
// has begun (the request then waits in the registry for the end).
void finish(DownloadRequest* r) {
    pthread_mutex_lock(&g_lock);
    r->finished = 1;
    if (!g_closing) tray_state.backend->post_message(TRAY_MSG_DOWNLOAD_DONE, reinterpret_cast<uintptr_t>(r), 0);
    g_workers--;
    pthread_cond_broadcast(&g_worker_ended);
    pthread_mutex_unlock(&g_lock);
}

// Reads the body into the request's chunk list. A read that keeps failing
// (or a stall, or the quit) fails the download: what arrived is dropped, so
// that the script never takes a cut body for a whole one. Memory that runs
// out ends the body with what arrived.
void read_body(DownloadRequest* r, NetUrl* url) {
    unsigned char buffer[kReadSize];
    DownloadChunk** tail = &r->chunks;
    int failures = 0;
    int64_t announced = net_content_length(url);
    r->body = announced_body(announced);
    if (r->body) r->body_size = static_cast<size_t>(announced) + kBodySlack;
    size_t room = r->body ? static_cast<size_t>(announced) : 0;
    for (;;) {
        size_t got = 0;
        int error = 0;
        // Into the announced body while it has room, else into the buffer.
        bool direct = r->body_length < room;
        unsigned char* into = direct ? r->body + r->body_length : buffer;
        size_t ask = direct ? room - r->body_length : sizeof buffer;
        if (ask > kReadSize) ask = kReadSize;
        if (!net_read(url, into, ask, &got, &error)) {
            snprintf(r->error, sizeof r->error, "InternetReadFile failed: %d (%s)", error, net_error_text(error));
            diagnostic(r->error);
            if (net_error_is_final(error) || ++failures > kReadRetries) {
                r->failed = 1;
                break;
            }
            usleep(kRetryWaitUs);
            continue;
        }
        failures = 0;
        if (got == 0) break;
        if (direct) {
            r->body_length += got;
            r->total += got;
            continue;
        }
        size_t size = sizeof(DownloadChunk) + got;
        auto* c = static_cast<DownloadChunk*>(malloc(size));
        if (!c) {
            char text[kDiagnosticSize];
            snprintf(text, sizeof text, "Can't alloc memory: %zu", size);
            diagnostic(text);
            break;
        }
        c->next = nullptr;
        c->length = got;
        memcpy(chunk_data(c), buffer, got);
        *tail = c;
        tail = &c->next;
        r->total += got;
    }
    if (r->failed) free_chunks(r);
}

void* download_worker(void* p) {
    auto* r = static_cast<DownloadRequest*>(p);
    int error = 0;
    NetUrl* url = net_open_url(r->session, r->url_text, &error);
    if (!url) {
        open_failure_text(r->error, r->url_text, error);
        diagnostic(r->error);
        r->failed = 1;
    } else {
        read_body(r, url);
        net_close_url(url);
    }
    finish(r);
    return nullptr;
}

// Starts the worker of a new request for the URL's text; false (and nothing
// left behind) when memory is short or the thread cannot start.
DownloadRequest* start_download(KvSV* url, KvSV* context, const char* text, size_t length) {
    auto* r = static_cast<DownloadRequest*>(calloc(1, sizeof(DownloadRequest)));
    char* copy = static_cast<char*>(malloc(length + 1));
    if (!r || !copy) {
        free(r);
        free(copy);
        return nullptr;
    }
    memcpy(copy, text, length);
    copy[length] = 0;
    r->url_value = url;
    r->context_value = context;
    r->url_text = copy;
    r->session = g_session;
    // The worker inherits a mask that blocks every signal.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_mutex_lock(&g_lock);
    int rc = pthread_create(&r->thread, nullptr, download_worker, r);
    if (rc == 0) {
        link_request(r);
        g_workers++;
    }
    pthread_mutex_unlock(&g_lock);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        free(copy);
        free(r);
        return nullptr;
    }
    return r;
}

// ---- Nimbrel::Download -------------------------------------------------------------------
// Nimbrel::Download(URL, CONTEXT): true when a worker fetches the URL; false
// for any other number of arguments, when the internet session cannot be
// opened or the worker cannot start, once the quit has begun, and in a
// forked child (whose loop would never deliver the body).
void xs_Download(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    bool started = false;
    if (f.items == 2 && !forked_child() && !tray_state.quitting && !g_closing) {
        if (!g_session) g_session = net_open_session(kAgent);
        if (g_session) {
            KvSV* url = kv_xs_arg(interp, f, 0);
            KvSV* context = kv_xs_arg(interp, f, 1);
            // The conversion may run script code, and die: before anything is taken.
            KvStrLen length = 0;
            const char* text = kv_sv_pv(interp, url, &length);
            if (text && start_download(url, context, text, length)) {
                // The worker never looks at the values: their references are
                // taken here, on the main thread, and released by the completion.
                kv_sv_refcnt_inc(url);
                kv_sv_refcnt_inc(context);
                started = true;
            }
        }
    }
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, started ? api.Perl_Isv_yes_ptr(interp) : api.Perl_Isv_no_ptr(interp));
    kv_xs_return(interp, f, 1);
}

// ---- the completion ------------------------------------------------------------------------
struct Completion {
    KvInterp* interp;
    DownloadRequest* request;
};

// Inside the call's jump frame: the values go to the temporaries of the
// call's scope, so that they are released when it ends (also by a jump);
// CONTENT is made at its final size and the chunks freed as they are copied.
void deliver(void* p) {
    auto* c = static_cast<Completion*>(p);
    KvInterp* interp = c->interp;
    DownloadRequest* r = c->request;
    kv_enter_scope(interp);
    KvSV* url = api.Perl_sv_2mortal(interp, r->url_value);
    KvSV* context = api.Perl_sv_2mortal(interp, r->context_value);
    r->url_value = r->context_value = nullptr;
    if (!r->failed && r->body && !r->chunks) {
        // The whole body came as announced (or shorter): its buffer becomes
        // CONTENT's own.
        KvSV* content = api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, 0));
        unsigned char* body = r->body;
        size_t length = r->body_length;
        r->body = nullptr;
        r->body_length = r->total = 0;
        body[length] = 0;
        api.Perl_sv_usepvn_flags(interp, content, reinterpret_cast<char*>(body), length, KV_SV_HAS_TRAILING_NUL);
        kv_sv_set_len(content, r->body_size);
        KvSV* args[] = {content, context, url};
        kv_push_values(interp, args, 3);
        kv_call_named(interp, "Nimbrel::Internet", KV_G_EVAL | KV_G_DISCARD);
    } else if (!r->failed) {
        KvSV* content = api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, r->total + 1));
        char* bytes = kv_sv_pvx(content);
        size_t at = 0;
        if (r->body) {
            memcpy(bytes, r->body, r->body_length);
            at = r->body_length;
            free(r->body);
            r->body = nullptr;
        }
        while (DownloadChunk* chunk = r->chunks) {
            // Room for the terminating NUL, whatever the chunks say.
            if (chunk->length >= r->total + 1 - at) break;
            memcpy(bytes + at, chunk_data(chunk), chunk->length);
            at += chunk->length;
            r->chunks = chunk->next;
            free(chunk);
        }
        kv_sv_set_string_length(content, at);
        KvSV* args[] = {content, context, url};
        kv_push_values(interp, args, 3);
        kv_call_named(interp, "Nimbrel::Internet", KV_G_EVAL | KV_G_DISCARD);
    } else if (api.Perl_get_cv(interp, "Nimbrel::DownloadFailed", 0)) {
        KvSV* error = api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, r->error, 0));
        KvSV* args[] = {error, context, url};
        kv_push_values(interp, args, 3);
        kv_call_named(interp, "Nimbrel::DownloadFailed", KV_G_EVAL | KV_G_DISCARD);
    }
    kv_leave_scope(interp);
}

}  // namespace

void tray_download_xs_init(KvInterp* interp) { api.Perl_newXS(interp, "Nimbrel::Download", xs_Download, kFile); }

void tray_download_done(uintptr_t request) {
    // A forked child holds a copy of the parent's queue and registry: the
    // parent delivers.
    if (forked_child()) return;
    auto* r = reinterpret_cast<DownloadRequest*>(request);
    if (!take_finished(r)) return;
    // Once the quit has begun nothing reaches the script: the values stay
    // with the interpreter, which releases them when it is destroyed.
    if (tray_state.session && !tray_state.quitting && !tray_state.quit_pending) {
        Completion call = {kovrun_interp(tray_state.session), r};
        tray_event_call(deliver, &call);
    }
    free_request(r);
}

void tray_download_quit() {
    if (forked_child()) return;
    pthread_mutex_lock(&g_lock);
    g_closing = 1;
    if (g_session) net_cancel(g_session);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += kQuitWaitMs * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    while (g_workers > 0)
        if (pthread_cond_timedwait(&g_worker_ended, &g_lock, &deadline) == ETIMEDOUT) break;
    bool idle = g_workers == 0;
    pthread_mutex_unlock(&g_lock);
    // A worker that still runs keeps the session; the end of the program
    // decides.
    if (idle && g_session) {
        net_close_session(g_session);
        g_session = nullptr;
    }
}

bool tray_download_end() {
    if (forked_child()) return true;
    pthread_mutex_lock(&g_lock);
    g_closing = 1;
    bool idle = g_workers == 0;
    DownloadRequest* left = idle ? g_requests : nullptr;
    if (idle) g_requests = nullptr;
    pthread_mutex_unlock(&g_lock);
    if (!idle) return false;
    while (left) {
        DownloadRequest* next = left->next;
        free_request(left);
        left = next;
    }
    net_close_session(g_session);
    g_session = nullptr;
    return true;
}
