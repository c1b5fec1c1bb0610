// Downloads: Nimbrel::Download(URL, CONTEXT) fetches a URL on a worker
// thread of its own, and the whole body comes back on the main thread as a
// call of the script's "Nimbrel::Internet"(CONTENT, CONTEXT, URL), posted to
// the window as TRAY_MSG_DOWNLOAD_DONE. A download that fails (the URL
// cannot be opened, the body cannot be read to its end, the server stalls)
// writes its diagnostic to the debugger output and calls
// "Nimbrel::DownloadFailed"(ERROR, CONTEXT, URL) instead where the script
// defines it; either way the two values are released on the main thread.
//
// Workers never touch the interpreter. Every request is kept in a registry
// until the main thread has consumed it, so that the quit sequence can end
// the workers that still run and the end of the program can free what was
// never delivered.
#pragma once

#include <stdint.h>

struct KvInterp;

// Defines Nimbrel::Download.
void tray_download_xs_init(KvInterp* interp);

// The completion handler: `request` is the wparam of TRAY_MSG_DOWNLOAD_DONE.
// Delivers the body (or the failure) to the script, or drops it once the
// quit has begun; frees the request. Main thread only.
void tray_download_done(uintptr_t request);

// The quit sequence's part: no download starts or is posted any more, the
// running ones are cancelled and waited for a moment, and the internet
// session is closed once none runs.
void tray_download_quit();

// The end of the program, after the event loop: frees the requests that were
// never delivered. False when a worker still runs (it could not be ended):
// the process must then end without its exit handlers (_exit), which the
// worker's library calls could not survive.
bool tray_download_end();
