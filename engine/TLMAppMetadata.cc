#include "engine/TLMAppMetadata.h"

#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kNegativeIndexLevel = 2;
constexpr char kNegativeIndexMessage[] =
    "Failed to create app metadata object. Received negative last bundle index.";
constexpr int kIndexOverflowLevel = 5;
constexpr char kIndexOverflowMessage[] = "Bundle index overflow. Bundle index reset to 0.";

}  // namespace

TLMAppMetadata::TLMAppMetadata(Token, std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                               double lastBundleEndTimestamp)
    : lastBundleIndex_(lastBundleIndex),
      lastBundleStartTimestamp_(lastBundleStartTimestamp),
      lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

TLMAppMetadataPtr TLMAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                          double lastBundleStartTimestamp,
                                                          double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    TLMMeasurement::monitor().logWithLevel(kNegativeIndexLevel, kTLMAppMetadataNegativeIndexCode,
                                           kNegativeIndexMessage);
    return nullptr;
  }
  return std::make_shared<TLMAppMetadata>(Token(), lastBundleIndex, lastBundleStartTimestamp,
                                          lastBundleEndTimestamp);
}

void TLMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ >= kMaxLastBundleIndex) {
    TLMMeasurement::monitor().logWithLevel(kIndexOverflowLevel, kTLMAppMetadataIndexOverflowCode,
                                           kIndexOverflowMessage);
    lastBundleIndex_ = 0;
    return;
  }
  ++lastBundleIndex_;
}
