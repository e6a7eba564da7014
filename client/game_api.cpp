#include "client/game_api.h"

#include <curl/curl.h>

#include <nlohmann/json.hpp>

namespace vistrel::client {

namespace {

struct TBody {
    std::string Text;
    bool TooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto& body = *static_cast<TBody*>(user);
    const size_t bytes = size * count;
    if (body.Text.size() + bytes > TGameApi::kMaxBody) {
        body.TooLarge = true;
        return 0;  // ends the transfer
    }
    body.Text.append(data, bytes);
    return bytes;
}

}  // namespace

TGameApi::TGameApi(std::string baseUrl, std::string password)
    : base_(std::move(baseUrl)), password_(std::move(password)), curl_(curl_easy_init()) {
    if (!base_.empty() && base_.back() != '/') base_ += '/';
}

TGameApi::~TGameApi() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

std::optional<int32_t> TGameApi::VisibleLocations(int32_t gameId, std::string& error) {
    auto* curl = static_cast<CURL*>(curl_);
    if (!curl) {
        error = "libcurl could not start";
        return std::nullopt;
    }
    const std::string url = base_ + "api/v1/games/" + std::to_string(gameId);
    TBody body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (!password_.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, "vistrel-watch");
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
    }
    const CURLcode code = curl_easy_perform(curl);
    if (body.TooLarge) {
        error = url + ": the answer is larger than " + std::to_string(kMaxBody) + " bytes";
        return std::nullopt;
    }
    if (code != CURLE_OK) {
        error = url + ": " + curl_easy_strerror(code);
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        error = url + ": HTTP " + std::to_string(status);
        return std::nullopt;
    }
    const nlohmann::json document = nlohmann::json::parse(body.Text, nullptr, false);
    const auto locations = document.is_object() ? document.find("locations") : document.end();
    if (!document.is_object() || locations == document.end() || !locations->is_number_integer() || *locations < 0 ||
        *locations > INT32_MAX) {
        error = url + ": no game document";
        return std::nullopt;
    }
    return locations->get<int32_t>();
}

}  // namespace vistrel::client
