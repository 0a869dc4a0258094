// Shared set-up of the application layer tests: a deterministic executor
// driven by the test thread (which is the main thread), a dispatch service,
// a notification centre that records what it posts, and an application.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

struct ApplicationTestEnvironment {
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<DeterministicExecutor> executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch{executor};
  NotificationCenter center;
  Application application{center, dispatch};

  // Records the names of notifications posted from now on whose name
  // begins with `prefix`, with their objects.
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
