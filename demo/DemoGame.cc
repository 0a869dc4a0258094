#include "demo/DemoGame.h"

#include <chrono>
#include <cstdarg>
#include <memory>
#include <thread>

#include "core/QLFApp.h"
#include "ferrolux/Object.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/ClassRuntime.h"
#include "platform/ContainerViewControllers.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "platform/ViewController.h"
#include "platform/Window.h"

namespace {

// Frames the demo plays, and when it changes screens.
constexpr int kFrameCount = 12;
constexpr int kMenuFrame = 2;
constexpr int kLevelFrame = 6;
// A turn of play: the game runs at this pace, as a player would, so the
// library's queues work beside it as they would in a real session.
constexpr auto kFrameDuration = std::chrono::milliseconds(100);
// The time the system grants an app in the background for the work it has
// asked for (an upload, say); the demo then terminates regardless.
constexpr int kMaxBackgroundFrames = 300;

}  // namespace

DemoGame::DemoGame(Platform& platform, std::FILE* out) : platform_(platform), out_(out) {}

void DemoGame::say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fprintf(out_, "[demo] ");
  std::vfprintf(out_, format, arguments);
  std::fprintf(out_, "\n");
  std::fflush(out_);
  va_end(arguments);
}

int DemoGame::run(int argc, char** argv) {
  Application& application = platform_.application();
  ClassRuntime& runtime = platform_.classRuntime();
  say("engine started with %d argument(s); bundle %s (%s)", argc,
      platform_.bundle().bundlePath().c_str(), platform_.bundle().bundleIdentifier().c_str());
  (void)argv;

  auto expect = [this](bool ok, const char* step) {
    if (!ok) {
      ++failures_;
      say("step failed: %s", step);
    }
  };

  expect(application.finishLaunching(), "finish launching");
  say("finished launching");

  // The platform core starts analytics; what the game logs before that is
  // dropped, what it logs after is queued in order.
  expect(QLFApp::configure(), "configure the platform core");
  say("platform core configured");
  QLFAnalytics::setUserPropertyString(Object("casual"), "player_type");
  QLFAnalytics::setUserID(Object("demo-player-1"));
  QLFAnalytics::logEventWithName("tutorial_begin", std::nullopt);

  // The game's screens are classes of the app's own module.
  runtime.registerClass("DemoGame.TitleViewController", "UIViewController");
  runtime.registerClass("DemoGame.MenuViewController", "UIViewController");
  runtime.registerClass("DemoGame.LevelViewController", "UIViewController");
  auto title = ViewController::create(runtime.classNamed("DemoGame.TitleViewController"));
  auto navigation = NavigationController::create(runtime, title);
  std::shared_ptr<Window> window = application.createWindow();
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  say("showing %s", title->className().c_str());

  expect(application.becomeActive(), "become active");
  say("active");

  for (int number = 1; number <= kFrameCount; ++number) {
    if (number == kMenuFrame) {
      auto menu = ViewController::create(runtime.classNamed("DemoGame.MenuViewController"));
      expect(navigation->pushViewController(menu, true), "push menu");
      say("frame %d: showing %s", number, menu->className().c_str());
    } else if (number == kLevelFrame) {
      auto level = ViewController::create(runtime.classNamed("DemoGame.LevelViewController"));
      expect(navigation->pushViewController(level, true), "push level");
      say("frame %d: showing %s", number, level->className().c_str());
      QLFAnalytics::logEventWithName(
          "level_start", Object::dictionary({{Object("level_name"), Object("forest")},
                                             {Object("difficulty"), Object::integer(2)}}));
      say("frame %d: logged level_start", number);
    }
    frame(number);
  }

  QLFAnalytics::logEventWithName("level_end",
                                 Object::dictionary({{Object("level_name"), Object("forest")},
                                                     {Object("success"), Object::integer(1)}}));
  QLFAnalytics::setUserPropertyString(Object("forest"), "last_level");
  say("logged level_end");
  QLFAnalytics::logEventWithName(
      "earn_virtual_currency",
      Object::dictionary({{Object("virtual_currency_name"), Object("gems")},
                          {Object("value"), Object::integer(25)}}));
  QLFAnalytics::logEventWithName("post_score",
                                 Object::dictionary({{Object("score"), Object::integer(4200)},
                                                     {Object("level"), Object::integer(1)}}));
  say("logged earn_virtual_currency and post_score");

  expect(application.resignActive(), "resign active");
  say("resigned active");
  expect(application.enterBackground(), "enter background");
  say("in the background");
  // The library uploads what it stored inside a background task; the app
  // stays alive until every background task has ended, or its time is up.
  int number = kFrameCount + 1;
  frame(number++);
  while (!application.backgroundTasks().empty() && number <= kFrameCount + kMaxBackgroundFrames) {
    frame(number++);
  }
  if (application.backgroundTasks().empty()) {
    say("background work done");
  } else {
    say("background time is up with %zu task(s) outstanding", application.backgroundTasks().size());
  }
  expect(application.terminate(), "terminate");
  say("terminated");
  frame(number);
  return failures_ == 0 ? 0 : 1;
}

void DemoGame::frame(int number) {
  std::this_thread::sleep_for(kFrameDuration);
  const int ran = platform_.dispatch().drainMainQueue();
  if (ran > 0) say("frame %d: ran %d main-queue block(s)", number, ran);
}
