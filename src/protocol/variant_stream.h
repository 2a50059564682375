// The streamed form of a variant (the bytes of an OleVariant parameter value).
//
// A null variant is never streamed (it travels as the null value 0xC0). Any other variant is
// one kind byte and a body:
//   03 <count: 8 bytes LE> <count bytes>   a one-dimensional byte array
//   02 <general form>                      every other variant
//   01                                     (read only) no body: unassigned
// Reading kind 3 uses the low 4 bytes of the count; a count <= 0 reads as a null variant. Any
// kind other than 2 and 3, and an empty stream, read as unassigned.
//
// General form, all integers little-endian:
//   <type: 4 bytes> then by type:
//   0, 1                          nothing (unassigned, null)
//   2 3 4 5 6 7 10 11 16..21      the value's raw bytes (2 4 4 8 8 8 4 2 1 1 2 4 8 8)
//   8                             <characters: 4 bytes> <UTF-16LE characters>
//   0x2000 + t (array)            <k: 4 bytes> <k lower bounds> <k upper bounds>, then for
//                                 t in 2..7, 11, 16..19 <byte size: 4 bytes> <raw elements>,
//                                 otherwise each element in general form; the last dimension
//                                 varies fastest
//   0x4000 (reference)            the referenced variant in general form
// Types 9 and 13 fail both ways with "Unsupported variant type: XXXX" (4 hex digits); so does
// any type this format cannot size. 8-bit (ANSI) strings and the text-only custom kinds are
// written as type 8 text.
//
// Decoding never reads outside the stream and never allocates more than the stream can fill:
// truncated or inconsistent bodies throw TRDBError (code 2); nesting deeper than
// Limits::max_variant_depth and more than Limits::max_variant_elements variant elements fail
// the same way.
//
// Thread use: pure functions.
#ifndef DATASERVER_PROTOCOL_VARIANT_STREAM_H_
#define DATASERVER_PROTOCOL_VARIANT_STREAM_H_

#include <memory>

#include "common/bytes.h"
#include "common/variant.h"
#include "protocol/limits.h"
#include "protocol/value_source.h"

namespace protocol {

inline constexpr uint8_t kVariantKindNoBody = 1;
inline constexpr uint8_t kVariantKindGeneral = 2;
inline constexpr uint8_t kVariantKindByteArray = 3;

// The stream of `value` (call only for a variant that is not null).
common::Bytes EncodeVariantStream(const common::Variant& value);
// The same as a source: a byte array is streamed from its own storage without a copy.
std::unique_ptr<ValueSource> MakeVariantStreamSource(const common::Variant& value);
// Appends the general form of `value`.
void AppendGeneralVariant(common::Bytes& out, const common::Variant& value);

common::Variant DecodeVariantStream(common::ByteSpan stream, const Limits& limits = {});
// Takes over the stream's storage for a byte array's payload.
common::Variant DecodeVariantStream(common::Bytes&& stream, const Limits& limits = {});

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_VARIANT_STREAM_H_
