// The HTTP client on libcurl: the platform's internet calls (platform/net.h)
// as a pull interface. Each open URL is one easy handle driven by a multi
// handle of its own on the caller's thread; its write callback copies the
// body into the buffer of the read that runs, keeps what does not fit for
// the next read, and pauses the transfer while no read waits. So the body
// is never held by this layer beyond one delivery of libcurl's.
//
// The session is a share handle: the name cache and the TLS sessions are
// shared by all requests, under one mutex per kind of data. Connections are
// not shared (libcurl does not support a connection pool used by several
// threads at once), so each request has its own.
#include "platform/net.h"

#include <curl/curl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct NetSession {
    CURLSH* share;
    curl_slist* headers;  // sent with every request; read only once made
    char* agent;
    int cancelled;  // read and written with atomic operations
    pthread_mutex_t locks[CURL_LOCK_DATA_LAST];
};

struct NetUrl {
    NetSession* session;
    CURLM* multi;
    CURL* easy;
    // The buffer of the read that runs; null between reads.
    unsigned char* dest;
    size_t dest_size;
    size_t dest_used;
    // The part of a delivery that did not fit into the read's buffer: the
    // next read begins with it.
    unsigned char* spill;
    size_t spill_capacity;
    size_t spill_start;
    size_t spill_end;
    bool paused;        // the write callback paused the transfer
    bool body_started;  // the final response's body has begun (or the transfer ended)
    bool done;
    CURLcode result;
};

namespace {

constexpr long kMaxRedirects = 10;
constexpr int kPollMs = 100;
constexpr long kReceiveBuffer = 65536;  // the longest wait before the cancel flag is looked at again

uint32_t g_connect_ms = 30000;
uint32_t g_stall_ms = 60000;

pthread_mutex_t g_init_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_initialised = false;

bool global_init() {
    pthread_mutex_lock(&g_init_lock);
    if (!g_initialised) g_initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    bool ok = g_initialised;
    pthread_mutex_unlock(&g_init_lock);
    return ok;
}

void share_lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    auto* s = static_cast<NetSession*>(user);
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) pthread_mutex_lock(&s->locks[data]);
}

void share_unlock(CURL*, curl_lock_data data, void* user) {
    auto* s = static_cast<NetSession*>(user);
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) pthread_mutex_unlock(&s->locks[data]);
}

bool cancelled(const NetSession* s) { return __atomic_load_n(&s->cancelled, __ATOMIC_ACQUIRE) != 0; }

// Keeps bytes that did not fit into the read's buffer. False when memory is short.
bool keep(NetUrl* u, const char* data, size_t n) {
    if (n > u->spill_capacity) {
        auto* bigger = static_cast<unsigned char*>(realloc(u->spill, n));
        if (!bigger) return false;
        u->spill = bigger;
        u->spill_capacity = n;
    }
    memcpy(u->spill, data, n);
    u->spill_start = 0;
    u->spill_end = n;
    return true;
}

// libcurl's delivery of body bytes. It comes only while no kept bytes wait
// (a read hands those out before it drives the transfer). A full buffer (or
// none, while the URL is being opened) pauses the transfer: libcurl then
// delivers the same bytes again once it goes on, so none is lost and none
// taken twice. Otherwise as much as fits is copied and the rest kept.
size_t on_write(char* data, size_t size, size_t count, void* user) {
    auto* u = static_cast<NetUrl*>(user);
    size_t n = size * count;
    u->body_started = true;
    size_t room = u->dest ? u->dest_size - u->dest_used : 0;
    if (n == 0) return 0;
    if (room == 0) {
        u->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t take = n < room ? n : room;
    memcpy(u->dest + u->dest_used, data, take);
    u->dest_used += take;
    if (take < n && !keep(u, data + take, n - take)) return 0;  // a write error ends the transfer
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return cancelled(static_cast<NetUrl*>(user)->session) ? 1 : 0;
}

void collect(NetUrl* u) {
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(u->multi, &left)) {
        if (m->msg == CURLMSG_DONE && m->easy_handle == u->easy) {
            u->done = true;
            u->result = m->data.result;
        }
    }
}

