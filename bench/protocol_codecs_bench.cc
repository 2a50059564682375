// CPU cost of one remote call through the protocol's codecs, both sides, in memory: the client
// writes an execute request with its parameter row, the server reads it, decodes the row,
// builds the reply row with a byte-array result and writes the reply, the client reads and
// decodes it. Frames pass through the zlib compression filter (replies above 1024 bytes are
// compressed). Baselines of the same run: copying the same bytes, and zlib alone on the reply.
// "allocs" counts heap allocations per round trip.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <random>
#include <thread>

#include "protocol/compression_filter.h"
#include "protocol/filter_channel.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/param_buffer.h"
#include "protocol/param_value.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

// Counting replacements of the global allocation functions (kept out of line, so the compiler
// does not pair an inlined malloc with a free).
[[gnu::noinline]] void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace protocol;

// One direction of an in-memory connection; reads wait for bytes (only during set-up, when the
// negotiation needs the two sides on two threads).
class Pipe {
 public:
  ptrdiff_t Read(uint8_t* buffer, size_t count) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return pos_ < bytes_.size(); });
    const size_t n = std::min(count, bytes_.size() - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    if (pos_ == bytes_.size()) {
      bytes_.clear();
      pos_ = 0;
    }
    return static_cast<ptrdiff_t>(n);
  }
  void Write(const uint8_t* buffer, size_t count) {
    std::lock_guard lock(mutex_);
    bytes_.insert(bytes_.end(), buffer, buffer + count);
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  common::Bytes bytes_;  // GUARDED_BY(mutex_)
  size_t pos_ = 0;       // GUARDED_BY(mutex_)
};

class PipeChannel : public ByteChannel {
 public:
  PipeChannel(Pipe& in, Pipe& out) : in_(in), out_(out) {}
  ptrdiff_t Read(uint8_t* buffer, size_t count) override { return in_.Read(buffer, count); }
  void Write(const uint8_t* buffer, size_t count) override {
    bytes_ += count;
    out_.Write(buffer, count);
  }
  uint64_t bytes_ = 0;

 private:
  Pipe& in_;
  Pipe& out_;
};

FilterList Compression() {
  FilterList f;
  f.push_back(std::make_unique<TTransportCompressionFilter>());
  return f;
}

constexpr size_t kBuffer = 32768;
const std::u16string kSql = u"select id, name, amount from orders where customer = 42";

struct Connection {
  Pipe to_server, to_client;
  PipeChannel client_socket{to_client, to_server};
  PipeChannel server_socket{to_server, to_client};
  TRDBFilterSocketChannel client_channel{client_socket, Compression()};
  TRDBFilterSocketChannel server_channel{server_socket, Compression()};
  TRDBJSonStreamWriter client_writer{client_channel, kBuffer};
  TRDBJSonStreamReader client_reader{client_channel, kBuffer};
  TRDBJSonStreamWriter server_writer{server_channel, kBuffer};
  TRDBJSonStreamReader server_reader{server_channel, kBuffer};
  ParamBuffer client_params{kBuffer};
  ParamBuffer server_params{kBuffer};
  common::Variant result;
  common::Bytes received;
  ParamRowReader server_row;
  ParamRowReader client_row;

  explicit Connection(size_t result_size) {
    common::Bytes payload(result_size);
    std::mt19937 rng(1);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());  // a compressed dataset
    result = common::Variant::ByteArray(std::move(payload));
    // The negotiation needs both sides at once.
    std::thread server([&] {
      uint8_t b;
      server_channel.Read(&b, 1);
    });
    const uint8_t x = ' ';
    client_channel.Write(&x, 1);
    server.join();
  }

  void ClientSendsExecute() {
    client_params.Rewind();
    client_params.PutString(kSql);
    client_params.PutNull();
    client_params.PutNull();
    client_writer.WriteRequestStart(RequestName::kExecute);
    client_writer.WriteRaw(kHandleLiteral);
    client_writer.WriteInt(0);
    client_writer.WriteRaw("]}");
    client_writer.WriteValueSeparator();
    client_writer.WriteDataBlock(client_params.row());
    client_writer.WriteRequestEnd();
    client_writer.Flush();
  }

  void ServerAnswers() {
    TRDBJSonStreamReader& r = server_reader;
    if (r.ReadRequestName() != RequestName::kExecute) std::abort();
    r.ReadArgumentsStart();
    r.Next(Token::kObjectStart);
    r.ReadKey("handle");
    r.Next(Token::kArrayStart);
    r.ReadInt();
    r.Next(Token::kArrayEnd);
    r.Next(Token::kObjectEnd);
    r.NextValueSeparator();
    r.Next(Token::kObjectStart);
    r.ReadKey("data");
    server_params.Receive([&](common::Bytes& out) { return r.ReadDataArray(out); });
    r.Next(Token::kObjectEnd);
    r.SkipToEndOfObject();
    server_row.Reset(server_params.received());
    const std::u16string sql = DecodeString(server_row.At(0), nullptr, 0);
    benchmark::DoNotOptimize(sql.data());
    server_params.Rewind();
    server_params.PutNull();
    server_params.PutString(u"");
    if (server_params.PutVariant(result)) std::abort();
    server_writer.WriteResultStart();
    server_writer.WriteRaw(kRowsLiteral);
    server_writer.WriteInt(0);
    server_writer.WriteRaw("]}");
    server_writer.WriteValueSeparator();
    server_writer.WriteDataBlock(server_params.row());
    server_writer.WriteResultEnd();
    server_writer.Flush();
  }

  void ClientReadsReply() {
    TRDBJSonStreamReader& r = client_reader;
    if (r.ReadReplyStart() != ReplyKind::kResult) std::abort();
    r.Next(Token::kArrayStart);
    r.Next(Token::kObjectStart);
    r.SkipToEndOfObject();
    r.NextValueSeparator();
    received.clear();
    r.ReadDataBlock(received);
    r.Next(Token::kArrayEnd);
    r.Next(Token::kObjectEnd);
    client_row.Reset(received);
    const common::Variant v = DecodeVariant(client_row.At(2), nullptr, 2);
    benchmark::DoNotOptimize(v.bytes().data());
  }
};

