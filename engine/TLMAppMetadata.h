// The bookkeeping record of the last upload bundle: its index and its start
// and end times. Kept in the database's single app_metadata row and updated
// by bundle assembly.
//
// Used on the worker queue only.
#pragma once

#include <cstdint>
#include <memory>

class TLMAppMetadata;
using TLMAppMetadataPtr = std::shared_ptr<TLMAppMetadata>;

// Monitor codes.
inline constexpr long kTLMAppMetadataNegativeIndexCode = 4000;
inline constexpr long kTLMAppMetadataIndexOverflowCode = 4001;

class TLMAppMetadata {
 public:
  // The index wraps to 0 after this value.
  static constexpr std::int32_t kMaxLastBundleIndex = 2147483647;

  // Nil, with a monitor report (4000), for a negative index.
  static TLMAppMetadataPtr initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                   double lastBundleStartTimestamp,
                                                   double lastBundleEndTimestamp);

  // Adds one; at kMaxLastBundleIndex wraps to 0 with a monitor report
  // (4001).
  void incrementLastBundleIndex();

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleStartTimestamp(double seconds) { lastBundleStartTimestamp_ = seconds; }
  void setLastBundleEndTimestamp(double seconds) { lastBundleEndTimestamp_ = seconds; }

  // Use initWithLastBundleIndex; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMAppMetadata(Token, std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                 double lastBundleEndTimestamp);

 private:
  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
