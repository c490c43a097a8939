// One request to the gallery and what it owns while it is served: its trace,
// its view of the folders it looks into (with the record of what it looked
// up and the files it created), and the query string and URL folder the
// dispatcher stores for the pages. The dispatcher makes it when a request
// arrives and it ends with the request: the next request, even on the same
// thread, starts from nothing but what the process keeps of its folders
// (KeptFolders.h), which the view consults.
//
// The thread serving the request has it bound, as the engine binds its
// request to the thread (HttpSend), so that the gallery's routines reach it
// (TraceLine, the lookups of folder_view); work done for it on another
// thread (the thumbnail jobs) is handed the request and binds it there with
// a trace of its own.
#pragma once
#include <string>
#include <vector>

#include "app/FolderView.h"
#include "app/Trace.h"

class GalleryRequest {
public:
    // resident: the process goes on serving after this request, so the
    // request may use and fill what the process keeps of its folders.
    explicit GalleryRequest(bool resident);
    // A request whose trace lines are kept in lines instead of the trace file.
    GalleryRequest(bool resident, std::vector<std::string>& lines);
    GalleryRequest(const GalleryRequest&) = delete;
    GalleryRequest& operator=(const GalleryRequest&) = delete;

    TraceSink& Trace() { return trace_; }
    FolderView& Folders() { return folders_; }

    // The query string of a GET request, stored by the dispatcher.
    std::string queryString;
    // The URL path of the script's folder, ending in "/", stored by the
    // dispatcher on the way to the photo page of a GET request.
    std::string urlDirectory;

    // Binds a request to the calling thread while it lives; the one bound
    // before comes back after it.
    class Binding {
    public:
        // The request's own thread: lines go to the request's trace.
        explicit Binding(GalleryRequest& request);
        // Work done for the request on another thread: lines go to trace.
        Binding(GalleryRequest& request, TraceSink& trace);
        ~Binding();
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;

    private:
        GalleryRequest* previousRequest_;
        TraceSink* previousTrace_;
    };

private:
    TraceSink trace_;
    FolderView folders_;
};

// The request the calling thread serves or works for; nullptr outside one.
GalleryRequest* BoundRequest();
// The same for code that only ever runs inside a request (the pages); raises
// when the thread has none.
GalleryRequest& CurrentRequest();
// Where the calling thread's trace lines go; nullptr outside a request.
TraceSink* BoundTrace();