void BM_RoundTrip(benchmark::State& state) {
  Connection c(static_cast<size_t>(state.range(0)));
  for (int i = 0; i < 3; ++i) {  // buffers reach their size
    c.ClientSendsExecute();
    c.ServerAnswers();
    c.ClientReadsReply();
  }
  const uint64_t allocations = g_allocations.load();
  const uint64_t wire = c.client_socket.bytes_ + c.server_socket.bytes_;
  for (auto _ : state) {
    c.ClientSendsExecute();
    c.ServerAnswers();
    c.ClientReadsReply();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(g_allocations.load() - allocations) / n;
  state.counters["wire_bytes"] =
      static_cast<double>(c.client_socket.bytes_ + c.server_socket.bytes_ - wire) / n;
}
BENCHMARK(BM_RoundTrip)->Arg(100)->Arg(2000)->Arg(20000);

// Baseline: only moving the bytes of one round trip (request and reply messages) through
// memory twice (written, then read).
void BM_Baseline_CopyMessages(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) + 200;
  common::Bytes a(size, 1), b(size), c(size);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), size);
    std::memcpy(c.data(), b.data(), size);
    benchmark::DoNotOptimize(c.data());
  }
}
BENCHMARK(BM_Baseline_CopyMessages)->Arg(100)->Arg(2000)->Arg(20000);

// Baseline: zlib level 1 on a reply of this size as a one-shot compress() (which is what a
// frame costs without a kept stream), plus inflating it.
void BM_Baseline_ZlibOneShot(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) + 60;
  common::Bytes data(size);
  std::mt19937 rng(1);
  for (auto& x : data) x = static_cast<uint8_t>(rng());
  common::Bytes z(compressBound(size)), back(size);
  for (auto _ : state) {
    uLongf zn = z.size();
    compress2(z.data(), &zn, data.data(), size, 1);
    uLongf bn = back.size();
    uncompress(back.data(), &bn, z.data(), zn);
    benchmark::DoNotOptimize(back.data());
  }
}
BENCHMARK(BM_Baseline_ZlibOneShot)->Arg(2000)->Arg(20000);

// Baseline: the least any implementation pays for such a reply, zlib level 1 with streams kept
// and reset per frame, deflate and inflate.
void BM_Baseline_ZlibKeptStream(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) + 60;
  common::Bytes data(size);
  std::mt19937 rng(1);
  for (auto& x : data) x = static_cast<uint8_t>(rng());
  common::Bytes z(compressBound(size)), back(size);
  z_stream d{}, i{};
  deflateInit2(&d, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  inflateInit(&i);
  for (auto _ : state) {
    deflateReset(&d);
    d.next_in = data.data();
    d.avail_in = static_cast<uInt>(size);
    d.next_out = z.data();
    d.avail_out = static_cast<uInt>(z.size());
    deflate(&d, Z_FINISH);
    inflateReset(&i);
    i.next_in = z.data();
    i.avail_in = static_cast<uInt>(z.size() - d.avail_out);
    i.next_out = back.data();
    i.avail_out = static_cast<uInt>(back.size());
    inflate(&i, Z_FINISH);
    benchmark::DoNotOptimize(back.data());
  }
  deflateEnd(&d);
  inflateEnd(&i);
}
BENCHMARK(BM_Baseline_ZlibKeptStream)->Arg(2000)->Arg(20000);

void BM_WriteChineseString(benchmark::State& state) {
  class Sink : public ByteChannel {
   public:
    ptrdiff_t Read(uint8_t*, size_t) override { return -1; }
    void Write(const uint8_t*, size_t) override {}
  } sink;
  TRDBJSonStreamWriter writer(sink, kBuffer);
  const std::u16string text(64, u'\u6570');
  for (auto _ : state) {
    writer.WriteString(text);
    writer.Flush();
  }
}
BENCHMARK(BM_WriteChineseString);

}  // namespace

BENCHMARK_MAIN();
