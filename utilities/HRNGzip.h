// Gzip (RFC 1952) compression and decompression of byte strings, as the
// utilities framework offers it: queued bundles are stored gzipped and
// experiment responses arrive gzipped. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>

#include "ferrolux/Object.h"

inline constexpr const char* kHRNGzipErrorDomain = "com.tarvix.utilities.HRNGzip";

enum HRNGzipErrorCode : long {
  // zlib could not start or failed on its own (out of memory).
  kHRNGzipErrorCodeInternal = 1,
  // Not a gzip stream, or its checksum or length does not match.
  kHRNGzipErrorCodeCorrupt = 2,
  // The stream ends before its last member is complete (includes empty input).
  kHRNGzipErrorCodeTruncated = 3,
  // Inflating would exceed the size limit.
  kHRNGzipErrorCodeTooLarge = 4,
};

// Upper bound of the inflated size: a few hundred bytes of gzip can
// expand to gigabytes, and nothing the library inflates comes near this.
inline constexpr std::size_t kHRNGzipMaxInflatedSize = 64u * 1024 * 1024;

// Compresses `data` into one gzip member. Empty input gives a valid stream
// that inflates to empty data. Returns nullopt and fills `error` (may be
// null) only when zlib fails.
[[nodiscard]] std::optional<Bytes> hrn_dataByGzippingData(const Bytes& data, Error* error);

// Inflates a gzip stream of one or more members (concatenated members are
// joined, as `gzip -d` does). Returns nullopt and fills `error` (may be
// null) when the input is empty, truncated, corrupt, followed by anything
// that is not another member, or would inflate beyond
// kHRNGzipMaxInflatedSize; partial output is never returned.
[[nodiscard]] std::optional<Bytes> hrn_dataByInflatingGzippedData(const Bytes& data, Error* error);

// As above with a chosen size limit.
[[nodiscard]] std::optional<Bytes> hrn_dataByInflatingGzippedDataWithLimit(const Bytes& data,
                                                                           std::size_t maxSize,
                                                                           Error* error);
