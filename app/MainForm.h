// The program's hidden main form: it holds the engine component with the
// gallery's stored settings and the request handler that dispatches to a page.
#pragma once
#include "engine/Component.h"
#include "engine/hostings/GeneralEngine.h"

class TMainform : public TForm {
public:
    // Creating the form serves the request (and, under CGI, ends the process).
    TMainform();
    TGeneralHttpEngine* GeneralHttpEngine1;
    void GeneralHttpEngine1ExecRequest(THttpEngine* sender);
};

// The request handler's work: the trace file, then the page that the method
// and query string choose.
void DispatchRequest();
