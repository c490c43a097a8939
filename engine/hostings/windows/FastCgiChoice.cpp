// The choice of hosting on Windows, which has no FastCGI hosting (its web
// servers start the program as CGI or load the library): a start is never
// taken for FastCGI, "--fastcgi" included.
#include "engine/hostings/HostingChoice.h"

bool IsFastCgi() { return false; }

THttpCGIEngine* NewFastCgiEngine(TComponent*) { return nullptr; }
