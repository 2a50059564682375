// Payload compression and decompression at level 2 (what every result and download uses) on a
// 50 MB dataset-like buffer, beside a plain memory copy of the same buffer as the baseline.
// Each figure is in bytes of uncompressed payload per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "common/bytes.h"
#include "service/payload_codec.h"

namespace {

constexpr size_t kPayloadSize = 50u * 1000 * 1000;

// Rows as a saved result set holds them: a 32-bit key, a double, a date, a flag and two texts as
// length-prefixed UTF-16 (names from a small vocabulary, codes with varying digits).
const common::Bytes& Payload() {
  static const common::Bytes payload = [] {
    static const char* const kWords[] = {"Zhang", "Wang",     "Li",      "Zhao",  "Chen",
                                         "Liu",   "Shanghai", "Beijing", "Order", "Invoice",
                                         "Paid",  "Pending",  "Shipped", "Note",  "Customer"};
    common::Bytes out;
    out.reserve(kPayloadSize + 256);
    uint64_t state = 0x2545F4914F6CDD1DULL;
    auto next = [&state] {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      return state;
    };
    auto text = [&out](const std::string& s) {
      common::AppendLE<int32_t>(out, static_cast<int32_t>(s.size() * 2));
      for (char c : s) common::AppendLE<uint16_t>(out, static_cast<uint8_t>(c));
    };
    for (int32_t id = 1; out.size() < kPayloadSize; ++id) {
      common::AppendLE<int32_t>(out, id);
      common::AppendLE<uint64_t>(out,
                                 common::DoubleBits(static_cast<double>(next() % 1000000) / 100));
      common::AppendLE<uint64_t>(out,
                                 common::DoubleBits(45000.0 + static_cast<double>(next() % 3650)));
      out.push_back(static_cast<uint8_t>(next() & 1));
      text(std::string(kWords[next() % 15]) + " " + kWords[next() % 15]);
      text("NO-" + std::to_string(next() % 100000000));
    }
    out.resize(kPayloadSize);
    return out;
  }();
  return payload;
}

const common::Bytes& CompressedPayload() {
  static const common::Bytes compressed = [] {
    common::Bytes stream = Payload();
    service::CompressStreamInPlace(stream, 2);
    return stream;
  }();
  return compressed;
}

void BM_MemoryCopy(benchmark::State& state) {
  const common::Bytes& payload = Payload();
  common::Bytes copy(payload.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), payload.data(), payload.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}

void BM_CompressLevel2(benchmark::State& state) {
  const common::Bytes& payload = Payload();
  for (auto _ : state) {
    state.PauseTiming();
    common::Bytes stream = payload;
    state.ResumeTiming();
    service::CompressStreamInPlace(stream, 2);
    benchmark::DoNotOptimize(stream.data());
    state.counters["ratio"] =
        static_cast<double>(payload.size()) / static_cast<double>(stream.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}

void BM_DecompressLevel2(benchmark::State& state) {
  const common::Bytes& compressed = CompressedPayload();
  for (auto _ : state) {
    state.PauseTiming();
    common::Bytes stream = compressed;
    state.ResumeTiming();
    service::DecompressStreamInPlace(stream);
    benchmark::DoNotOptimize(stream.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Payload().size()));
}

BENCHMARK(BM_MemoryCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressLevel2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressLevel2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
