/* The HTTP client behind downloads: a thin layer over the platform's
   internet calls, in their shape. A session is opened once with the agent
   text; a URL is opened (the request is sent, redirects are followed and the
   final response's head received), its body read in pieces into the
   caller's buffer, and the URL closed; the session is closed last.

   Every request is made fresh from the server (no cache is read or written),
   through the proxy that the platform's settings name (on Linux the usual
   environment: http_proxy, https_proxy, no_proxy), with certificates checked
   against the system's store. Redirects are followed, at most 10 of them
   and only to http and https; the schemes are http, https and ftp.

   Threads: a session may be used by any number of threads at once, each with
   URLs of its own; a URL belongs to one thread at a time. Opening and
   closing the session and net_set_timeouts are for the main thread;
   net_cancel may be called from any thread.

   Errors are numbers of the client library (0 is none), with a short text
   for each.

   This file is valid C and C++. */
#ifndef NIMBREL_PLATFORM_NET_H
#define NIMBREL_PLATFORM_NET_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NetSession NetSession;
typedef struct NetUrl NetUrl;

/* The time-outs of the URLs opened from now on: establishing the connection
   (including the name lookup and the secure handshake) and a stall, a
   transfer that receives nothing for that long. Milliseconds; 0 keeps the
   value as it is. Defaults: 30 s to connect, 60 s of stall. */
void net_set_timeouts(uint32_t connect_ms, uint32_t stall_ms);

/* Opens a session with the user agent `agent`; null when the client cannot
   start. */
NetSession* net_open_session(const char* agent);

/* Makes every open and read of the session's URLs fail within a moment, now
   and from now on (error net_cancelled_error()). */
void net_cancel(NetSession* session);

/* Closes the session (null is allowed). No URL of it may be open. */
void net_close_session(NetSession* session);

/* Opens the URL: connects, sends the request, follows redirects and waits
   for the head of the final response. Null on failure, with the error in
   *error. Whatever the status, the response's body is what net_read reads. */
NetUrl* net_open_url(NetSession* session, const char* url, int* error);

/* Reads up to `size` bytes of the body into `buffer`: 1 with the number read
   in *got (fewer only at the end; 0 once the body is complete), or 0 on
   failure with the error in *error. A URL whose transfer failed keeps
   failing. */
int net_read(NetUrl* url, void* buffer, size_t size, size_t* got, int* error);

/* The length of the body that the response announces, -1 when it announces
   none. Only a hint: the body read may be shorter or longer. */
int64_t net_content_length(NetUrl* url);

/* Closes the URL (null is allowed). */
void net_close_url(NetUrl* url);

/* A short text for an error number (never null). */
const char* net_error_text(int error);

/* True for an error that no retry can mend: a time-out, a stall, a
   cancelled session. */
int net_error_is_final(int error);

/* The error of a cancelled session. */
int net_cancelled_error(void);

#ifdef __cplusplus
}
#endif

#endif
