#include "app/GalleryRequest.h"

#include "platform/Exception.h"

namespace {
// What the calling thread works for: the only per-thread state of the
// gallery, one binding of a request that owns everything else.
struct BoundWork {
    GalleryRequest* request = nullptr;
    TraceSink* trace = nullptr;
};
thread_local BoundWork t_bound;
}  // namespace

GalleryRequest::GalleryRequest(bool resident) : folders_(resident) {}

GalleryRequest::GalleryRequest(bool resident, std::vector<std::string>& lines) : trace_(lines), folders_(resident) {}

GalleryRequest::Binding::Binding(GalleryRequest& request) : Binding(request, request.trace_) {}

GalleryRequest::Binding::Binding(GalleryRequest& request, TraceSink& trace)
    : previousRequest_(t_bound.request), previousTrace_(t_bound.trace) {
    t_bound.request = &request;
    t_bound.trace = &trace;
}

GalleryRequest::Binding::~Binding() {
    t_bound.request = previousRequest_;
    t_bound.trace = previousTrace_;
}

GalleryRequest* BoundRequest() { return t_bound.request; }

GalleryRequest& CurrentRequest() {
    if (!t_bound.request) throw Exception("no gallery request on this thread");
    return *t_bound.request;
}

TraceSink* BoundTrace() { return t_bound.trace; }
