#include "tools/sim/SimOps.h"

#include <optional>
#include <utility>

#include "core/QLFApp.h"
#include "core/QLFOptions.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Application.h"
#include "platform/ClassRuntime.h"
#include "platform/Platform.h"
#include "platform/ViewController.h"
#include "platform/Window.h"

namespace {

constexpr char kViewControllerClass[] = "UIViewController";
constexpr char kScreenViewEvent[] = "screen_view";
constexpr char kScreenNameParameter[] = "screen_name";
constexpr char kScreenClassParameter[] = "screen_class";

bool refused(std::string* problem, const std::string& what) {
  if (problem != nullptr) *problem = what;
  return false;
}

OptionalObject optionalText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return Object(*text);
}

}  // namespace

SimOpRunner::SimOpRunner(Platform& platform) : platform_(platform) {}

bool SimOpRunner::run(const SimOp& op, std::string* problem) {
  switch (op.kind) {
    case SimOpKind::Launch:
      return launch(op.launch, problem);
    case SimOpKind::LogEvent:
      if (op.text) {
        QLFAnalytics::logEventWithOrigin(*op.text, op.name, op.parameters);
      } else {
        QLFAnalytics::logEventWithName(op.name, op.parameters);
      }
      return true;
    case SimOpKind::SetUserProperty:
      QLFAnalytics::setUserPropertyString(optionalText(op.text), op.name);
      return true;
    case SimOpKind::SetUserID:
      QLFAnalytics::setUserID(optionalText(op.text));
      return true;
    case SimOpKind::SetCollectionEnabled:
      QLFAnalytics::setAnalyticsCollectionEnabled(op.enabled);
      return true;
    case SimOpKind::SetConsent:
      QLFAnalytics::setConsent(op.consent);
      return true;
    case SimOpKind::SetDefaultParams:
      QLFAnalytics::setDefaultEventParameters(op.parameters);
      return true;
    case SimOpKind::SetSessionTimeout:
      QLFAnalytics::setSessionTimeoutInterval(op.seconds);
      return true;
    case SimOpKind::Reset:
      QLFAnalytics::resetAnalyticsData();
      return true;
    case SimOpKind::AppState:
      return moveTo(op.state, problem);
    case SimOpKind::Screen:
      return screen(op, problem);
    case SimOpKind::OpenURL:
      return openURL(*op.text, problem);
    case SimOpKind::Terminate:
      return terminate(problem);
    case SimOpKind::Start:
    case SimOpKind::Crash:
    case SimOpKind::Wait:
      return true;
  }
  return true;
}

bool SimOpRunner::launch(const SimLaunch& launch, std::string* problem) {
  Application& app = platform_.application();
  if (!app.finishLaunching()) return refused(problem, "the app cannot finish launching");
  if (launch.configure) {
    // The bundle's options, as the platform core reads them, with the
    // scenario's start options over them.
    QLFOptions options = QLFOptions::defaultOptions().value_or(QLFOptions(launch.appID));
    if (launch.collectionEnabled) options.setAnalyticsCollectionEnabled(*launch.collectionEnabled);
    if (launch.collectionDeactivated) {
      options.setAnalyticsCollectionDeactivated(*launch.collectionDeactivated);
    }
    if (!QLFApp::configureWithOptions(options)) {
      return refused(problem, "the platform core could not be configured");
    }
  }
  if (!app.becomeActive()) return refused(problem, "the app cannot become active");
  return true;
}

// Steps through the states in between, as the platform does, so each
// notification is posted in its order.
bool SimOpRunner::moveTo(SimAppState target, std::string* problem) {
  Application& app = platform_.application();
  for (int step = 0; step < 3; ++step) {
    const ApplicationState now = app.applicationState();
    bool moved = true;
    if (now == ApplicationState::Active) {
      if (target == SimAppState::Active) return true;
      moved = app.resignActive();
    } else if (now == ApplicationState::Inactive) {
      if (target == SimAppState::Inactive) return true;
      moved = target == SimAppState::Active ? app.becomeActive() : app.enterBackground();
    } else {
      if (target == SimAppState::Background) return true;
      moved = app.enterForeground();
    }
    if (!moved) return refused(problem, "the app refused the change of state");
  }
  return refused(problem, "the app did not reach the state");
}

bool SimOpRunner::terminate(std::string* problem) {
  Application& app = platform_.application();
  if (app.applicationState() == ApplicationState::Active && !app.resignActive()) {
    return refused(problem, "the app cannot resign active");
  }
  if (!app.terminate()) return refused(problem, "the app cannot terminate");
  return true;
}

bool SimOpRunner::screen(const SimOp& op, std::string* problem) {
  ClassRuntime& runtime = platform_.classRuntime();
  std::shared_ptr<RuntimeClass> screenClass = runtime.classNamed(op.name);
  if (screenClass == nullptr) screenClass = runtime.registerClass(op.name, kViewControllerClass);
  if (screenClass == nullptr) {
    return refused(problem, "cannot make a view controller class named \"" + op.name + "\"");
  }
  std::shared_ptr<ViewController> controller = ViewController::create(screenClass);
  if (window_ == nullptr) {
    window_ = platform_.application().createWindow();
    window_->setRootViewController(controller);
    window_->makeKeyAndVisible();
  } else {
    // The new screen replaces the one shown: it disappears, this appears.
    window_->setRootViewController(controller);
  }
  if (window_->rootViewController() != controller) {
    return refused(problem, "the view controller could not be shown");
  }
  if (op.text) {
    // The app names its screen the way an app does: by logging the
    // screen view itself.
    QLFAnalytics::logEventWithName(
        kScreenViewEvent, Object::dictionary({{Object(kScreenNameParameter), Object(*op.text)},
                                              {Object(kScreenClassParameter), Object(op.name)}}));
  }
  return true;
}

bool SimOpRunner::openURL(const std::string& url, std::string* problem) {
  if (!platform_.application().deliverOpenURL(url).has_value()) {
    return refused(problem, "nothing in the app handles opened URLs");
  }
  return true;
}
