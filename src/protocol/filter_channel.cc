#include "protocol/filter_channel.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/filter_json.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// Deflate expands at most about 1032:1; a body cannot decode to more.
constexpr uint64_t kMaxInflateRatio = 1032;
// Frames that decode to less are not worth a reservation; buffers up to this size are kept
// between frames.
constexpr uint64_t kUnbudgetedBytes = 1u << 20;
constexpr uint8_t kQuery[kFrameHeaderSize] = {5, 5, 5, 5, 5};
constexpr uint8_t kNoFilters[kFrameHeaderSize] = {6, 0, 0, 0, 0};

TRDBError NegotiationError(const std::string& why) {
  return TRDBError("Filter negotiation failed: " + why, kReadErrorCode, true);
}

}  // namespace

TRDBFilterSocketChannel::TRDBFilterSocketChannel(ByteChannel& inner, FilterList filters,
                                                 const Limits& limits)
    : inner_(inner), filters_(std::move(filters)), limits_(limits) {}

size_t TRDBFilterSocketChannel::HandOut(uint8_t* buffer, size_t count) {
  const size_t n = std::min(count, leftover_.size() - leftover_pos_);
  std::memcpy(buffer, leftover_.data() + leftover_pos_, n);
  leftover_pos_ += n;
  return n;
}

ptrdiff_t TRDBFilterSocketChannel::Read(uint8_t* buffer, size_t count) {
  if (count == 0) return 0;
  if (state_ == State::kNotNegotiated) {
    state_ = State::kFailed;  // stays so if the negotiation throws
    if (!NegotiateAsServer()) {
      state_ = State::kFailed;
      return -1;
    }
  }
  if (state_ == State::kFailed || input_refused_) return -1;
  if (HasBufferedInput()) return static_cast<ptrdiff_t>(HandOut(buffer, count));
  if (state_ == State::kUnfiltered) return inner_.Read(buffer, count);
  // A frame may decode to nothing (a plain marker alone); wait for one that carries bytes.
  do {
    bool ok = false;
    try {
      ok = ReadFrame();
    } catch (...) {
      // A refused input leaves the output usable for the error reply.
      if (!input_refused_) state_ = State::kFailed;
      throw;
    }
    if (!ok) {
      state_ = State::kFailed;
      return -1;
    }
  } while (!HasBufferedInput());
  return static_cast<ptrdiff_t>(HandOut(buffer, count));
}

void TRDBFilterSocketChannel::Write(const uint8_t* buffer, size_t count) {
  if (count == 0) return;
  if (state_ == State::kNotNegotiated) {
    state_ = State::kFailed;
    NegotiateAsClient();
  }
  switch (state_) {
    case State::kUnfiltered:
      inner_.Write(buffer, count);
      return;
    case State::kFiltered:
      WriteBlock(common::ByteSpan(buffer, count));
      return;
    default:
      throw NegotiationError("the channel is unusable");
  }
}

void TRDBFilterSocketChannel::WriteBlock(common::ByteSpan data) {
  out_.assign(kFrameHeaderSize, 0);
  // Filters before the last work through scratch buffers; the last appends after the header.
  common::Bytes* source = nullptr;
  common::Bytes spare;
  const size_t n = filters_.size();
  for (size_t i = 0; i < n; ++i) {
    TTransportFilter& filter = *filters_[i];
    const common::ByteSpan in = source ? common::ByteSpan(*source) : data;
    if (i + 1 == n) {
      filter.ProcessInput(in, out_);
    } else {
      common::Bytes& target = (source == &scratch_) ? spare : scratch_;
      target.clear();
      filter.ProcessInput(in, target);
      source = &target;
    }
  }
  if (n == 0) out_.insert(out_.end(), data.begin(), data.end());
  const uint64_t body = out_.size() - kFrameHeaderSize;
  if (body > UINT32_MAX) throw TRDBError("Frame too long to send", kGeneralErrorCode, true);
  out_[0] = kBlockByte;
  common::StoreBE(out_.data() + 1, static_cast<uint32_t>(body));
  inner_.Write(out_.data(), out_.size());
}

bool TRDBFilterSocketChannel::ReadExact(uint8_t* buffer, size_t n) {
  size_t have = 0;
  while (have < n) {
    const ptrdiff_t got = inner_.Read(buffer + have, n - have);
    if (got <= 0) return false;
    have += static_cast<size_t>(got);
  }
  return true;
}

bool TRDBFilterSocketChannel::ReadBlock(common::Bytes& out, uint64_t n) {
  if (n > limits_.max_frame) {
    throw TRDBError("Frame of " + std::to_string(n) + " bytes exceeds the limit of " +
                        std::to_string(limits_.max_frame) + " bytes",
                    kReadErrorCode, true);
  }
  out.clear();
  while (out.size() < n) {
    const size_t old = out.size();
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n - old, kReadChunk));
    out.resize(old + chunk);
    const ptrdiff_t got = inner_.Read(out.data() + old, chunk);
    if (got <= 0) return false;
    out.resize(old + static_cast<size_t>(got));
  }
  return true;
}

bool TRDBFilterSocketChannel::ReadHeader(uint8_t (&header)[kFrameHeaderSize]) {
  return ReadExact(header, kFrameHeaderSize);
}

void TRDBFilterSocketChannel::TrimBuffers() {
  for (common::Bytes* buffer : {&leftover_, &scratch_, &body_}) {
    if (buffer->capacity() > kUnbudgetedBytes) common::Bytes().swap(*buffer);
  }
  share_.Resize(0);
}