void end_with(NetUrl* u, CURLcode result) {
    u->done = true;
    u->result = result;
}

// Drives the transfer until the body has begun (`open`) or the read's buffer
// is full, or the transfer has ended.
void drive(NetUrl* u, bool open) {
    for (;;) {
        if (u->done) return;
        if (open ? u->body_started : (u->paused || u->dest_used == u->dest_size)) return;
        if (cancelled(u->session)) return end_with(u, CURLE_ABORTED_BY_CALLBACK);
        int running = 0;
        CURLMcode mc = curl_multi_perform(u->multi, &running);
        if (mc != CURLM_OK) return end_with(u, mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT);
        collect(u);
        if (u->done || (open ? u->body_started : (u->paused || u->dest_used == u->dest_size))) continue;
        mc = curl_multi_poll(u->multi, nullptr, 0, kPollMs, nullptr);
        if (mc != CURLM_OK) return end_with(u, CURLE_FAILED_INIT);
    }
}

// The request's options; the first that libcurl refuses gives the error.
CURLcode configure(NetUrl* u, const char* url) {
    NetSession* s = u->session;
    CURL* e = u->easy;
    long connect_ms = static_cast<long>(__atomic_load_n(&g_connect_ms, __ATOMIC_RELAXED));
    long stall_s = static_cast<long>((__atomic_load_n(&g_stall_ms, __ATOMIC_RELAXED) + 999) / 1000);
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) rc = curl_easy_setopt(e, option, value);
    };
    set(CURLOPT_URL, url);
    set(CURLOPT_SHARE, s->share);
    set(CURLOPT_USERAGENT, s->agent);
    set(CURLOPT_HTTPHEADER, s->headers);
    set(CURLOPT_NOSIGNAL, 1L);
    // ftp only where this libcurl has it.
    if (curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,ftp") != CURLE_OK) set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, stall_s < 1 ? 1L : stall_s);
    // libcurl's receive buffer at the size of a read: fewer, larger deliveries.
    set(CURLOPT_BUFFERSIZE, kReceiveBuffer);
    set(CURLOPT_WRITEFUNCTION, on_write);
    set(CURLOPT_WRITEDATA, u);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, on_progress);
    set(CURLOPT_XFERINFODATA, u);
    // A cancelled request does not wait for a name lookup that still runs.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    return rc;
}

}  // namespace

