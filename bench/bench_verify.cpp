// VerifyDemoPayload against the bare loop it cannot beat: one reused
// z_stream (inflateReset), output into one reused buffer, crc32 over it.
// Argument: decompressed size; data is text-like, compressed at level 6.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <vector>

#include "core/demo_verify.h"
#include "tests/unit/zlib_payloads.h"

namespace {

struct Payload {
    std::string data;
    std::string compressed;
    uint32_t crc;
};

const Payload& PayloadOf(size_t size) {
    static std::vector<std::pair<size_t, Payload>> cache;
    for (auto& [s, p] : cache)
        if (s == size) return p;
    std::string data = vistrel::testing::SemiCompressible(size, 42);
    std::string compressed = vistrel::testing::Deflate(data, 6);
    uint32_t crc = vistrel::testing::Crc(data);
    cache.emplace_back(size, Payload{std::move(data), std::move(compressed), crc});
    return cache.back().second;
}

void BM_VerifyDemoPayload(benchmark::State& state) {
    const Payload& p = PayloadOf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        auto outcome = vistrel::VerifyDemoPayload(p.compressed, p.crc);
        if (outcome != vistrel::TVerifyOutcome::Verified) state.SkipWithError("not verified");
        benchmark::DoNotOptimize(outcome);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["compression"] = static_cast<double>(p.data.size()) / static_cast<double>(p.compressed.size());
}

void BM_RawInflateCrc32(benchmark::State& state) {
    const Payload& p = PayloadOf(static_cast<size_t>(state.range(0)));
    z_stream s{};
    inflateInit(&s);
    std::vector<unsigned char> out(65536);
    for (auto _ : state) {
        inflateReset(&s);
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p.compressed.data()));
        s.avail_in = static_cast<uInt>(p.compressed.size());
        uLong crc = 0;
        int rc;
        do {
            s.next_out = out.data();
            s.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&s, Z_NO_FLUSH);
            crc = crc32(crc, out.data(), static_cast<uInt>(out.size() - s.avail_out));
        } while (rc == Z_OK);
        if (rc != Z_STREAM_END || crc != p.crc) state.SkipWithError("bad stream");
        benchmark::DoNotOptimize(crc);
    }
    inflateEnd(&s);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_RawInflateCrc32)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_VerifyDemoPayload)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
