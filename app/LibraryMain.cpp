// Start-up of the library a web server loads: the same form and engine
// component as the program, with the extension engine behind them. Requests
// arrive later through the exported entry points.
#include "app/MainForm.h"
#include "engine/Log.h"
#include "engine/HttpEngine.h"
#include "engine/hostings/IsapiEngine.h"
#include "engine/RequestLifecycle.h"
#include "platform/Environment.h"

namespace {

THttpEngine* CreateIsapiEngine(TComponent* owner) { return new TIsapiEngine(owner); }

// The form lives as long as the library: the server may call in at any time
// until it unloads us. It goes with the library's static objects once the
// server has released the library (a server that loads it for a while only
// must find nothing of it left); a process that ends without releasing it
// leaves it to the system, as requests may still be running.
struct LibraryForm {
    TMainform* form = nullptr;
    ~LibraryForm() {
        if (form && TIsapiEngine::Released()) delete form;
    }
};
LibraryForm g_libraryForm;

// Runs while the server loads the library, before it calls any entry point.
[[gnu::constructor]] void StartLibrary() {
    try {
        platform::SetRunningAsLibrary(true);
        InitializeEngineProcess();
        TGeneralHttpEngine::SetLibraryEngineFactory(&CreateIsapiEngine);
        g_libraryForm.form = new TMainform();
    } catch (const std::exception& e) {
        // Without an engine every entry point answers with its failure value.
        WriteLog(e.what());
    } catch (...) {
        WriteLog("Unknown error while starting the library");
    }
}

}  // namespace
