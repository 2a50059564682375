#include "protocol/filter_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <thread>

#include "memory_channel.h"
#include "protocol/compression_filter.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

using test::Concat;
using test::MemoryChannel;
using test::ToBytes;

constexpr char kOffer[] =
    R"({"ZLibCompression":{"FilterUnit":"RdbCompressionFilter","CompressMoreThan":"1024"}})";
constexpr char kConnect[] =
    R"({"method":"connect","params":[{"User_Name":"admin","Password":"tulip"}]})";
constexpr char kConnectReply[] = R"({"result":[0,"RemoteDB",2]})";

const common::Bytes kQuery = {5, 5, 5, 5, 5};

common::Bytes Header(uint8_t kind, uint32_t length) {
  common::Bytes h(5);
  h[0] = kind;
  common::StoreBE(h.data() + 1, length);
  return h;
}

common::Bytes Block(std::string_view json) {
  return Concat({Header(0x0D, static_cast<uint32_t>(json.size())), ToBytes(json)});
}

common::Bytes PlainFrame(common::ByteSpan data) {
  return Concat({Header(0x0D, static_cast<uint32_t>(data.size() + 1)),
                 {0x02},
                 common::Bytes(data.begin(), data.end())});
}

FilterList Compression() {
  FilterList filters;
  filters.push_back(std::make_unique<TTransportCompressionFilter>());
  return filters;
}

common::Bytes ReadN(ByteChannel& channel, size_t n) {
  common::Bytes out(n);
  size_t have = 0;
  while (have < n) {
    const ptrdiff_t got = channel.Read(out.data() + have, n - have);
    if (got <= 0) throw TRDBError("read failed");
    have += static_cast<size_t>(got);
  }
  return out;
}

common::Bytes Inflate(common::ByteSpan z, size_t size) {
  common::Bytes out(size);
  uLongf n = size;
  EXPECT_EQ(uncompress(out.data(), &n, z.data(), z.size()), Z_OK);
  out.resize(n);
  return out;
}

// The bytes of a negotiation as a client with the same filter sends them.
common::Bytes Negotiation() { return Concat({kQuery, Block(kOffer)}); }

// Steps 1 to 5 of a connection's first bytes, server side: query, offer, the client's block,
// its first frame, and the reply frame 0D 00 00 00 1C 02 {"result":[0,"RemoteDB",2]}.
TEST(FilterChannel, ServerSideOfTheFirstBytes) {
  MemoryChannel inner(Concat({Negotiation(), PlainFrame(common::AsBytes(kConnect))}));
  TRDBFilterSocketChannel channel(inner, Compression());
  EXPECT_EQ(ReadN(channel, sizeof kConnect - 1), ToBytes(kConnect));
  EXPECT_EQ(channel.state(), TRDBFilterSocketChannel::State::kFiltered);
  EXPECT_EQ(inner.output(), Concat({{0x0D, 0x00, 0x00, 0x00, 0x53}, ToBytes(kOffer)}));
  inner.ClearOutput();
  channel.Write(reinterpret_cast<const uint8_t*>(kConnectReply), sizeof kConnectReply - 1);
  EXPECT_EQ(inner.output(), Concat({{0x0D, 0x00, 0x00, 0x00, 0x1C, 0x02}, ToBytes(kConnectReply)}));
  EXPECT_EQ(inner.writes().size(), 1u);
}

TEST(FilterChannel, ClientSideOfTheFirstBytes) {
  MemoryChannel inner(Block(kOffer));
  TRDBFilterSocketChannel channel(inner, Compression());
  channel.Write(reinterpret_cast<const uint8_t*>(kConnect), sizeof kConnect - 1);
  EXPECT_EQ(inner.output(), Concat({kQuery, Block(kOffer), PlainFrame(common::AsBytes(kConnect))}));
  inner.AddInput(PlainFrame(common::AsBytes(kConnectReply)));
  EXPECT_EQ(ReadN(channel, sizeof kConnectReply - 1), ToBytes(kConnectReply));
}

