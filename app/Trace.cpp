#include "app/Trace.h"

#include "app/Kit.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/TextFile.h"

std::string TraceBaseName() {
    std::string module = platform::ModulePath();
    std::string name = kit::FileNamePart(module);
    return kit::DirectoryPart(module) + name.substr(0, name.find('.'));
}

void TraceLine(const std::string& text) { platform::AppendTextLine(TraceBaseName() + ".tst", text); }

void ClearTrace() { platform::DeleteFile(TraceBaseName() + ".tst"); }
