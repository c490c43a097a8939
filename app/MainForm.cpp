#include "app/MainForm.h"

#include "app/BrowserCopies.h"
#include "app/Gallery.h"
#include "app/GalleryRequest.h"
#include "app/Pages.h"
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
void DispatchToPage(GalleryRequest& request) {
    request.Trace().Clear();
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
    request.queryString = HttpGetVar("QUERY_STRING");
    const std::string& query = request.queryString;
    if (query == "S") {
        Pages().report();
    } else if (query == "W") {
        Pages().slideshow();
    } else if (query == "REPAIR") {
        Pages().repair();
    } else if (std::string picture = BrowserCopyRequested(query, PictureDirectory()); !picture.empty()) {
        // The link of a picture most browsers cannot show (the site owner's
        // formats setting): the JPEG made of it.
        SendBrowserCopy(PictureDirectory(), picture);
    } else {
        request.urlDirectory = UrlDirectory();
        Pages().photo();
    }
}
}  // namespace

void DispatchRequest() {
    // Each request starts from nothing of an earlier one's (served by the
    // same thread or not), but what a resident process keeps of its folders
    // between requests, as long as they stay unchanged; a CGI process keeps
    // nothing.
    THttpEngine* engine = CurrentHttpEngine();
    GalleryRequest request(engine && engine->Lifetime() == TProcessLifetime::Resident);
    GalleryRequest::Binding binding(request);
    try {
        DispatchToPage(request);
    } catch (...) {
        // The lines of a failed request are kept for whoever looks into it.
        request.Trace().FlushQuietly();
        throw;
    }
    request.Trace().Flush();
}
