// The one way wire bytes become nanopb messages, and messages become bytes.
//
// Every TLMPB message class decodes through tlm_decodeProtoMessage, which
// first walks the bytes along the message descriptors (tlm_scanProtoMessage)
// and refuses, before nanopb allocates anything, a string over
// kTLMPBMaxStringLength bytes, nesting deeper than kTLMPBMaxNestingDepth
// messages and a decoded form larger than kTLMPBMaxDecodedSize. nanopb itself
// has none of these limits and decodes sub-messages recursively, so without
// the scan a stored blob or a server's configuration could exhaust the stack
// or the heap.
//
// Plain functions, safe from any thread; each call works on its own message.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolux/Object.h"

// The longest string field a decoded message may hold, in bytes.
inline constexpr std::size_t kTLMPBMaxStringLength = 1048576;

// The deepest chain of messages a decoded message may hold, the message
// itself counting as 1. The recursive fields (an event parameter's
// `param_value`, a runtime entity's `value`) are the only ones that go deep:
// an item parameter of a bundle in a batch is 5 levels down, and a program's
// statements nest about as deep as its source's expressions and blocks, a few
// dozen at most. 64 leaves room for any real program while bounding nanopb's
// recursion (a few hundred bytes of stack per level) and that of anything
// that later walks the entities recursively.
inline constexpr int kTLMPBMaxNestingDepth = 64;

// An upper bound on the heap a decoded message may take, counted by the scan
// from the structures and strings nanopb would allocate. A sub-message costs
// its whole structure (up to a few hundred bytes) for as little as two wire
// bytes, so without a bound a few megabytes of input could take gigabytes.
inline constexpr std::size_t kTLMPBMaxDecodedSize = 64 * 1024 * 1024;

// What the scan counts, besides its payload, for each value nanopb
// allocates on its own (not an entry of a repeated field's array): the
// allocator's bookkeeping.
inline constexpr std::size_t kTLMPBAllocationOverhead = 16;

// Errors of this layer. The description is the decoder's reason.
inline constexpr char kTLMPBErrorDomain[] = "com.tarvix.qvr.measurement.ProtocolBufferErrorDomain";
inline constexpr long kTLMPBErrorDecodeFailed = 1;
inline constexpr long kTLMPBErrorEncodeFailed = 2;

// Console message codes of the two failure lines.
inline constexpr long kTLMPBDecodeFailedMessageCode = 47001;
inline constexpr long kTLMPBEncodeFailedMessageCode = 47002;

// Walks `size` bytes as a message of `fields` without decoding them. Returns
// false and fills `reason` (when given) when the bytes are malformed (a
// truncated or over-long varint, a length beyond the end, field number 0, a
// group or an unknown wire type), hold a declared string field over
// kTLMPBMaxStringLength bytes ("Unable to process proto stream. Buffer is
// too big. %zu > %d"), nest deeper than kTLMPBMaxNestingDepth ("Unable to
// process proto stream. Nesting is too deep. %d > %d") or would decode to
// more than kTLMPBMaxDecodedSize bytes ("Unable to process proto stream.
// Decoded message is too big. %zu > %zu"). Undeclared fields are skipped.
// Recursion is bounded by kTLMPBMaxNestingDepth.
[[nodiscard]] bool tlm_scanProtoMessage(const pb_msgdesc_t* fields, const std::uint8_t* data,
                                        std::size_t size, std::string* reason);

// nanopb always writes repeated numbers packed; the wire format wants them
// unpacked, one key per element. Rewrites the packed runs of declared
// repeated number fields in `bytes`, this process's own encoding of a
// message of `fields`. Returns false when the bytes are not well formed.
[[nodiscard]] bool tlm_unpackRepeatedNumbers(const pb_msgdesc_t* fields, Bytes* bytes);

// Decodes `size` bytes into `message`, a zero-initialised structure of
// `fields`, after tlm_scanProtoMessage has accepted them. On success the
// caller owns what nanopb allocated (pb_release). Returns false, leaves
// `message` released and zeroed, writes "<ERROR> %s decoder failed: %s" with
// `messageName` and the reason to the console logger, and fills `error`
// (when given) on failure. Undeclared fields are dropped.
[[nodiscard]] bool tlm_decodeProtoMessage(const pb_msgdesc_t* fields, const char* messageName,
                                          const std::uint8_t* data, std::size_t size, void* message,
                                          Error* error);

// Encodes `message` in ascending field order, repeated numbers unpacked;
// the buffer is sized by a counting pass first. Returns nothing, logs "<ERROR> %s Encoder: %s" and
// fills `error` (when given) on failure.
[[nodiscard]] std::optional<Bytes> tlm_encodeProtoMessage(const pb_msgdesc_t* fields,
                                                          const char* messageName,
                                                          const void* message, Error* error);

// Deep-copies `source` into `destination` (zero-initialised) by encoding and
// decoding again. The limits of tlm_decodeProtoMessage do not apply: the
// bytes are this process's own encoding of a message it already holds.
// Returns false and leaves `destination` zeroed only when memory runs out.
bool tlm_copyProtoMessage(const pb_msgdesc_t* fields, const void* source, void* destination);

// Allocation for the message layer, compatible with nanopb's pb_release
// (malloc, realloc, free). Throws std::bad_alloc when memory runs out, as
// every other allocation of the library does. tlm_protoAllocate zeroes.
void* tlm_protoAllocate(std::size_t size);
void* tlm_protoReallocate(void* pointer, std::size_t size);

// A nanopb string is NUL-terminated, so text is kept up to its first NUL.
char* tlm_protoCopyString(std::string_view text);
std::string tlm_protoString(const char* text);
