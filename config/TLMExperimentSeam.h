// What the remote configuration needs of the experiment manager
// (TLMEManager) and of the library's own experiment client in it
// (TLMEClient). Stand-in: the experiments work implements these two
// interfaces over its manager and client; until then the engine passes no
// manager and every experiment flag yields nothing (docs/stand-ins.md).
//
// Threading: every call may come from any queue; implementations do their
// own locking (the manager's serial queue).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolux/Object.h"

// The SDK property name and default flags the library registers under.
inline constexpr char kTLMExperimentSDKName[] = "ferrolux";

// The delegate of the library's client and of its SDK property, held
// weakly by the manager. TLMRemoteConfig implements it.
class TLMExperimentClientDelegate {
 public:
  virtual ~TLMExperimentClientDelegate() = default;
  // A fetched snapshot waits to be activated by the delegate.
  virtual void clientDidReceiveNewSnapshot() = 0;
  // A fetch for this SDK failed; `error` may be null.
  virtual void clientDidReceiveFetchError(const Error* error) = 0;
  // Whether experiments are fetched at all.
  virtual bool shouldFetchExperimentsForClient() = 0;
  // Custom properties added to each experiment request, or nothing.
  virtual std::optional<std::map<std::string, std::string>>
  dynamicCustomPropertiesForSDKProperty() = 0;
};

// One registered SDK's view of the manager.
class TLMExperimentClientSeam {
 public:
  virtual ~TLMExperimentClientSeam() = default;
  // The flag's value from the activated snapshot, then the launched flags,
  // then the registered default; nothing for a flag never registered.
  virtual std::optional<Object> valueForFlag(std::string_view flagName) = 0;
  // Activates the SDK's pending snapshot. Returns false, filling `error`
  // when there is a reason to report, when none was activated.
  [[nodiscard]] virtual bool activateLatestSnapshot(Error* error) = 0;
};

class TLMExperimentManagerSeam {
 public:
  virtual ~TLMExperimentManagerSeam() = default;
  // Registers the SDK property `sdkName` at `sdkVersion` with its default
  // flags (name to default value) and `delegate`, held weakly; the client,
  // or null when the manager refuses.
  virtual std::shared_ptr<TLMExperimentClientSeam> registerSDKProperty(
      const std::string& sdkName, std::int64_t sdkVersion,
      const std::map<std::string, Object>& defaultFlags,
      std::weak_ptr<TLMExperimentClientDelegate> delegate) = 0;
  // The IDs of the experiments in force, ascending.
  virtual std::vector<std::int64_t> experimentIDs() = 0;
  // Forgets every snapshot; registered clients stay.
  virtual void reset() = 0;
};
