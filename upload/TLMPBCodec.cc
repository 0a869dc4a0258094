#include "upload/TLMPBCodec.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "utilities/HRNLogger.h"

namespace {

constexpr char kLoggerService[] = "<Ferrolux>";

void logFailure(const char* messageName, const char* what, const std::string& reason,
                long messageCode) {
  std::string line = "<ERROR> ";
  line += messageName;
  line += what;
  line += reason;
  HRNLogError(kLoggerService, false, HRNMessageCode(messageCode), line);
}

Error failure(long code, const std::string& reason) {
  Error error;
  error.domain = kTLMPBErrorDomain;
  error.code = code;
  error.description = reason;
  return error;
}

// Encodes without logging; nullopt only when nanopb refuses the message.
// `unpacked`: write repeated numbers one key per element, as the wire
// format wants (a copy within the process does not need to).
std::optional<Bytes> encode(const pb_msgdesc_t* fields, const void* message, bool unpacked,
                            std::string* reason) {
  std::size_t size = 0;
  if (!pb_get_encoded_size(&size, fields, message)) {
    *reason = "Unable to compute the encoded size";
    return std::nullopt;
  }
  Bytes buffer(size);
  pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), buffer.size());
  if (!pb_encode(&stream, fields, message)) {
    *reason = PB_GET_ERROR(&stream);
    return std::nullopt;
  }
  buffer.resize(stream.bytes_written);
  if (unpacked && !tlm_unpackRepeatedNumbers(fields, &buffer)) {
    *reason = "Unable to write repeated numbers unpacked";
    return std::nullopt;
  }
  return buffer;
}

}  // namespace

bool tlm_decodeProtoMessage(const pb_msgdesc_t* fields, const char* messageName,
                            const std::uint8_t* data, std::size_t size, void* message,
                            Error* error) {
  std::string reason;
  bool decoded = tlm_scanProtoMessage(fields, data, size, &reason);
  if (decoded) {
    pb_istream_t stream = pb_istream_from_buffer(size == 0 ? nullptr : data, size);
    decoded = pb_decode(&stream, fields, message);
    if (!decoded) reason = PB_GET_ERROR(&stream);
  }
  if (decoded) return true;
  pb_release(fields, message);
  logFailure(messageName, " decoder failed: ", reason, kTLMPBDecodeFailedMessageCode);
  if (error != nullptr) *error = failure(kTLMPBErrorDecodeFailed, reason);
  return false;
}

std::optional<Bytes> tlm_encodeProtoMessage(const pb_msgdesc_t* fields, const char* messageName,
                                            const void* message, Error* error) {
  std::string reason;
  std::optional<Bytes> bytes = encode(fields, message, true, &reason);
  if (bytes) return bytes;
  logFailure(messageName, " Encoder: ", reason, kTLMPBEncodeFailedMessageCode);
  if (error != nullptr) *error = failure(kTLMPBErrorEncodeFailed, reason);
  return std::nullopt;
}

bool tlm_copyProtoMessage(const pb_msgdesc_t* fields, const void* source, void* destination) {
  std::string reason;
  const std::optional<Bytes> bytes = encode(fields, source, false, &reason);
  if (!bytes) return false;
  pb_istream_t stream = pb_istream_from_buffer(bytes->data(), bytes->size());
  if (pb_decode(&stream, fields, destination)) return true;
  pb_release(fields, destination);
  return false;
}

void* tlm_protoAllocate(std::size_t size) {
  void* pointer = std::calloc(1, size == 0 ? 1 : size);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

void* tlm_protoReallocate(void* pointer, std::size_t size) {
  void* resized = std::realloc(pointer, size == 0 ? 1 : size);
  if (resized == nullptr) throw std::bad_alloc();
  return resized;
}

char* tlm_protoCopyString(std::string_view text) {
  const std::size_t length = std::min(text.find('\0'), text.size());
  char* copy = static_cast<char*>(tlm_protoAllocate(length + 1));
  std::memcpy(copy, text.data(), length);
  return copy;
}

std::string tlm_protoString(const char* text) { return text != nullptr ? std::string(text) : ""; }
