// libFuzzer target for one message decoder, chosen at build time with
// FERROLUX_FUZZ_MESSAGE (a TLMPB class name). Whatever the bytes, decoding
// must neither crash nor leak; what decodes must encode, and its encoding
// must decode to the same encoding again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "upload/TLMPBConfigMessages.h"
#include "upload/TLMPBProgramMessages.h"
#include "upload/TLMPBUploadMessages.h"
#include "utilities/HRNLogger.h"

using FuzzedMessage = FERROLUX_FUZZ_MESSAGE;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every refused input writes a failure line; keep the console quiet.
  HRNLogger_TEST_setSink([](const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<FuzzedMessage> message = FuzzedMessage::initWithBuffer(data, size);
  if (!message) return 0;
  const std::optional<Bytes> encoded = message->protoBuffer();
  if (!encoded) std::abort();
  const std::optional<FuzzedMessage> again = FuzzedMessage::initWithBuffer(*encoded);
  if (!again || again->protoBuffer() != encoded) std::abort();
  const FuzzedMessage copy(*message);
  if (copy.protoBuffer() != encoded) std::abort();
  return 0;
}
