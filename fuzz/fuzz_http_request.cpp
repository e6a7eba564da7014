// The HTTP API's answer to arbitrary requests: the method, path, peer,
// headers and query taken from the input, and the input's bytes written to
// the server log as a text from the network would be. Beyond not crashing:
// every answer has a status the API gives, every JSON answer parses, and the
// log's answer holds the line just written, as UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "net/event_loop.h"
#include "relay/main_form.h"
#include "web/web_api.h"

namespace {

class TQuietFrontEnd : public vistrel::TFrontEnd {
public:
    void ReportError(const std::exception&) override {}
};

std::string_view NextLine(std::string_view& text) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vistrel;
    static TEventLoop loop;
    static TQuietFrontEnd frontEnd;
    static TMainForm form(loop, frontEnd, nullptr);
    static TWebApi api(form, [] {
        TWebOptions options;
        options.Listen = THttpListen{"192.0.2.1", 0};
        options.Version = "fuzz";
        return options;
    }());
    form.SetupForEditing().RemoteAdminPasswordEdit = "pw";

    std::string_view text(reinterpret_cast<const char*>(data), size);
    THttpRequest request;
    request.Method = std::string(NextLine(text));
    request.Path = std::string(NextLine(text));
    request.PeerAddr = std::string(NextLine(text));
    for (std::string_view line = NextLine(text); !line.empty(); line = NextLine(text)) {
        const size_t colon = line.find(':');
        if (line.front() == '?')
            request.Query.emplace_back(std::string(line.substr(1, colon == std::string_view::npos ? line.size() : colon - 1)),
                                       colon == std::string_view::npos ? std::string() : std::string(line.substr(colon + 1)));
        else if (colon != std::string_view::npos)
            request.Headers.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
    }
    const THttpResponse answer = api.Handle(request);
    switch (answer.Status) {
        case 200: case 304: case 400: case 401: case 403: case 404: case 405: case 409: case 429: break;
        default: std::abort();
    }
    if (answer.ContentType.rfind("application/json", 0) == 0 &&
        nlohmann::json::parse(answer.Body, nullptr, false).is_discarded())
        std::abort();

    // The rest of the input as a log text from the network.
    form.ServerLog(false, text);
    THttpRequest log;
    log.Method = "GET";
    log.Path = "/api/v1/log";
    log.PeerAddr = "192.0.2.9";
    log.Headers.emplace_back("Authorization", "Basic OnB3");  // ":pw"
    log.Query.emplace_back("after", std::to_string(form.Console().Log().Count() - 1));
    loop.SetClock([] { return TEventLoop::Clock::now() + std::chrono::hours(1); });  // past any wait
    const THttpResponse logAnswer = api.Handle(log);
    loop.SetClock(nullptr);
    if (logAnswer.Status != 200) std::abort();
    const nlohmann::json body = nlohmann::json::parse(logAnswer.Body, nullptr, false);
    if (body.is_discarded() || body["lines"].size() != 1) std::abort();
    if (body["lines"][0]["text"].get<std::string>().size() < text.size()) std::abort();
    return 0;
}