TEST(FilterChannel, ServerNegotiatesWhateverWayTheBytesArrive) {
  const common::Bytes input = Concat({Negotiation(), PlainFrame(common::AsBytes(kConnect))});
  for (size_t cut = 1; cut < input.size(); ++cut) {
    SCOPED_TRACE(cut);
    MemoryChannel inner(input);
    inner.add_cut(cut);
    TRDBFilterSocketChannel channel(inner, Compression());
    EXPECT_EQ(ReadN(channel, sizeof kConnect - 1), ToBytes(kConnect));
  }
  MemoryChannel trickle(input);
  trickle.set_max_read(1);
  TRDBFilterSocketChannel channel(trickle, Compression());
  EXPECT_EQ(ReadN(channel, sizeof kConnect - 1), ToBytes(kConnect));
}

TEST(FilterChannel, ClientsThresholdOverridesTheServers) {
  MemoryChannel inner(Concat({kQuery, Block(R"({"ZLibCompression":{"CompressMoreThan":"100"}})"),
                              PlainFrame(ToBytes("x"))}));
  TRDBFilterSocketChannel channel(inner, Compression());
  ReadN(channel, 1);
  EXPECT_EQ(channel.filters()[0]->GetParameterValue("CompressMoreThan"), "100");
  inner.ClearOutput();
  const common::Bytes reply(200, 'r');
  channel.Write(reply.data(), reply.size());
  ASSERT_GT(inner.output().size(), 6u);
  EXPECT_EQ(inner.output()[5], kCompressedMarker);
}

// A 2000-byte reply leaves as one compressed frame, a 1024-byte one as one plain frame: one
// frame per write of the message writer.
TEST(FilterChannel, OneFramePerMessageWrite) {
  for (size_t size : {2000u, 1024u}) {
    SCOPED_TRACE(size);
    MemoryChannel inner(Concat({Negotiation(), PlainFrame(ToBytes("x"))}));
    TRDBFilterSocketChannel channel(inner, Compression());
    ReadN(channel, 1);
    inner.ClearOutput();
    TRDBJSonStreamWriter writer(channel);
    common::Bytes reply(size);
    for (size_t i = 0; i < size; ++i) reply[i] = static_cast<uint8_t>('a' + i % 26);
    writer.WriteDataBytes(reply);
    writer.Flush();
    ASSERT_EQ(inner.writes().size(), 1u);
    const common::Bytes& frame = inner.writes()[0];
    EXPECT_EQ(frame[0], 0x0D);
    EXPECT_EQ(common::LoadBE<uint32_t>(frame.data() + 1), frame.size() - 5);
    if (size > 1024) {
      EXPECT_EQ(frame[5], 0x01);
      EXPECT_EQ(Inflate(common::ByteSpan(frame).subspan(6), size), reply);
    } else {
      EXPECT_EQ(frame, PlainFrame(reply));
    }
  }
}

TEST(FilterChannel, PeerFilterListErrorsEndTheNegotiation) {
  struct Case {
    const char* json;
    const char* message;
    int code;
  };
  const Case cases[] = {
      {R"({"PC1":{}})", "PC1 Filter not found", 24},
      {R"({"ZLibCompression":{},"RSA":{"Key":"1"}})", "RSA Filter not found", 24},
      {R"({"ZLibCompression":{"FilterUnit":"Other"}})",
       "Filter ZLibCompression rejected setup parameter FilterUnit given value Other. At this "
       "point the server communication is not possible due to this incompatibility.",
       0},
      {R"({"ZLibCompression":{"CompressMoreThan":"abc"}})", "'abc' is not a valid integer value",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    MemoryChannel inner(Concat({kQuery, Block(c.json), PlainFrame(ToBytes("x"))}));
    TRDBFilterSocketChannel channel(inner, Compression());
    uint8_t b;
    try {
      channel.Read(&b, 1);
      FAIL() << "negotiated";
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.code(), c.code);
    }
    EXPECT_EQ(inner.output(), Block(kOffer));  // nothing but the offer was sent
    EXPECT_EQ(channel.Read(&b, 1), -1);
    EXPECT_EQ(channel.state(), TRDBFilterSocketChannel::State::kFailed);
  }
}

