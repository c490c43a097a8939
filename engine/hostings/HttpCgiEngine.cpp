#include "engine/hostings/HttpCgiEngine.h"

#include "engine/HttpUtils.h"
#include "platform/Text.h"

THttpCGIEngine::THttpCGIEngine(TComponent* owner) : THttpEngine(owner) {}

void THttpCGIEngine::WriteHeaderLine(const std::string& name, const std::string& value) {
    auto& c = Context();
    if (!c.output) return;
    std::string line;
    std::string upperName = text::UpperCase(name);
    bool statusRewritten = false;
    if (text::StartsWith(upperName, "HTTP/1.")) {
        std::string software = text::UpperCase(GetServerSoftware());
        if (software.find("NETSCAPE") != std::string::npos || software.find("APACHE") != std::string::npos ||
            software.find("STRONGHOLD") != std::string::npos) {
            line = "Status:" + (name.size() > 8 ? name.substr(8, http::PieceBytes) : std::string()) + "\r\n";
            statusRewritten = true;
        }
    }
    if (!statusRewritten) line = value.empty() ? name + "\r\n" : name + ": " + value + "\r\n";
    c.output->Write(line.data(), static_cast<int64_t>(line.size()));
}

void THttpCGIEngine::EndHeader() {
    auto& c = Context();
    if (c.output) c.output->Write("\r\n", 2);
}

void THttpCGIEngine::FinishRequest() {
    THttpEngine::FinishRequest();
    if (EndsProcessWhenFinished()) Terminate();
}

void THttpCGIEngine::EndAfterErrorPage() {
    if (Lifetime() != TProcessLifetime::OneRequestPerProcess) return;
    SendResponse();
    Terminate();
}
