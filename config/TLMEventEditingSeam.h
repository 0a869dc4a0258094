// How the remote configuration builds the event-editing runtime
// (TLMPEventEditing) from a configuration's programs. Stand-in: the
// event-editing work installs a loader; without one a configuration's
// programs are kept in the stored blob but no runtime is made
// (docs/stand-ins.md).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/TLMEvent.h"
#include "ferrolux/Object.h"
#include "upload/TLMPBProgramMessages.h"

class TLMRemoteConfig;

// The loaded runtime as the configuration holds it; the event-editing work
// derives its TLMPEventEditing from this. The pipeline asks
// TLMRemoteConfig::eventEditing() for it on the worker queue.
class TLMEventEditingRuntime {
 public:
  virtual ~TLMEventEditingRuntime() = default;

  // What one event's editing produced: the edited event when it differs
  // from the input, and the events the programs created, in order.
  struct Outcome {
    std::optional<TLMEditEventFields> editedEvent;
    std::vector<TLMEditEventFields> createdEvents;
  };
  // Runs the editing programs on `event`. Returns false and fills `error`
  // when the run failed. Default: nothing changes. Worker queue.
  virtual bool handleEvent(const TLMEditEventFields& event, Outcome& outcome, Error* error) {
    (void)event, (void)outcome, (void)error;
    return true;
  }
};

// Makes a new runtime for `programs` (never empty). The loader registers
// the module creators the configuration owns: "internal.remoteConfig" (a
// key-value store whose "getValue" answers
// `remoteConfig.lock()->cachedStringValueForKey(key)`, or its default when
// that is nothing or the configuration is gone), "internal.appMetadata"
// ("platform" = "ios", "package_name" = the bundle identifier,
// "qvr_version" = the library version as a number, "app_version" when
// known) and "internal.logger"; then it loads the first program only. The
// loader must hold `remoteConfig` weakly: the configuration owns the
// runtime. Null, with `error` filled, when loading fails.
//
// Called on the queue that parses the configuration (the worker queue).
using TLMEventEditingLoader = std::function<std::shared_ptr<TLMEventEditingRuntime>(
    const std::vector<TLMPBProgram>& programs, std::weak_ptr<const TLMRemoteConfig> remoteConfig,
    Error* error)>;
