#include "engine/ClientInput.h"

#include <algorithm>

#include "engine/HttpEngine.h"
#include "engine/HttpUtils.h"
#include "engine/Watchdog.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {
// Body bytes are read in pieces of this size.
constexpr int32_t InputChunk = http::PieceBytes;
}  // namespace

int32_t THttpEngine::ReadInput(void* buffer, int32_t count) {
    auto& c = Context();
    if (!c.input) return -1;
    SetWatchdogDeadline(MaxInputWaitSeconds);
    char* p = static_cast<char*>(buffer);
    int32_t total = 0;
    int64_t last = 0;
    while (total < count && last >= 0) {
        last = c.input->Read(p + total, std::min(count - total, InputChunk));
        if (last > 0) {
            SetWatchdogDeadline(MaxInputWaitSeconds);
            total += static_cast<int32_t>(last);
            c.inputBytesRead += last;
        } else {
            // The end of the stream: nothing more will arrive, so the body is
            // as long as what came (retrying would spin until the watchdog).
            if (total == 0) total = static_cast<int32_t>(last);
            break;
        }
    }
    SetWatchdogDeadline(0);
    if (debugMode_ != TDebugMode::NoDebug && total > 0 && c.clientInputCapture) {
        int64_t kept = total;
        if (keptInputLimit_ >= 0)
            kept = std::clamp<int64_t>(keptInputLimit_ - c.clientInputCapture->Size(), 0, total);
        if (kept > 0) c.clientInputCapture->Write(buffer, kept);
    }
    return total;
}

void THttpEngine::DiscardUnreadBody() {
    auto& c = Context();
    if (!c.input || !c.variables) return;
    int64_t rest = std::min<int64_t>(GetContentLength() - c.inputBytesRead, MaxDiscardedBodyBytes);
    char piece[16 * InputChunk];
    while (rest > 0) {
        int32_t got = ReadInput(piece, static_cast<int32_t>(std::min<int64_t>(rest, sizeof piece)));
        if (got <= 0) break;
        rest -= got;
    }
    SetWatchdogDeadline(0);
}

void THttpEngine::ReadClientInput() {
    if (autoReadLimit_ > 0 && GetContentLength() > autoReadLimit_) throw Exception("Content length exceeds allowed limit");
    if (text::UpperCase(GetVar("CONTENT_TYPE")).find("MULTIPART/FORM-DATA") != std::string::npos)
        throw Exception("Method not supported in this version(PUT)");
    std::string method = text::UpperCase(GetVar("REQUEST_METHOD"));
    auto& c = Context();
    if (method == "POST") {
        if (!AllowedMethods.Post()) throw Exception("Method not allowed (POST)");
        int32_t n = GetContentLength();
        if (n > 0) {
            // The buffer grows with the bytes that arrive, so an announced
            // length costs nothing until the bytes are really sent; beyond the
            // kept limit they are read (the client may finish sending) and dropped.
            const size_t keep = keptInputLimit_ < 0 ? static_cast<size_t>(n) : static_cast<size_t>(keptInputLimit_);
            std::string body;
            bool dropped = false;
            char piece[16 * InputChunk];
            for (int32_t received = 0; received < n;) {
                int32_t want = std::min<int32_t>(n - received, sizeof piece);
                int32_t got = ReadInput(piece, want);
                if (got <= 0) break;
                size_t room = keep - std::min(keep, body.size());
                body.append(piece, std::min(room, static_cast<size_t>(got)));
                if (static_cast<size_t>(got) > room) dropped = true;
                received += got;
                if (got < want) break;
            }
            // A field cut short would carry a wrong value: the fields end at
            // the last "&" kept.
            if (dropped) {
                size_t last = body.rfind('&');
                body.resize(last == std::string::npos ? 0 : last);
            }
            body += '&';
            http::AddUrlEncodedFields(*c.formFields, body);
        }
    }
    if (AllowedMethods.Get()) {
        http::AddUrlEncodedFields(*c.formFields, GetVar("QUERY_STRING") + "&");
    } else if (method == "GET") {
        throw Exception("Method not allowed (GET)");
    }
}

std::string THttpEngine::GetFormField(const std::string& name, const std::string& defaultValue) {
    auto* fields = Context().formFields.get();
    if (!fields) return defaultValue;
    const std::string* value = fields->Find(name);
    if (!value || value->empty()) return defaultValue;
    return *value;
}

std::vector<std::string> THttpEngine::GetFormFieldNames() {
    auto* fields = Context().formFields.get();
    return fields ? fields->Names() : std::vector<std::string>();
}
