// The filter channel: filter negotiation and frames over a byte channel.
//
// Header of every negotiation step and frame (5 bytes, length big-endian):
//   05 05 05 05 05   filter query (client -> server)
//   06 00 00 00 00   no filters (server -> client); the connection goes on unfiltered
//   07 L L L L       public-key block of L bytes (not offered by this implementation)
//   0D L L L L       negotiation block or data frame of L bytes
//
// Negotiation, server side (the first Read): the client's query is answered with 0D and the
// JSON of this side's filters (filter_json.h); the client's own JSON block is then applied,
// entry by entry from the last to the first, with SetConfederateParameter, creating filters it
// names that this side lacks. A server without filters answers 06..., or takes the first bytes
// as plain message bytes when they are no query. A server with filters that receives anything
// but a query fails the read (-1) without writing anything.
//
// Negotiation, client side (the first Write): query, apply the server's block, send the own
// block (with the server's values now applied), then the first frame.
//
// Frames (filtered state): each Write becomes exactly one frame, header and body sent in one
// write of the inner channel; the body is the data passed through ProcessInput of each filter
// in list order. Each frame read is decoded through ProcessOutput of each filter, in list order,
// and kept as leftover for the following Reads. A frame length above Limits::max_frame, and a
// body that decodes past Limits::max_decompressed_frame, fail with a TRDBError that breaks the
// stream before any byte of the body is buffered; a frame of length 0 (it carries no marker)
// fails the read (-1).
//
// Memory: with a MemoryBudget set, a frame whose body may decode to more than a small size
// first reserves what it may decode to (the smaller of the decompressed-frame cap and the most
// deflate can expand its body), and keeps reserved only what the channel then holds; a
// reservation that cannot be had within the budget's wait fails the read with a
// TRDBInputRefused: every later read fails, but writes still carry the error reply. Buffers
// grown by a large frame are freed once it has been handed out.
//
// Read returns -1 for a failed negotiation or frame, and for every later call; exceptions from
// the inner channel ("Connection lost") and from applying the peer's filter list (" Filter not
// found", a rejected parameter) pass through. Write throws where Read would fail.
//
// Thread use: one connection's thread; nothing is locked.
#ifndef DATASERVER_PROTOCOL_FILTER_CHANNEL_H_
#define DATASERVER_PROTOCOL_FILTER_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "common/memory_budget.h"
#include "protocol/byte_channel.h"
#include "protocol/limits.h"
#include "protocol/transport_filter.h"

namespace protocol {

inline constexpr size_t kFrameHeaderSize = 5;
inline constexpr uint8_t kFilterQueryByte = 0x05;
inline constexpr uint8_t kNoFiltersByte = 0x06;
inline constexpr uint8_t kPublicKeyBlockByte = 0x07;
inline constexpr uint8_t kBlockByte = 0x0D;

class TRDBFilterSocketChannel : public ByteChannel {
 public:
  enum class State { kNotNegotiated, kFiltered, kUnfiltered, kFailed };

  // `inner` must remain live while this channel is in use. `filters` are this connection's own
  // filter objects (see MakeConnectionFilters), owned from now on.
  TRDBFilterSocketChannel(ByteChannel& inner, FilterList filters, const Limits& limits = {});

  ptrdiff_t Read(uint8_t* buffer, size_t count) override;
  void Write(const uint8_t* buffer, size_t count) override;
  bool HasBufferedInput() const override { return leftover_pos_ < leftover_.size(); }

  // Caps from the next frame on (a connection's caps grow once its client is admitted).
  void set_limits(const Limits& limits) { limits_ = limits; }
  // The budget decoded frames are reserved from; null (the default) reserves nothing. It must
  // outlive the channel.
  void set_budget(common::MemoryBudget* budget) { share_.set_budget(budget); }

  State state() const { return state_; }
  const FilterList& filters() const { return filters_; }
  ByteChannel& inner() { return inner_; }

 private:
  bool NegotiateAsServer();
  void NegotiateAsClient();
  // False when `json` is not a filter list; throws when an entry cannot be applied.
  bool ApplyPeerFilters(common::ByteSpan json);
  bool ReadFrame();
  bool ReadHeader(uint8_t (&header)[kFrameHeaderSize]);
  // Reads exactly n bytes into `out` (replacing its content), growing it only as bytes arrive.
  bool ReadBlock(common::Bytes& out, uint64_t n);
  bool ReadExact(uint8_t* buffer, size_t n);
  void WriteBlock(common::ByteSpan data);
  void WriteNegotiationBlock(const std::string& json);
  size_t HandOut(uint8_t* buffer, size_t count);
  // Reserves from the budget what decoding a body of `body_size` bytes may take.
  void ReserveForFrame(uint64_t body_size);
  // Frees buffers a large frame left behind and keeps reserved only what is held.
  void TrimBuffers();

  ByteChannel& inner_;
  FilterList filters_;
  Limits limits_;
  State state_ = State::kNotNegotiated;
  common::Bytes leftover_;  // decoded bytes not yet handed out, from leftover_pos_ on
  size_t leftover_pos_ = 0;
  common::Bytes body_;          // raw body of the frame being read
  common::Bytes scratch_;       // intermediate results of a filter chain
  common::Bytes out_;           // frame being written: header, then body
  common::BudgetShare share_;   // what the decoded-frame buffers hold of the budget
  bool input_refused_ = false;  // reads fail from now on; writes still work
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_FILTER_CHANNEL_H_
