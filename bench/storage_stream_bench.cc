// Encoding and decoding of dataset streams: 1,000,000 rows of 10 columns (32- and 64-bit
// integers, doubles, a wide string of about 20 characters, a date-time, a decimal(12,2), a
// boolean, and columns that are often null), beside a plain memory copy of as many bytes.
//
// Figures: MB/s of stream bytes, rows/s, the share of the copy's bandwidth reached
// ("vs_copy"), and the peak heap the operation held ("peak_x": peak bytes / stream bytes).
//   encode_known    the result writer with the row count known (the output is sized once)
//   encode_unknown  the result writer pulling from a cursor of unknown length, into chunks as
//                   the server does ("contiguous": into one buffer grown as it fills)
//   decode          loading the stream into the table model
// The copy baselines: into a new buffer (what the encoder must do too: allocate and fill) and
// into a buffer already in place.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "heap_meter.h"
#include "storage/dataset_stream.h"
#include "storage/result_writer.h"
#include "storage/value_codec.h"

using bench::PeakMeter;

namespace {

using storage::DataType;
using storage::StoredValue;

constexpr uint64_t kRows = 1000000;
constexpr size_t kColumns = 10;
constexpr size_t kPool = 4096;  // distinct prepared rows, cycled

// The cursor's buffers: a pool of prepared rows in their stored layouts.
struct PreparedRows {
  std::vector<std::vector<common::Bytes>> values;  // [row][column]; empty and !present = null
  std::vector<std::vector<bool>> present;

  PreparedRows() : values(kPool), present(kPool) {
    for (size_t r = 0; r < kPool; ++r) {
      auto& v = values[r];
      auto& p = present[r];
      v.resize(kColumns);
      p.assign(kColumns, true);
      v[0] = Le(static_cast<int32_t>(r));
      v[1] = Le(static_cast<int64_t>(r) * 1000003);
      v[2] = Le(common::DoubleBits(r * 1.25));
      const std::u16string name = u"Customer name " + Digits(r);  // about 20 characters
      v[3] = Utf16(name);
      v[4] = Le(common::DoubleBits(
          storage::EncodeStoredDateTime(2020, 1 + r % 12, 1 + r % 28, static_cast<int>(r % 24))));
      const auto bcd =
          storage::BcdFromString(std::to_string(r) + "." + std::to_string(r % 100), 12, 2);
      v[5].assign(bcd->bytes().begin(), bcd->bytes().end());
      v[6] = Le(static_cast<uint16_t>(r % 2));
      v[7] = Utf16(u"note");
      p[7] = r % 4 == 0;  // mostly null
      v[8] = Le(static_cast<int32_t>(r % 1000));
      p[8] = r % 3 != 0;
      v[9] = Le(common::DoubleBits(r / 7.0));
      p[9] = r % 5 != 0;
    }
  }

  template <typename T>
  static common::Bytes Le(T v) {
    common::Bytes b(sizeof(T));
    common::StoreLE(b.data(), v);
    return b;
  }
  static std::u16string Digits(size_t n) {
    std::u16string s;
    for (char c : std::to_string(n)) s += static_cast<char16_t>(c);
    return s;
  }
  static common::Bytes Utf16(const std::u16string& s) {
    common::Bytes b;
    for (char16_t c : s) {
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
  }
};

const PreparedRows& Rows() {
  static const PreparedRows rows;
  return rows;
}

storage::TDAMemTable& Table() {
  static storage::TDAMemTable* table = [] {
    auto* t = new storage::TDAMemTable();
    t->SetName("ORDERS");
    t->Columns().Add("ID", DataType::dtInt32);
    t->Columns().Add("BIG", DataType::dtInt64);
    t->Columns().Add("AMOUNT", DataType::dtDouble);
    t->Columns().Add("NAME", DataType::dtWideString).Size = 40;
    t->Columns().Add("CREATED", DataType::dtDateTime);
    auto& price = t->Columns().Add("PRICE", DataType::dtFmtBCD);
    price.Precision = 12;
    price.Scale = 2;
    t->Columns().Add("FLAG", DataType::dtBoolean);
    t->Columns().Add("NOTE", DataType::dtWideString).Size = 100;
    t->Columns().Add("QTY", DataType::dtInt32);
    t->Columns().Add("RATE", DataType::dtDouble);
    return t;
  }();
  return *table;
}

// A cursor over the prepared rows: like a database cursor, it hands out its buffers.
class Cursor : public storage::TDARowSource {
 public:
  explicit Cursor(bool know_count) : know_count_(know_count) {
    static const std::vector<std::array<StoredValue, kColumns>> views = [] {
      std::vector<std::array<StoredValue, kColumns>> v(kPool);
      const PreparedRows& p = Rows();
      for (size_t r = 0; r < kPool; ++r) {
        for (size_t c = 0; c < kColumns; ++c) {
          if (p.present[r][c]) v[r][c] = StoredValue::Of(p.values[r][c]);
        }
      }
      return v;
    }();
    views_ = &views;
  }
  bool Next(std::span<StoredValue> values) override {
    if (row_ == kRows) return false;
    const auto& row = (*views_)[row_++ % kPool];
    std::copy(row.begin(), row.end(), values.begin());
    return true;
  }
  std::optional<uint64_t> RowCountHint() const override {
    return know_count_ ? std::optional<uint64_t>(kRows) : std::nullopt;
  }

