// TGameApi: vistrel-watch's look at a relay's HTTP API for the one number the
// viewer port never carries: how far the watched game goes. One bounded GET
// of /api/v1/games/{id} at a time (libcurl); a tool may wait that long, the
// relay itself never does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vistrel::client {

class TGameApi {
public:
    // A request gives up after this long; the body is read up to kMaxBody.
    static constexpr long kTimeoutMs = 1000;
    static constexpr size_t kMaxBody = 1 << 20;

    // baseUrl: the relay's HTTP side (http://HOST:PORT/ or https://...);
    // password: its watch password, or empty where reads need none.
    TGameApi(std::string baseUrl, std::string password);
    ~TGameApi();
    TGameApi(const TGameApi&) = delete;
    TGameApi& operator=(const TGameApi&) = delete;

    // The locations of the game viewers may see now (the stored packets and
    // gaps before the broadcast delay's edge); nullopt with the reason when
    // the relay could not say.
    std::optional<int32_t> VisibleLocations(int32_t gameId, std::string& error);

private:
    std::string base_;
    std::string password_;
    void* curl_;
};

}  // namespace vistrel::client