extern "C" {

void net_set_timeouts(uint32_t connect_ms, uint32_t stall_ms) {
    if (connect_ms) __atomic_store_n(&g_connect_ms, connect_ms, __ATOMIC_RELAXED);
    if (stall_ms) __atomic_store_n(&g_stall_ms, stall_ms, __ATOMIC_RELAXED);
}

NetSession* net_open_session(const char* agent) {
    if (!global_init()) return nullptr;
    auto* s = static_cast<NetSession*>(calloc(1, sizeof(NetSession)));
    if (!s) return nullptr;
    for (pthread_mutex_t& m : s->locks) pthread_mutex_init(&m, nullptr);
    s->agent = strdup(agent ? agent : "");
    s->share = curl_share_init();
    curl_slist* h = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (h) {
        s->headers = h;
        h = curl_slist_append(h, "Pragma: no-cache");
    }
    bool ok = s->agent && s->share && h && curl_share_setopt(s->share, CURLSHOPT_USERDATA, s) == CURLSHE_OK &&
              curl_share_setopt(s->share, CURLSHOPT_LOCKFUNC, share_lock) == CURLSHE_OK &&
              curl_share_setopt(s->share, CURLSHOPT_UNLOCKFUNC, share_unlock) == CURLSHE_OK &&
              curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
              curl_share_setopt(s->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) {
        net_close_session(s);
        return nullptr;
    }
    return s;
}

void net_cancel(NetSession* s) {
    if (s) __atomic_store_n(&s->cancelled, 1, __ATOMIC_RELEASE);
}

void net_close_session(NetSession* s) {
    if (!s) return;
    if (s->share) curl_share_cleanup(s->share);
    curl_slist_free_all(s->headers);
    free(s->agent);
    for (pthread_mutex_t& m : s->locks) pthread_mutex_destroy(&m);
    free(s);
}

NetUrl* net_open_url(NetSession* s, const char* url, int* error) {
    *error = CURLE_OK;
    if (cancelled(s)) {
        *error = CURLE_ABORTED_BY_CALLBACK;
        return nullptr;
    }
    auto* u = static_cast<NetUrl*>(calloc(1, sizeof(NetUrl)));
    if (!u) {
        *error = CURLE_OUT_OF_MEMORY;
        return nullptr;
    }
    u->session = s;
    u->easy = curl_easy_init();
    u->multi = curl_multi_init();
    CURLcode rc = u->easy && u->multi ? configure(u, url) : CURLE_OUT_OF_MEMORY;
    if (rc == CURLE_OK && curl_multi_add_handle(u->multi, u->easy) != CURLM_OK) rc = CURLE_OUT_OF_MEMORY;
    if (rc != CURLE_OK) {
        *error = rc;
        net_close_url(u);
        return nullptr;
    }
    drive(u, true);
    if (u->done && u->result != CURLE_OK) {
        *error = u->result;
        net_close_url(u);
        return nullptr;
    }
    return u;
}

int net_read(NetUrl* u, void* buffer, size_t size, size_t* got, int* error) {
    *got = 0;
    *error = CURLE_OK;
    if (size == 0) return 1;
    auto* out = static_cast<unsigned char*>(buffer);
    // Kept bytes first: a body that arrived is delivered also when the
    // transfer failed afterwards; the failure comes with the next read.
    size_t kept = u->spill_end - u->spill_start;
    if (kept > 0) {
        size_t take = kept < size ? kept : size;
        memcpy(out, u->spill + u->spill_start, take);
        u->spill_start += take;
        *got = take;
        if (take == size) return 1;
    }
    u->dest = out;
    u->dest_size = size;
    u->dest_used = *got;
    if (u->paused && !u->done) {
        // The transfer goes on: libcurl may deliver the paused bytes from
        // inside this call.
        u->paused = false;
        CURLcode rc = curl_easy_pause(u->easy, CURLPAUSE_CONT);
        if (rc != CURLE_OK) end_with(u, rc);
    }
    drive(u, false);
    *got = u->dest_used;
    u->dest = nullptr;
    if (*got > 0) return 1;
    if (u->done && u->result != CURLE_OK) {
        *error = u->result;
        return 0;
    }
    return 1;
}

int64_t net_content_length(NetUrl* url) {
    curl_off_t length = -1;
    if (!url || curl_easy_getinfo(url->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) return -1;
    return length < 0 ? -1 : static_cast<int64_t>(length);
}

void net_close_url(NetUrl* u) {
    if (!u) return;
    if (u->multi && u->easy) curl_multi_remove_handle(u->multi, u->easy);
    if (u->easy) curl_easy_cleanup(u->easy);
    if (u->multi) curl_multi_cleanup(u->multi);
    free(u->spill);
    free(u);
}

const char* net_error_text(int error) { return curl_easy_strerror(static_cast<CURLcode>(error)); }

int net_error_is_final(int error) {
    return error == CURLE_OPERATION_TIMEDOUT || error == CURLE_ABORTED_BY_CALLBACK || error == CURLE_OUT_OF_MEMORY;
}

int net_cancelled_error(void) { return CURLE_ABORTED_BY_CALLBACK; }

}  // extern "C"