 private:
  bool know_count_;
  uint64_t row_ = 0;
  const std::vector<std::array<StoredValue, kColumns>>* views_;
};

const common::Bytes& Stream() {
  static const common::Bytes stream = [] {
    Cursor cursor(true);
    common::Bytes out;
    storage::WriteResultStream(Table(), cursor, out);
    return out;
  }();
  return stream;
}

// Bandwidths of the copies, measured first in the run.
double g_copy_mb_per_s = 0;
double g_copy_in_place_mb_per_s = 0;

void Report(benchmark::State& state, int64_t peak) {
  const double bytes = static_cast<double>(Stream().size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["stream_MB"] = bytes / 1e6;
  if (peak >= 0) state.counters["peak_x"] = static_cast<double>(peak) / bytes;
}

void BM_CopyIntoNewBuffer(benchmark::State& state) {
  const common::Bytes& src = Stream();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    common::Bytes dst(src.begin(), src.end());
    benchmark::DoNotOptimize(dst.data());
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_copy_mb_per_s =
      static_cast<double>(src.size()) * static_cast<double>(state.iterations()) / secs / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
  state.counters["stream_MB"] = static_cast<double>(src.size()) / 1e6;
}

void BM_CopyIntoPlace(benchmark::State& state) {
  const common::Bytes& src = Stream();
  common::Bytes dst(src.size());
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_copy_in_place_mb_per_s =
      static_cast<double>(src.size()) * static_cast<double>(state.iterations()) / secs / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}

template <typename Output>
void Encode(benchmark::State& state, bool know_count) {
  int64_t peak = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    PeakMeter meter;
    Cursor cursor(know_count);
    Output out;
    storage::WriteResultStream(Table(), cursor, out);
    benchmark::DoNotOptimize(&out);
    peak = std::max(peak, meter.Peak());
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Report(state, peak);
  const double mbs =
      static_cast<double>(Stream().size()) * static_cast<double>(state.iterations()) / secs / 1e6;
  if (g_copy_mb_per_s > 0) state.counters["vs_copy"] = mbs / g_copy_mb_per_s;
}

void BM_EncodeKnownCount(benchmark::State& state) { Encode<common::Bytes>(state, true); }

// Into an output whose memory is already in place (compare with the copy into place).
void BM_EncodeIntoPlace(benchmark::State& state) {
  common::Bytes out;
  out.reserve(Stream().size() + (1 << 20));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    out.clear();
    Cursor cursor(true);
    storage::WriteResultStream(Table(), cursor, out);
    benchmark::DoNotOptimize(out.data());
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Report(state, -1);
  const double mbs =
      static_cast<double>(Stream().size()) * static_cast<double>(state.iterations()) / secs / 1e6;
  if (g_copy_in_place_mb_per_s > 0) state.counters["vs_copy"] = mbs / g_copy_in_place_mb_per_s;
}
// Unknown length, as the server writes a query result: into chunks.
void BM_EncodeUnknownCount(benchmark::State& state) { Encode<common::ChunkedBytes>(state, false); }
// Unknown length into one buffer, grown as it fills.
void BM_EncodeUnknownCountContiguous(benchmark::State& state) {
  Encode<common::Bytes>(state, false);
}

void BM_Decode(benchmark::State& state) {
  const common::Bytes& stream = Stream();
  int64_t peak = 0;
  double secs = 0;
  for (auto _ : state) {
    PeakMeter meter;
    auto* m = new storage::TDAMemManager();
    const auto start = std::chrono::steady_clock::now();
    const storage::TDALoadResult r = storage::LoadFromStream(*m, stream);
    secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(r.table);
    peak = std::max(peak, meter.Peak());
    state.PauseTiming();
    delete m;  // freeing the model is not part of decoding
    state.ResumeTiming();
  }
  Report(state, peak);
  const double mbs =
      static_cast<double>(stream.size()) * static_cast<double>(state.iterations()) / secs / 1e6;
  if (g_copy_mb_per_s > 0) state.counters["vs_copy"] = mbs / g_copy_mb_per_s;
}

}  // namespace

BENCHMARK(BM_CopyIntoNewBuffer)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CopyIntoPlace)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_EncodeKnownCount)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_EncodeIntoPlace)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_EncodeUnknownCount)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_EncodeUnknownCountContiguous)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
