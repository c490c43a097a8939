#include "support/EngineHarness.h"

namespace testing_support {

std::string TestCgiEngine::Run(const std::map<std::string, std::string>& variables, const std::string& body,
                               std::function<void(THttpEngine*)> handler) {
    std::string response;
    auto* list = new StringList(true);
    for (auto& [k, v] : variables) list->Add(k + "=" + v);
    auto* input = new MemoryStream();
    input->Write(body.data(), static_cast<int64_t>(body.size()));
    input->Seek(0, 0);
    if (handler) SetOnExecRequest(handler);
    ExecuteRequest(input, new StringSink(response), list);
    return response;
}

}  // namespace testing_support