// Failures of the negotiation that the reader sees as -1 ("Read error"), with no reply.
TEST(FilterChannel, UnreadableNegotiationFailsTheRead) {
  struct Case {
    const char* name;
    common::Bytes input;
    common::Bytes output;
  };
  const Case cases[] = {
      {"request without the query", ToBytes(kConnect), {}},
      {"block that is no object", Concat({kQuery, Block("[1]")}), Block(kOffer)},
      {"block that is no JSON", Concat({kQuery, Block("{\"ZLib")}), Block(kOffer)},
      {"reply block with a public-key header", Concat({kQuery, Header(0x07, 2), ToBytes("{}")}),
       Block(kOffer)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryChannel inner(c.input);
    TRDBFilterSocketChannel channel(inner, Compression());
    uint8_t b;
    EXPECT_EQ(channel.Read(&b, 1), -1);
    EXPECT_EQ(inner.output(), c.output);
    EXPECT_EQ(channel.Read(&b, 1), -1);
  }
}

class UnfinishedFilter : public TTransportCompressionFilter {
 public:
  std::string Id() const override { return "Unfinished"; }
  bool HandshakeComplete() const override { return false; }
};

TEST(FilterChannel, EveryFilterMustCompleteItsHandshake) {
  TTransportFilterFactory::Register("Unfinished",
                                    [] { return std::make_unique<UnfinishedFilter>(); });
  MemoryChannel inner(Concat(
      {kQuery, Block(R"({"ZLibCompression":{},"Unfinished":{}})"), PlainFrame(ToBytes("x"))}));
  TRDBFilterSocketChannel channel(inner, Compression());
  uint8_t b;
  EXPECT_EQ(channel.Read(&b, 1), -1);
  EXPECT_EQ(channel.filters().size(), 2u);  // the client's extra filter was created
}

TEST(FilterChannel, ServerWithoutFiltersAnswersTheQueryWithNoFilters) {
  MemoryChannel inner(Concat({kQuery, ToBytes(kConnect)}));
  TRDBFilterSocketChannel channel(inner, FilterList());
  EXPECT_EQ(ReadN(channel, sizeof kConnect - 1), ToBytes(kConnect));
  EXPECT_EQ(inner.output(), (common::Bytes{6, 0, 0, 0, 0}));
  EXPECT_EQ(channel.state(), TRDBFilterSocketChannel::State::kUnfiltered);
  inner.ClearOutput();
  channel.Write(reinterpret_cast<const uint8_t*>("ok"), 2);
  EXPECT_EQ(inner.output_text(), "ok");
}

TEST(FilterChannel, ServerWithoutFiltersTakesOtherFirstBytesAsMessageBytes) {
  MemoryChannel inner(kConnect);
  TRDBFilterSocketChannel channel(inner, FilterList());
  EXPECT_EQ(ReadN(channel, sizeof kConnect - 1), ToBytes(kConnect));
  EXPECT_TRUE(inner.output().empty());
}

class NegotiatedServer : public testing::Test {
 protected:
  // A server channel past its negotiation, reading `frames`.
  void Start(const common::Bytes& frames, const Limits& limits = {}) {
    inner_ = std::make_unique<MemoryChannel>(Concat({Negotiation(), frames}));
    channel_ = std::make_unique<TRDBFilterSocketChannel>(*inner_, Compression(), limits);
  }
  std::unique_ptr<MemoryChannel> inner_;
  std::unique_ptr<TRDBFilterSocketChannel> channel_;
};

TEST_F(NegotiatedServer, DecodedFrameServesSmallReadsWithoutNewChannelReads) {
  const common::Bytes payload(100, 'p');
  Start(PlainFrame(payload));
  uint8_t buffer[7];
  ASSERT_EQ(channel_->Read(buffer, 7), 7);
  const int reads = inner_->reads();
  size_t total = 7;
  while (total < payload.size()) {
    EXPECT_TRUE(channel_->HasBufferedInput());
    total += static_cast<size_t>(channel_->Read(buffer, 7));
  }
  EXPECT_EQ(total, payload.size());
  EXPECT_EQ(inner_->reads(), reads);
  EXPECT_FALSE(channel_->HasBufferedInput());
}

// Requests left in a decoded frame are not in the socket any more: the reader must see them
// through the channel, or they would wait for bytes the client never sends.
TEST_F(NegotiatedServer, RequestsLeftInADecodedFrameAreSeenByTheReader) {
  const std::string first = R"({"method":"next_result","params":[0]})";
  const std::string second = R"({"method":"txbegin","params":[0]})";
  Start(PlainFrame(ToBytes(first + second)));
  TRDBJSonStreamReader reader(*channel_, first.size());
  EXPECT_EQ(reader.ReadRequestName(), RequestName::kNextResult);
  reader.SkipToEndOfObject();
  EXPECT_TRUE(reader.HasMoreBytes());
  EXPECT_EQ(reader.ReadRequestName(), RequestName::kTxBegin);
  reader.SkipToEndOfObject();
  EXPECT_FALSE(reader.HasMoreBytes());
}

TEST_F(NegotiatedServer, PublicKeyHeaderAndEmptyFramesAreRead) {
  // A 07 header also carries a frame; a frame that decodes to nothing is passed over.
  Start(Concat(
      {Header(0x07, 3), {0x02, 'a', 'b'}, Header(0x0D, 1), {0x02}, PlainFrame(ToBytes("c"))}));
  EXPECT_EQ(ReadN(*channel_, 3), ToBytes("abc"));
}

TEST_F(NegotiatedServer, CompressedFramesDecode) {
  TTransportCompressionFilter encoder;
  const common::Bytes message(5000, 'm');
  common::Bytes body;
  encoder.ProcessInput(message, body);
  Start(Concat({Header(0x0D, static_cast<uint32_t>(body.size())), body}));
  EXPECT_EQ(ReadN(*channel_, message.size()), message);
}

TEST_F(NegotiatedServer, UnreadableFramesFailTheRead) {
  struct Case {
    const char* name;
    common::Bytes frames;
  };
  const Case cases[] = {
      {"unknown header byte", Concat({Header(0x09, 1), {0x02}})},
      {"no length (05 header)", kQuery},
      {"frame of length 0", Header(0x0D, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.frames);
    uint8_t b;
    EXPECT_EQ(channel_->Read(&b, 1), -1);
    EXPECT_EQ(channel_->Read(&b, 1), -1);
  }
}

TEST_F(NegotiatedServer, InnerChannelFailuresReachTheReader) {
  Start(PlainFrame(ToBytes("hello")));
  inner_->set_fail_after(Negotiation().size() + 7, /*return_minus_one=*/true);
  uint8_t b[8];
  EXPECT_EQ(channel_->Read(b, 8), -1);

  Start(PlainFrame(ToBytes("hello")));
  inner_->set_fail_after(Negotiation().size() + 7);
  try {
    channel_->Read(b, 8);
    FAIL() << "read";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Connection lost");
  }
}

TEST_F(NegotiatedServer, RefusesAFrameLongerThanTheCapBeforeReadingIt) {
  Start(Concat({Header(0x0D, 0x80000000u), {0x02, 'x'}}));
  uint8_t b;
  try {
    channel_->Read(&b, 1);
    FAIL() << "read";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Frame of 2147483648 bytes exceeds the limit of 268435456 bytes");
    EXPECT_TRUE(e.breaks_stream());
  }
  EXPECT_EQ(inner_->remaining(), 2u);  // nothing of the body was read
  EXPECT_EQ(channel_->Read(&b, 1), -1);
}

TEST_F(NegotiatedServer, RefusesCorruptAndOversizedCompressedFrames) {
  TTransportCompressionFilter encoder;
  common::Bytes bomb;
  encoder.ProcessInput(common::Bytes(4 << 20, 0), bomb);
  const common::Bytes corrupt = {0x01, 0x78, 0x01, 0xFF, 0xFF, 0xFF};
  Limits limits;
  limits.max_decompressed_frame = 1 << 20;
  for (const common::Bytes& body : {bomb, corrupt}) {
    Start(Concat({Header(0x0D, static_cast<uint32_t>(body.size())), body}), limits);
    uint8_t b;
    try {
      channel_->Read(&b, 1);
      FAIL() << "read";
    } catch (const TRDBError& e) {
      EXPECT_EQ(e.code(), kReadErrorCode);
      EXPECT_TRUE(e.breaks_stream());
    }
    EXPECT_EQ(channel_->Read(&b, 1), -1);
  }
}

TEST(FilterChannel, ClientOfAServerWithoutFiltersGoesOnUnfiltered) {
  MemoryChannel inner(common::Bytes{6, 0, 0, 0, 0});
  TRDBFilterSocketChannel channel(inner, Compression());
  channel.Write(reinterpret_cast<const uint8_t*>(kConnect), sizeof kConnect - 1);
  EXPECT_EQ(inner.output(), Concat({kQuery, ToBytes(kConnect)}));
  EXPECT_EQ(channel.state(), TRDBFilterSocketChannel::State::kUnfiltered);
}

TEST(FilterChannel, ClientNegotiationFailuresThrow) {
  struct Case {
    const char* name;
    common::Bytes input;
  };
  const Case cases[] = {
      {"unexpected reply", ToBytes("HTTP/1.1 400")},
      {"unknown filter offered", Block(R"({"PC1":{}})")},
      {"public-key step", Concat({Header(0x07, 2), ToBytes("{}")})},
      {"connection ends", Header(0x0D, 83)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryChannel inner(c.input);
    TRDBFilterSocketChannel channel(inner, Compression());
    EXPECT_THROW(channel.Write(reinterpret_cast<const uint8_t*>("x"), 1), TRDBError);
    EXPECT_THROW(channel.Write(reinterpret_cast<const uint8_t*>("x"), 1), TRDBError);
  }
}

// A socket, for the test over a real connection.
class SocketChannel : public ByteChannel {
 public:
  explicit SocketChannel(int fd) : fd_(fd) {}
  ~SocketChannel() override { ::close(fd_); }
  ptrdiff_t Read(uint8_t* buffer, size_t count) override {
    const ssize_t n = ::recv(fd_, buffer, count, 0);
    if (n <= 0) throw ConnectionLostError();
    return n;
  }
  void Write(const uint8_t* buffer, size_t count) override {
    while (count > 0) {
      const ssize_t n = ::send(fd_, buffer, count, MSG_NOSIGNAL);
      if (n <= 0) throw ConnectionLostError();
      buffer += n;
      count -= static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
};

TEST(FilterChannel, ClientAndServerTalkOverASocket) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  SocketChannel server_socket(fds[0]);
  SocketChannel client_socket(fds[1]);
  std::mt19937 rng(3);
  std::vector<common::Bytes> messages = {ToBytes(kConnect), common::Bytes(200000, 'z'),
                                         common::Bytes(70000)};
  for (auto& b : messages[2]) b = static_cast<uint8_t>(rng());
  std::thread server([&] {
    TRDBFilterSocketChannel channel(server_socket, Compression());
    for (const auto& m : messages) {
      const common::Bytes got = ReadN(channel, m.size());
      channel.Write(got.data(), got.size());  // echo
    }
  });
  TRDBFilterSocketChannel channel(client_socket, Compression());
  for (const auto& m : messages) {
    channel.Write(m.data(), m.size());
    EXPECT_EQ(ReadN(channel, m.size()), m);
  }
  server.join();
}

}  // namespace
}  // namespace protocol
