#include "engine/hostings/GeneralEngine.h"

#include "engine/hostings/CgiStdEngine.h"
#include "engine/hostings/HostingChoice.h"
#include "engine/hostings/ServerExchange.h"
#include "engine/hostings/WinCgiEngine.h"
#include "platform/Environment.h"

namespace {
THttpCGIEngine* g_cgiEngine = nullptr;
THttpEngine* g_libraryEngine = nullptr;
TGeneralHttpEngine::LibraryEngineFactory g_libraryFactory = nullptr;
}  // namespace

THttpCGIEngine* TGeneralHttpEngine::CgiEngine() { return g_cgiEngine; }
THttpEngine* TGeneralHttpEngine::LibraryEngine() { return g_libraryEngine; }
void TGeneralHttpEngine::SetLibraryEngineFactory(LibraryEngineFactory factory) { g_libraryFactory = factory; }

TGeneralHttpEngine::TGeneralHttpEngine(TComponent* owner) : THttpEngine(owner) {
    THttpEngine* concrete;
    if (platform::RunningAsLibrary()) {
        if (!g_libraryFactory) throw Exception("No engine for this library host");
        concrete = g_libraryEngine = g_libraryFactory(owner);
    } else if (IsFastCgi()) {
        concrete = g_cgiEngine = NewFastCgiEngine(owner);
    } else {
        if (IsWinCgi()) g_cgiEngine = new TCGIWinEngine(owner);
        else g_cgiEngine = new TCGIStdEngine(owner);
        // A server launch becomes the server mode's resident instance (the
        // engine runs its loop); any other start serves one request.
        if (IsServerLaunch()) g_cgiEngine->SetLifetime(TProcessLifetime::Resident);
        concrete = g_cgiEngine;
    }
    if (concrete) SetLifetime(concrete->Lifetime());
    SetCGIAutoTerminate(true);
}

void TGeneralHttpEngine::SetCGIAutoTerminate(bool v) {
    cgiAutoTerminate_ = v;
    if (!platform::RunningAsLibrary() && g_cgiEngine) g_cgiEngine->CGIAutoTerminate = v;
}

namespace {
TIsapiEngine* IsapiEngineOfThisLibrary() {
    return platform::RunningAsLibrary() ? dynamic_cast<TIsapiEngine*>(g_libraryEngine) : nullptr;
}
}  // namespace

void TGeneralHttpEngine::SetOnIsapiExtensionVersion(THttpExtensionVersionEvent e) {
    onIsapiExtensionVersion_ = e;
    if (TIsapiEngine* isapi = IsapiEngineOfThisLibrary()) isapi->OnIsapiExtensionVersion = std::move(e);
}

void TGeneralHttpEngine::SetOnIsapiFilterProc(THttpFilterProcEvent e) {
    onIsapiFilterProc_ = e;
    if (TIsapiEngine* isapi = IsapiEngineOfThisLibrary()) isapi->OnIsapiFilterProc = std::move(e);
}

void TGeneralHttpEngine::SetOnIsapiFilterVersion(THttpFilterVersionEvent e) {
    onIsapiFilterVersion_ = e;
    if (TIsapiEngine* isapi = IsapiEngineOfThisLibrary()) isapi->OnIsapiFilterVersion = std::move(e);
}

void TGeneralHttpEngine::Terminate() {
    THttpEngine* current = Context().currentEngine;
    if (current && current != this) current->Terminate();
}

void TGeneralHttpEngine::CopySettingsTo(THttpEngine* target) {
    target->SetOnExecRequest(OnExecRequest());
    target->SetOnFirstExecRequest(OnFirstExecRequest());
    target->SetOnLastExecRequest(OnLastExecRequest());
    target->SetOnRequestError(OnRequestError());
    target->SetOnPrepareRequest(OnPrepareRequest());
    target->SetDebugMode(DebugMode());
    target->SetNoCache(NoCache());
    target->SetAutoContentType(AutoContentType());
    target->SetAutoHttpHeader(AutoHttpHeader());
    target->SetAutoReadInput(AutoReadInput());
    target->SetAutoReadLimit(AutoReadLimit());
    target->SetKeptInputLimit(KeptInputLimit());
    target->AllowedMethods.SetGet(AllowedMethods.Get());
    target->AllowedMethods.SetPost(AllowedMethods.Post());
    target->AllowedMethods.SetPut(AllowedMethods.Put());
    if (auto* cgi = dynamic_cast<THttpCGIEngine*>(target)) cgi->CGIAutoTerminate = cgiAutoTerminate_;
    target->SetServerMode(ServerMode());
    target->SetTempDir(TempDir());
}

void TGeneralHttpEngine::StartServing() {
    if (!g_cgiEngine) return;
    CopySettingsTo(g_cgiEngine);
    g_cgiEngine->ServeRequest(nullptr, nullptr, nullptr);
}

void TGeneralHttpEngine::Loaded() {
    THttpEngine::Loaded();
    if (platform::RunningAsLibrary()) {
        if (g_libraryEngine) CopySettingsTo(g_libraryEngine);
        return;
    }
    if (ServerMode() != 0 && !IsServerLaunch() && !IsServerRunning()) {
        StartServing();
        return;
    }
    auto* form = dynamic_cast<TForm*>(Owner());
    if (!creationHandlerInstalled_ && form) {
        savedCreationHandler_ = form->OnCreate;
        creationHandlerInstalled_ = true;
        form->OnCreate = [this](TComponent* sender) { CreationHandler(sender); };
        return;
    }
    StartServing();
}

void TGeneralHttpEngine::CreationHandler(TComponent* sender) {
    if ((ServerMode() == 0 || IsServerLaunch() || IsServerRunning()) && savedCreationHandler_)
        savedCreationHandler_(sender);
    StartServing();
}
