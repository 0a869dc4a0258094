#include "engine/TLMScheduler.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <typeinfo>
#include <utility>

#include "engine/TLMMeasurement.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "upload/TLMException.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelWarning = 4;

std::string withBlockID(const char* before, std::string_view blockID, const char* after) {
  std::string text(before);
  text.append(blockID);
  text.append(after);
  return text;
}

std::string demangled(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (readable == nullptr) return name;
  std::string result(readable);
  std::free(readable);
  return result;
}

// The exception in flight as a report context. Called inside a catch.
Object currentExceptionObject() {
  try {
    throw;
  } catch (const std::exception& exception) {
    return TLMException::object(demangled(typeid(exception).name()), exception.what(), {});
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return TLMException::object(type != nullptr ? demangled(type->name()) : "unknown",
                                "exception of a type that carries no description", {});
  }
}

// Runs `block`, reporting an exception instead of letting it leave. Returns
// whether the block finished.
bool runProtected(const std::function<void()>& block, long code, const std::string& message) {
  try {
    block();
    return true;
  } catch (...) {
    TLMMeasurement::monitor().logWithLevel(kLevelFailure, code, message, currentExceptionObject());
    return false;
  }
}

}  // namespace

std::shared_ptr<TLMScheduler> TLMScheduler::initWithWorkerQueueLabel(const std::string& label) {
  return std::make_shared<TLMScheduler>(label);
}

TLMScheduler::TLMScheduler(const std::string& label) {
  Dispatch& dispatch = Platform::current().dispatch();
  workerQueue_ = dispatch.createSerialQueue(label, dispatch.globalQueue(QueuePriority::Background));
}

void TLMScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID,
                                                std::function<void()> block) {
  if (!block) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelFailure, kTLMSchedulerCodeAsyncNilBlock,
        withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=", blockID,
                    "."));
    return;
  }
  workerQueue_->async(
      [block = std::move(block),
       message = withBlockID("Exception on worker queue. Block ID=", blockID, ". Exception")] {
        (void)runProtected(block, kTLMSchedulerCodeAsyncException, message);
      });
}

bool TLMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                                    const std::function<void()>& block) {
  if (!block) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelFailure, kTLMSchedulerCodeSyncNilBlock,
        withBlockID("Nil block dispatched synchronously on worker queue. Block ID=", blockID, "."));
    return false;
  }
  bool finished = false;
  const std::string message = withBlockID(
      "Exception on worker queue when processing sync block. Block ID=", blockID, ". Exception");
  workerQueue_->sync(
      [&] { finished = runProtected(block, kTLMSchedulerCodeSyncException, message); });
  if (!finished) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelWarning, kTLMSchedulerCodeSyncFailed,
        withBlockID("Synchronous task failed. Block ID=", blockID, ""));
  }
  return finished;
}

bool TLMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  const std::shared_ptr<Platform> platform = Platform::installed();
  if (platform == nullptr || !platform->dispatch().isMainThread()) return true;
  const std::string_view shown = methodName.empty() ? "<empty method name>" : methodName;
  TLMMeasurement::monitor().logWithLevel(
      kLevelFailure, kTLMSchedulerCodeNotOnBackgroundThread,
      withBlockID("Method ", shown, " should execute on background thread"));
  return false;
}
