#include "engine/TLMErrorEventSeam.h"

#include <memory>
#include <mutex>
#include <utility>

namespace {

struct SeamState {
  std::mutex mutex;
  // Shared so that a call in progress keeps its function while another
  // thread reconnects.
  std::shared_ptr<const TLMErrorEventSeam::InternalEventLogger> logger;
};

// Leaked on purpose: error events may be logged from pool threads while
// the process exits.
SeamState& state() {
  static SeamState* const instance = new SeamState();
  return *instance;
}

}  // namespace

void TLMErrorEventSeam::connect(InternalEventLogger logger) {
  std::shared_ptr<const InternalEventLogger> connected;
  if (logger) connected = std::make_shared<const InternalEventLogger>(std::move(logger));
  std::lock_guard<std::mutex> lock(state().mutex);
  state().logger.swap(connected);
}

bool TLMErrorEventSeam::isConnected() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().logger != nullptr;
}

void TLMErrorEventSeam::logInternalEventWithOrigin(const std::string& origin,
                                                   const std::string& name,
                                                   const ObjectDictionary& parameters) {
  std::shared_ptr<const InternalEventLogger> logger;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    logger = state().logger;
  }
  if (logger) (*logger)(origin, name, parameters);
}
