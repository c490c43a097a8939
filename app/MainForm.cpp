#include "app/MainForm.h"

#include "app/FolderCache.h"
#include "app/FolderIndex.h"
#include "app/Gallery.h"
#include "app/Pages.h"
#include "app/SideFiles.h"
#include "app/ThumbnailBatch.h"
#include "app/Trace.h"
#include "engine/HttpEngine.h"

PageTable& Pages() {
    static PageTable table;
    return table;
}

TMainform::TMainform() {
    GeneralHttpEngine1 = new TGeneralHttpEngine(this);
    // The settings stored with the form.
    GeneralHttpEngine1->AllowedMethods.SetGet(true);
    GeneralHttpEngine1->AllowedMethods.SetPut(false);
    GeneralHttpEngine1->AllowedMethods.SetPost(true);
    GeneralHttpEngine1->SetAutoContentType("text/html");
    GeneralHttpEngine1->SetAutoReadLimit(0);
    // The gallery reads no form field: a body costs at most this much memory.
    GeneralHttpEngine1->SetKeptInputLimit(64 * 1024);
    GeneralHttpEngine1->SetDebugMode(TDebugMode::NoDebug);
    GeneralHttpEngine1->SetNoCache(false);
    GeneralHttpEngine1->SetTempDir("Temp");
    GeneralHttpEngine1->SetOnExecRequest([this](THttpEngine* sender) { GeneralHttpEngine1ExecRequest(sender); });
    // After the last request (the one request of a CGI process, a resident
    // process that stops serving, the library about to be unloaded): the
    // thumbnail threads end, once, while they still can.
    GeneralHttpEngine1->SetOnLastExecRequest([](THttpEngine*) { StopThumbnailThreads(); });
    GeneralHttpEngine1->SetBufferedOutput(true);
    GeneralHttpEngine1->SetCGIAutoTerminate(true);
    GeneralHttpEngine1->Loaded();
    DoCreate();
}

void TMainform::GeneralHttpEngine1ExecRequest(THttpEngine*) { DispatchRequest(); }

namespace {
void DispatchToPage() {
    // A resident process keeps what it learned of its folders between
    // requests, as long as they stay unchanged; a CGI process keeps nothing.
    THttpEngine* engine = CurrentHttpEngine();
    folder_cache::BeginRequest(engine && engine->Lifetime() == TProcessLifetime::Resident);
    folder_index::Reset();
    ForgetFirstLines();
    // Each request starts without a URL directory of its own; an earlier
    // request's (served by the same thread) must not leak into its links.
    GalleryUrlDirectory().clear();
    ClearTrace();
    TraceLine("Query_string " + HttpGetVar("QUERY_STRING"));
    TraceLine("Referer " + HttpGetVar("HTTP_REFERER"));
    TraceLine("Remote Adr " + HttpGetVar("REMOTE_ADDR"));
    TraceLine("ScriptName " + HttpGetVar("SCRIPT_NAME"));
    TraceLine("Remote IDENT " + HttpGetVar("REMOTE_IDENT"));
    TraceLine("REQUEST Method " + HttpGetVar("REQUEST_METHOD"));
    TraceLine("Here= " + HttpGetVar("HTTP_HOST") + HttpGetVar("SCRIPT_NAME"));

    if (HttpGetVar("REQUEST_METHOD") != "GET") {
        Pages().photo();
        return;
    }
    GalleryQueryString() = HttpGetVar("QUERY_STRING");
    const std::string& query = GalleryQueryString();
    if (query == "S") {
        Pages().report();
    } else if (query == "W") {
        Pages().slideshow();
    } else if (query == "REPAIR") {
        Pages().repair();
    } else {
        GalleryUrlDirectory() = UrlDirectory();
        Pages().photo();
    }
}
}  // namespace

void DispatchRequest() {
    try {
        DispatchToPage();
    } catch (...) {
        // The lines of a failed request are kept for whoever looks into it.
        FlushTraceQuietly();
        throw;
    }
    FlushTrace();
}
