// The engine component placed on the gallery's main form: it creates the
// engine of the hosting the process was started in, passes its settings on,
// and serves the request once the form is complete.
#pragma once
#include "engine/hostings/HttpCgiEngine.h"
#include "engine/hostings/IsapiEngine.h"

class TGeneralHttpEngine : public THttpEngine {
public:
    explicit TGeneralHttpEngine(TComponent* owner);

    bool CGIAutoTerminate() const { return cgiAutoTerminate_; }
    void SetCGIAutoTerminate(bool v);

    void Loaded() override;
    void Terminate() override;
    void WriteHeaderLine(const std::string&, const std::string&) override {}
    void EndHeader() override {}

    // The extension events, handed to the library's engine (the gallery
    // assigns none).
    const THttpExtensionVersionEvent& OnIsapiExtensionVersion() const { return onIsapiExtensionVersion_; }
    void SetOnIsapiExtensionVersion(THttpExtensionVersionEvent e);
    const THttpFilterProcEvent& OnIsapiFilterProc() const { return onIsapiFilterProc_; }
    void SetOnIsapiFilterProc(THttpFilterProcEvent e);
    const THttpFilterVersionEvent& OnIsapiFilterVersion() const { return onIsapiFilterVersion_; }
    void SetOnIsapiFilterVersion(THttpFilterVersionEvent e);

    void CopySettingsTo(THttpEngine* target);
    void StartServing();

    // The concrete engine of this process (CGI-style hostings).
    static THttpCGIEngine* CgiEngine();
    // The concrete engine inside a library.
    static THttpEngine* LibraryEngine();
    // Set by the library's start-up before the form is created.
    using LibraryEngineFactory = THttpEngine* (*)(TComponent* owner);
    static void SetLibraryEngineFactory(LibraryEngineFactory factory);

private:
    void CreationHandler(TComponent* sender);
    bool cgiAutoTerminate_ = true;
    TNotifyEvent savedCreationHandler_;
    bool creationHandlerInstalled_ = false;
    THttpExtensionVersionEvent onIsapiExtensionVersion_;
    THttpFilterProcEvent onIsapiFilterProc_;
    THttpFilterVersionEvent onIsapiFilterVersion_;
};
