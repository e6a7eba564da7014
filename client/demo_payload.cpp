#include "client/demo_payload.h"

#include <stdexcept>

namespace vistrel::client {

std::string Deflate(std::string_view data, int level, std::string_view dictionary) {
    z_stream s{};
    if (deflateInit(&s, level) != Z_OK) throw std::runtime_error("deflateInit");
    if (!dictionary.empty())
        deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size()));
    std::string out(deflateBound(&s, data.size()) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&s, Z_FINISH);
    deflateEnd(&s);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(s.total_out);
    return out;
}

uint32_t Crc(std::string_view data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

}  // namespace vistrel::client
