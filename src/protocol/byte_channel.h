// The byte channel every layer of a connection reads from and writes to.
//
// The transport implements it over a socket (a read waits until at least one byte has arrived;
// a gone connection throws ConnectionLostError()), the filter channel implements it over
// another byte channel, and tests implement it in memory. The codecs above never see a socket.
//
// Thread use: a channel belongs to one connection and is used only by that connection's thread.
#ifndef DATASERVER_PROTOCOL_BYTE_CHANNEL_H_
#define DATASERVER_PROTOCOL_BYTE_CHANNEL_H_

#include <cstddef>
#include <cstdint>

namespace protocol {

class ByteChannel {
 public:
  virtual ~ByteChannel() = default;

  // Reads at most `count` (>= 1) bytes into `buffer`, waiting until at least one has arrived.
  // Returns the number read (1..count), or -1 when the channel cannot deliver any more (a filter
  // channel whose negotiation or frame failed; the message reader reports "Read error").
  // Throws a TRDBError ("Connection lost") when the connection is gone.
  virtual ptrdiff_t Read(uint8_t* buffer, size_t count) = 0;

  // Sends all `count` bytes; throws when they cannot be sent. Writing 0 bytes sends nothing.
  virtual void Write(const uint8_t* buffer, size_t count) = 0;

  // True when bytes that have already arrived are held inside the channel, so a Read returns at
  // once (a filter channel with decoded bytes of a frame left over). Readers use it to decide
  // whether more requests are waiting without going back to the socket.
  virtual bool HasBufferedInput() const { return false; }
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_BYTE_CHANNEL_H_
