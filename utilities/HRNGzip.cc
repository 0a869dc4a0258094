#include "utilities/HRNGzip.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>

namespace {

// windowBits for deflateInit2/inflateInit2: 15 (the largest window) plus
// 16 for a gzip wrapper instead of a zlib one.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;
constexpr std::size_t kChunkSize = 64 * 1024;

bool fail(Error* error, long code, std::string description) {
  if (error) {
    *error = Error{kHRNGzipErrorDomain, code, std::move(description), std::nullopt};
  }
  return false;
}

std::string zlibMessage(const z_stream& stream, int status) {
  if (stream.msg) return stream.msg;
  return "zlib status " + std::to_string(status);
}

// zlib counts input in uInt; larger inputs are fed in pieces.
void feedInput(z_stream* stream, const Bytes& data, std::size_t* offset) {
  const std::size_t piece =
      std::min<std::size_t>(data.size() - *offset, std::numeric_limits<uInt>::max());
  // zlib's next_in is not const-qualified but is never written through.
  stream->next_in = const_cast<Bytef*>(data.data() + *offset);
  stream->avail_in = static_cast<uInt>(piece);
  *offset += piece;
}

}  // namespace

std::optional<Bytes> hrn_dataByGzippingData(const Bytes& data, Error* error) {
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits,
                            kMemoryLevel, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    fail(error, kHRNGzipErrorCodeInternal,
         "Failed to start gzip compression: " + zlibMessage(stream, status));
    return std::nullopt;
  }
  Bytes output;
  output.reserve(deflateBound(&stream, static_cast<uLong>(data.size())));
  std::array<Bytef, kChunkSize> chunk;
  std::size_t offset = 0;
  do {
    if (stream.avail_in == 0 && offset < data.size()) feedInput(&stream, data, &offset);
    const int flush = offset == data.size() ? Z_FINISH : Z_NO_FLUSH;
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    status = deflate(&stream, flush);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      const std::string message = zlibMessage(stream, status);
      deflateEnd(&stream);
      fail(error, kHRNGzipErrorCodeInternal, "Failed to gzip data: " + message);
      return std::nullopt;
    }
    output.insert(output.end(), chunk.data(), chunk.data() + (chunk.size() - stream.avail_out));
  } while (status != Z_STREAM_END);
  deflateEnd(&stream);
  return output;
}

std::optional<Bytes> hrn_dataByInflatingGzippedData(const Bytes& data, Error* error) {
  return hrn_dataByInflatingGzippedDataWithLimit(data, kHRNGzipMaxInflatedSize, error);
}

std::optional<Bytes> hrn_dataByInflatingGzippedDataWithLimit(const Bytes& data, std::size_t maxSize,
                                                             Error* error) {
  if (data.empty()) {
    fail(error, kHRNGzipErrorCodeTruncated, "Failed to inflate gzipped data: no data");
    return std::nullopt;
  }
  z_stream stream{};
  int status = inflateInit2(&stream, kGzipWindowBits);
  if (status != Z_OK) {
    fail(error, kHRNGzipErrorCodeInternal,
         "Failed to start gzip decompression: " + zlibMessage(stream, status));
    return std::nullopt;
  }
  auto failAndEnd = [&](long code, std::string description) {
    inflateEnd(&stream);
    fail(error, code, "Failed to inflate gzipped data: " + description);
    return std::nullopt;
  };
  Bytes output;
  std::array<Bytef, kChunkSize> chunk;
  std::size_t offset = 0;
  for (;;) {
    if (stream.avail_in == 0 && offset < data.size()) feedInput(&stream, data, &offset);
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = chunk.size() - stream.avail_out;
    if (produced > maxSize - output.size()) {
      return failAndEnd(kHRNGzipErrorCodeTooLarge,
                        "inflated size exceeds " + std::to_string(maxSize) + " bytes");
    }
    output.insert(output.end(), chunk.data(), chunk.data() + produced);
    const bool inputConsumed = stream.avail_in == 0 && offset == data.size();
    switch (status) {
      case Z_OK:
        continue;
      case Z_STREAM_END:
        if (inputConsumed) {
          inflateEnd(&stream);
          return output;
        }
        // Another member follows; anything else fails its header check.
        if (inflateReset(&stream) != Z_OK) {
          return failAndEnd(kHRNGzipErrorCodeInternal, zlibMessage(stream, status));
        }
        continue;
      case Z_BUF_ERROR:
        // No progress possible: with all input consumed the stream was cut
        // short; with input left over zlib is stuck, which it never is.
        if (inputConsumed) return failAndEnd(kHRNGzipErrorCodeTruncated, "unexpected end of data");
        return failAndEnd(kHRNGzipErrorCodeInternal, zlibMessage(stream, status));
      case Z_DATA_ERROR:
      case Z_NEED_DICT:
        return failAndEnd(kHRNGzipErrorCodeCorrupt, zlibMessage(stream, status));
      default:
        return failAndEnd(kHRNGzipErrorCodeInternal, zlibMessage(stream, status));
    }
  }
}
