// Feeds arbitrary bytes to a connection's dispatcher, as the message stream after the filter
// layer: requests of every kind against a published class, with parameter rows, input pieces
// the server asks for, output pieces, tables and errors.
//
// Input: byte 0 chooses the buffer size and the largest channel read; the rest is the byte
// stream of the connection.
#include <cstddef>
#include <cstdint>

#include "fake_class.h"
#include "memory_channel.h"
#include "protocol/dispatcher.h"

namespace {

struct Fixture {
  Fixture() {
    fake.max_bytes = 1 << 18;
    fake.sleeps = false;
    server.limits.max_data_block = 1 << 20;
    server.limits.max_string = 1 << 16;
    server.limits.max_frame = 1 << 20;
    server.limits.max_decompressed_frame = 1 << 20;
    server.AddServerClass(fake);
    server.Start();
  }
  protocol::test::FakeClass fake;
  protocol::TRSServer server;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace protocol;
  static Fixture* fixture = new Fixture;
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  test::MemoryChannel channel(common::Bytes(data + 1, data + size));
  channel.set_max_read(1 + (mode >> 4) * 37);
  const size_t buffer_size = size_t{1024} << (mode & 7);
  TRDBJSonStreamReader reader(channel, buffer_size, fixture->server.limits);
  TRDBJSonStreamWriter writer(channel, buffer_size);
  {
    Dispatcher dispatcher(fixture->server, reader, writer, nullptr, nullptr);
    dispatcher.Run();
  }
  if (fixture->fake.in_use() != 0) __builtin_trap();  // every instance went back
  return 0;
}