void TRDBFilterSocketChannel::ReserveForFrame(uint64_t body_size) {
  const uint64_t most =
      std::min(limits_.max_decompressed_frame, std::max(body_size, body_size * kMaxInflateRatio));
  if (most <= kUnbudgetedBytes) return;
  if (!share_.Resize(most)) {
    input_refused_ = true;
    throw TRDBInputRefused("The server has no memory free to decode a message of up to " +
                           std::to_string(most) + " bytes now; try again later");
  }
}

bool TRDBFilterSocketChannel::ReadFrame() {
  uint8_t header[kFrameHeaderSize];
  if (!ReadHeader(header)) return false;
  if (header[0] != kBlockByte && header[0] != kPublicKeyBlockByte) return false;
  const uint32_t length = common::LoadBE<uint32_t>(header + 1);
  if (length == 0) return false;
  TrimBuffers();
  if (!ReadBlock(body_, length)) return false;
  leftover_.clear();
  leftover_pos_ = 0;
  if (!filters_.empty()) ReserveForFrame(length);
  common::Bytes* source = &body_;
  common::Bytes spare;
  bool any = false;
  for (const auto& filter : filters_) {
    if (filter->GetPublicKeyCryptograph()) continue;
    common::Bytes& target = (source == &scratch_) ? spare : scratch_;
    target.clear();
    filter->ProcessOutput(*source, target, limits_.max_decompressed_frame);
    source = &target;
    any = true;
  }
  if (any) {
    leftover_.swap(*source);
  } else {
    leftover_.swap(body_);
  }
  // What stays held until the frame is handed out.
  if (share_.held() > 0) share_.Resize(leftover_.capacity() + scratch_.capacity());
  return true;
}

bool TRDBFilterSocketChannel::NegotiateAsServer() {
  uint8_t header[kFrameHeaderSize];
  if (!ReadHeader(header)) return false;
  const bool query = std::memcmp(header, kQuery, kFrameHeaderSize) == 0;
  if (filters_.empty()) {
    state_ = State::kUnfiltered;
    if (query) {
      inner_.Write(kNoFilters, kFrameHeaderSize);
    } else {
      leftover_.assign(header, header + kFrameHeaderSize);
      leftover_pos_ = 0;
    }
    return true;
  }
  if (!query) return false;
  for (const auto& filter : filters_) {
    // The public-key step is not offered: no such filter is built.
    if (filter->GetPublicKeyCryptograph()) return false;
    filter->StartHandshake();
  }
  WriteNegotiationBlock(FormatFilterList(filters_));
  if (!ReadHeader(header) || header[0] != kBlockByte) return false;
  if (!ReadBlock(body_, common::LoadBE<uint32_t>(header + 1))) return false;
  if (!ApplyPeerFilters(body_)) return false;
  for (const auto& filter : filters_) {
    if (!filter->HandshakeComplete()) return false;
  }
  state_ = State::kFiltered;
  return true;
}

void TRDBFilterSocketChannel::NegotiateAsClient() {
  if (filters_.empty()) {
    state_ = State::kUnfiltered;
    return;
  }
  inner_.Write(kQuery, kFrameHeaderSize);
  uint8_t header[kFrameHeaderSize];
  if (!ReadHeader(header)) throw NegotiationError("no reply to the filter query");
  if (std::memcmp(header, kNoFilters, kFrameHeaderSize) == 0) {
    for (const auto& filter : filters_) {
      if (filter->GetPublicKeyCryptograph()) {
        throw TRDBError("The Server has no matching " + filter->Id() + " filter.",
                        kGeneralErrorCode, true);
      }
    }
    state_ = State::kUnfiltered;
    return;
  }
  if (header[0] != kBlockByte) throw NegotiationError("unexpected reply to the filter query");
  for (const auto& filter : filters_) filter->StartHandshake();
  if (!ReadBlock(body_, common::LoadBE<uint32_t>(header + 1))) {
    throw NegotiationError("the server's filter block ended early");
  }
  if (!ApplyPeerFilters(body_)) throw NegotiationError("the filter block is not a JSON object");
  WriteNegotiationBlock(FormatFilterList(filters_));
  for (const auto& filter : filters_) {
    if (!filter->HandshakeComplete()) throw NegotiationError(filter->Id() + " did not complete");
  }
  state_ = State::kFiltered;
}

void TRDBFilterSocketChannel::WriteNegotiationBlock(const std::string& json) {
  // A negotiation block is no frame: its JSON goes out as it is (only public-key filters, which
  // are not offered, would encode it).
  out_.assign(kFrameHeaderSize, 0);
  out_[0] = kBlockByte;
  common::StoreBE(out_.data() + 1, static_cast<uint32_t>(json.size()));
  out_.insert(out_.end(), json.begin(), json.end());
  inner_.Write(out_.data(), out_.size());
}

bool TRDBFilterSocketChannel::ApplyPeerFilters(common::ByteSpan json) {
  auto setups =
      ParseFilterList(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
  if (!setups) return false;
  for (auto it = setups->rbegin(); it != setups->rend(); ++it) {
    TTransportFilter* filter = nullptr;
    for (const auto& f : filters_) {
      if (f->Id() == it->id) {
        filter = f.get();
        break;
      }
    }
    if (!filter) {
      filters_.push_back(TTransportFilterFactory::Create(it->id));
      filter = filters_.back().get();
    }
    filter->set_server_instance(false);
    filter->StartHandshake();
    for (const auto& [name, value] : it->parameters) {
      if (!filter->SetConfederateParameter(name, value)) {
        throw TRDBError("Filter " + it->id + " rejected setup parameter " + name + " given value " +
                            value +
                            ". At this point the server communication is not possible due to "
                            "this incompatibility.",
                        kGeneralErrorCode, true);
      }
    }
  }
  return true;
}

}  // namespace protocol
