// Shared set-up of the platform tests: a deterministic executor driven by
// the test thread (which is the main thread), its dispatch service and a
// notification centre, optionally with an application that records the
// notifications it posts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "support/TempFolder.h"

struct DeterministicServices {
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<DeterministicExecutor> executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch{executor};
  NotificationCenter center;
};

struct ApplicationTestEnvironment : DeterministicServices {
  Application application{center, dispatch};

  // Records the notifications posted from now on whose name begins with
  // `prefix`, with their objects.
  struct Posted {
    std::string name;
    const void* object;
  };
  std::vector<Posted> posted;
  void recordNotifications(const std::string& prefix) {
    center.addObserver(this, "", nullptr, [this, prefix](const Notification& n) {
      if (n.name.rfind(prefix, 0) == 0) posted.push_back({n.name, n.object});
    });
  }
  std::vector<std::string> postedNames() const {
    std::vector<std::string> names;
    for (const auto& p : posted) names.push_back(p.name);
    return names;
  }

  ~ApplicationTestEnvironment() { center.removeObserver(this); }
};
