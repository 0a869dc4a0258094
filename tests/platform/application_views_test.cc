// Windows and view controllers: key window changes, class facts, appearance
// through windows, containers and presentations, swizzled appearance
// methods, per-object storage.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/ContainerViewControllers.h"
#include "platform/ViewController.h"
#include "platform/Window.h"
#include "platform_test_support.h"
#include "utilities/HRNSwizzler.h"

namespace {

using Names = std::vector<std::string>;
using VCPtr = std::shared_ptr<ViewController>;

class ViewsTest : public ::testing::Test {
 protected:
  ViewsTest() {
    runtime->registerClass("MyGame.Screen", kViewControllerClassName);
    for (const char* name : {"MyGame.A", "MyGame.B", "MyGame.C", "MyGame.P"}) {
      runtime->registerClass(name, "MyGame.Screen");
    }
  }

  VCPtr make(const std::string& className) {
    return ViewController::create(runtime->classNamed(className));
  }

  // Logs "<class without prefix> <selector>" for every appearance call of
  // every view controller, after the replaced implementation ran.
  void logAppearance() {
    for (const char* selector : {kViewWillAppearSelector, kViewDidAppearSelector,
                                 kViewWillDisappearSelector, kViewDidDisappearSelector}) {
      Implementation original =
          swizzler.currentImplementationForClass(kViewControllerClassName, selector, false);
      ASSERT_TRUE(original);
      std::string name = selector;
      ASSERT_TRUE(swizzler.swizzleClass(
          kViewControllerClassName, selector, false,
          Implementation(std::function<ViewControllerAppearanceMethod>(
              [this, original, name](ViewController& vc, bool animated) {
                (*original.function<ViewControllerAppearanceMethod>())(vc, animated);
                log.push_back(vc.classNameWithoutModulePrefix() + " " + name);
              }))));
    }
  }

  ApplicationTestEnvironment env;
  std::shared_ptr<ClassRuntime> runtime = std::make_shared<ClassRuntime>();
  HRNSwizzler swizzler{runtime};
  Names log;
};

// --- Windows ------------------------------------------------------------------------------

TEST_F(ViewsTest, KeyWindowChangesPostResignThenBecomeWithTheNewKeyWindowInPlace) {
  env.recordNotifications("UIWindow");
  std::vector<const Window*> keyAtResign;
  env.center.addObserver(
      &keyAtResign, UIWindowDidResignKeyNotification, nullptr,
      [&](const Notification&) { keyAtResign.push_back(env.application.keyWindow().get()); });
  auto first = env.application.createWindow();
  auto second = env.application.createWindow();
  EXPECT_TRUE(first->isHidden());
  EXPECT_EQ(env.application.keyWindow(), nullptr);

  first->makeKeyAndVisible();
  EXPECT_TRUE(first->isKeyWindow());
  EXPECT_FALSE(first->isHidden());
  second->makeKeyAndVisible();
  EXPECT_EQ(env.application.keyWindow(), second);
  EXPECT_FALSE(first->isKeyWindow());
  second->makeKeyWindow();  // already key: nothing posted
  second->resignKeyWindow();
  EXPECT_EQ(env.application.keyWindow(), nullptr);

  EXPECT_EQ(env.postedNames(),
            (Names{"UIWindowDidBecomeKeyNotification", "UIWindowDidResignKeyNotification",
                   "UIWindowDidBecomeKeyNotification", "UIWindowDidResignKeyNotification"}));
  std::vector<const void*> objects;
  for (const auto& p : env.posted) objects.push_back(p.object);
  EXPECT_EQ(objects,
            (std::vector<const void*>{first.get(), first.get(), second.get(), second.get()}));
  // When the first resigned the second was already key; a plain resign
  // leaves no key window.
  EXPECT_EQ(keyAtResign, (std::vector<const Window*>{second.get(), nullptr}));

  EXPECT_EQ(env.application.windows(), (std::vector<std::shared_ptr<Window>>{first, second}));
  env.center.removeObserver(&keyAtResign);
}

TEST_F(ViewsTest, RemovingTheKeyWindowResignsItAndUnlinksIt) {
  env.recordNotifications("UIWindow");
  auto window = env.application.createWindow();
  window->makeKeyAndVisible();
  env.application.removeWindow(window);
  EXPECT_EQ(env.application.keyWindow(), nullptr);
  EXPECT_TRUE(env.application.windows().empty());
  EXPECT_EQ(window->application(), nullptr);
  window->makeKeyWindow();  // a removed window cannot become key
  EXPECT_EQ(env.postedNames(),
            (Names{"UIWindowDidBecomeKeyNotification", "UIWindowDidResignKeyNotification"}));
}

// --- Classes ------------------------------------------------------------------------------

TEST_F(ViewsTest, ClassFactsKeepTheModulePrefixAndTheBundle) {
  auto menu = make("MyGame.A");
  EXPECT_EQ(menu->className(), "MyGame.A");
  EXPECT_EQ(menu->superclassName(), "MyGame.Screen");
  EXPECT_EQ(menu->classNameWithoutModulePrefix(), "A");
  EXPECT_EQ(menu->superclassNameWithoutModulePrefix(), "Screen");
  EXPECT_TRUE(menu->isFromMainBundle());
  EXPECT_TRUE(menu->isKindOfClass("UIViewController"));
  EXPECT_FALSE(menu->isKindOfClass("UINavigationController"));

  auto privateClass = runtime->registerClass("_UIAlertShimPresenter", kViewControllerClassName,
                                             kPlatformFrameworkBundlePath);
  auto shim = ViewController::create(privateClass);
  EXPECT_FALSE(shim->isFromMainBundle());
  EXPECT_EQ(shim->superclassName(), "UIViewController");

  EXPECT_FALSE(NavigationController::create(*runtime)->isFromMainBundle());

  EXPECT_EQ(classNameWithoutModulePrefix("A.B.C"), "C");
  EXPECT_EQ(classNameWithoutModulePrefix("Trailing."), "Trailing.");

  // Same registration again is the same class; a clash or an unknown
  // superclass is refused.
  EXPECT_EQ(runtime->registerClass("MyGame.A", "MyGame.Screen"), runtime->classNamed("MyGame.A"));
  EXPECT_EQ(runtime->registerClass("MyGame.A", kViewControllerClassName), nullptr);
  EXPECT_EQ(runtime->registerClass("MyGame.Z", "MyGame.Missing"), nullptr);
}

// --- Swizzling ------------------------------------------------------------------------------

// An app class that overrides the appearance method in code and calls the base.
class OverridingController : public ViewController {
 public:
  OverridingController(std::shared_ptr<RuntimeClass> c, Names* log)
      : ViewController(std::move(c)), log_(log) {}
  void viewDidAppear(bool animated) override {
    log_->push_back("override");
    ViewController::viewDidAppear(animated);
  }

 private:
  Names* log_;
};

TEST_F(ViewsTest, HooksOnABaseClassServeSubclassesAndCallWhatTheyReplaced) {
  auto hook = [this](const std::string& tag, Implementation replaced) {
    return Implementation(std::function<ViewControllerAppearanceMethod>(
        [this, tag, replaced](ViewController& vc, bool animated) {
          log.push_back(tag + " " + vc.classNameWithoutModulePrefix() +
                        (animated ? " animated" : ""));
          (*replaced.function<ViewControllerAppearanceMethod>())(vc, animated);
        }));
  };
  // The platform's own implementation first, then a hook on the platform
  // class, then one on the app's base class that calls the inherited hook.
  Implementation platformOriginal =
      swizzler.currentImplementationForClass("MyGame.A", kViewDidAppearSelector, false);
  ASSERT_TRUE(platformOriginal);
  ASSERT_TRUE(swizzler.swizzleClass(kViewControllerClassName, kViewDidAppearSelector, false,
                                    hook("platform", platformOriginal)));
  Implementation inherited =
      swizzler.currentImplementationForClass("MyGame.Screen", kViewDidAppearSelector, false);
  EXPECT_FALSE(inherited == platformOriginal);
  ASSERT_TRUE(swizzler.swizzleClass("MyGame.Screen", kViewDidAppearSelector, false,
                                    hook("screen", inherited)));

  runtime->registerClass("Other.Plain", kViewControllerClassName);
  make("MyGame.A")->viewDidAppear(true);
  make("Other.Plain")->viewDidAppear(false);
  OverridingController overriding(runtime->classNamed("MyGame.B"), &log);
  overriding.viewDidAppear(false);
  EXPECT_EQ(log, (Names{"screen A animated", "platform A animated", "platform Plain", "override",
                        "screen B", "platform B"}));
}

TEST_F(ViewsTest, SwizzlingIsRefusedForUnknownClassesAndOtherSignatures) {
  auto block = Implementation(std::function<ViewControllerAppearanceMethod>([](auto&, bool) {}));
  EXPECT_FALSE(swizzler.swizzleClass("Nope", kViewDidAppearSelector, false, block));
  EXPECT_FALSE(swizzler.swizzleClass("MyGame.A", "noSuchSelector", false, block));
  EXPECT_FALSE(
      swizzler.swizzleClass(kViewControllerClassName, kViewDidAppearSelector, true, block));
  EXPECT_FALSE(swizzler.swizzleClass(kViewControllerClassName, kViewDidAppearSelector, false,
                                     Implementation(std::function<void(int)>([](int) {}))));
  EXPECT_FALSE(swizzler.swizzleClass(kViewControllerClassName, kViewDidAppearSelector, false,
                                     Implementation()));
  EXPECT_FALSE(swizzler.currentImplementationForClass("Nope", kViewDidAppearSelector, false));
}

TEST_F(ViewsTest, SwizzlingOnAnotherThreadWhileTheMainThreadDispatches) {
  // The class load step may swizzle off the main thread while view
  // controllers already appear; every call must see a whole implementation.
  auto vc = make("MyGame.A");
  std::atomic<int> hookCalls{0};
  std::thread swizzling([&] {
    for (int i = 0; i < 200; ++i) {
      // Hooks that count without chaining, so the chain stays short.
      ASSERT_TRUE(swizzler.swizzleClass(
          "MyGame.A", kViewDidAppearSelector, false,
          Implementation(std::function<ViewControllerAppearanceMethod>(
              [&hookCalls](ViewController&, bool) { hookCalls.fetch_add(1); }))));
    }
  });
  for (int i = 0; i < 2000; ++i) vc->viewDidAppear(false);
  swizzling.join();
  vc->viewDidAppear(false);
  EXPECT_GE(hookCalls.load(), 1);
}

// --- Appearance through windows and containers --------------------------------------------------

TEST_F(ViewsTest, ShowingAWindowMakesItsContentAppearParentFirst) {
  logAppearance();
  auto window = env.application.createWindow();
  auto navigation = NavigationController::create(*runtime, make("MyGame.A"));
  window->setRootViewController(navigation);
  EXPECT_TRUE(log.empty());  // hidden window: nothing appears
  EXPECT_TRUE(navigation->isViewInWindow());
  window->makeKeyAndVisible();
  EXPECT_EQ(log, (Names{"UINavigationController viewWillAppear:", "A viewWillAppear:",
                        "UINavigationController viewDidAppear:", "A viewDidAppear:"}));
  EXPECT_EQ(navigation->topViewController()->appearanceState(), AppearanceState::Appeared);

  // Replacing the root of a visible window: old out, new in, in order.
  log.clear();
  auto other = make("MyGame.B");
  window->setRootViewController(other);
  EXPECT_EQ(log, (Names{"UINavigationController viewWillDisappear:", "A viewWillDisappear:",
                        "B viewWillAppear:", "UINavigationController viewDidDisappear:",
                        "A viewDidDisappear:", "B viewDidAppear:"}));
  EXPECT_FALSE(navigation->isViewInWindow());
  EXPECT_TRUE(other->isViewDescendantOfWindow(window.get()));

  log.clear();
  window->setHidden(true);
  EXPECT_EQ(log, (Names{"B viewWillDisappear:", "B viewDidDisappear:"}));
}

TEST_F(ViewsTest, NavigationPushAndPopDriveTheRightViewControllersInOrder) {
  logAppearance();
  // Outside a window a container only changes its children.
  auto detached = NavigationController::create(*runtime, make("MyGame.A"));
  ASSERT_TRUE(detached->pushViewController(make("MyGame.B"), false));
  EXPECT_EQ(detached->viewControllers().size(), 2u);
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(detached->topViewController()->isViewLoaded());

  auto window = env.application.createWindow();
  auto a = make("MyGame.A");
  auto navigation = NavigationController::create(*runtime, a);
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  log.clear();

  auto b = make("MyGame.B");
  ASSERT_TRUE(navigation->pushViewController(b, true));
  EXPECT_EQ(log, (Names{"A viewWillDisappear:", "B viewWillAppear:", "A viewDidDisappear:",
                        "B viewDidAppear:"}));
  EXPECT_EQ(navigation->topViewController(), b);
  EXPECT_EQ(b->parentViewController(), navigation);
  EXPECT_TRUE(b->isViewInWindow());
  EXPECT_FALSE(a->isViewInWindow());  // under the top: out of the window
  EXPECT_TRUE(a->isViewLoaded());
  EXPECT_FALSE(navigation->pushViewController(b, false));  // already in the stack

  log.clear();
  auto c = make("MyGame.C");
  ASSERT_TRUE(navigation->pushViewController(c, false));
  log.clear();
  EXPECT_EQ(navigation->popViewController(true), c);
  EXPECT_EQ(log, (Names{"C viewWillDisappear:", "B viewWillAppear:", "C viewDidDisappear:",
                        "B viewDidAppear:"}));
  EXPECT_EQ(c->parentViewController(), nullptr);

  log.clear();
  EXPECT_EQ(navigation->popToRootViewController(false), (std::vector<VCPtr>{b}));
  EXPECT_EQ(log, (Names{"B viewWillDisappear:", "A viewWillAppear:", "B viewDidDisappear:",
                        "A viewDidAppear:"}));
  EXPECT_EQ(navigation->popViewController(false), nullptr);  // only the root left
  EXPECT_EQ(navigation->viewControllers(), (std::vector<VCPtr>{a}));
}

TEST_F(ViewsTest, TabAndPageControllersShowTheirSelectedChildren) {
  logAppearance();
  auto window = env.application.createWindow();
  auto tabs = TabBarController::create(*runtime);
  auto a = make("MyGame.A");
  auto pages = PageViewController::create(*runtime);
  auto b = make("MyGame.B");
  ASSERT_TRUE(pages->setViewControllers({b}, false));
  ASSERT_TRUE(tabs->setViewControllers({a, pages}, false));
  EXPECT_EQ(tabs->selectedViewController(), a);
  window->setRootViewController(tabs);
  window->makeKeyAndVisible();
  EXPECT_FALSE(pages->isViewInWindow());
  log.clear();

  ASSERT_TRUE(tabs->setSelectedIndex(1));
  EXPECT_EQ(
      log,
      (Names{"A viewWillDisappear:", "UIPageViewController viewWillAppear:", "B viewWillAppear:",
             "A viewDidDisappear:", "UIPageViewController viewDidAppear:", "B viewDidAppear:"}));
  EXPECT_TRUE(b->isViewInWindow());
  EXPECT_EQ(tabs->selectedIndex(), 1u);
  EXPECT_FALSE(tabs->setSelectedIndex(2));
  EXPECT_FALSE(tabs->setSelectedViewController(make("MyGame.C")));

  log.clear();
  auto c = make("MyGame.C");
  ASSERT_TRUE(pages->setViewControllers({c}, true));
  EXPECT_EQ(log, (Names{"B viewWillDisappear:", "C viewWillAppear:", "B viewDidDisappear:",
                        "C viewDidAppear:"}));
  EXPECT_EQ(pages->viewControllers(), (std::vector<VCPtr>{c}));
  EXPECT_EQ(b->parentViewController(), nullptr);
}

TEST_F(ViewsTest, ChildrenAppearWithTheirParentAndRefuseCycles) {
  logAppearance();
  auto window = env.application.createWindow();
  auto parent = make("MyGame.A");
  window->setRootViewController(parent);
  window->makeKeyAndVisible();
  log.clear();

  auto first = make("MyGame.B");
  auto second = make("MyGame.C");
  ASSERT_TRUE(parent->addChildViewController(first));
  ASSERT_TRUE(parent->addChildViewController(second));
  EXPECT_EQ(
      log,
      (Names{"B viewWillAppear:", "B viewDidAppear:", "C viewWillAppear:", "C viewDidAppear:"}));
  EXPECT_TRUE(first->isViewInWindow());
  EXPECT_TRUE(second->isViewInWindow());
  EXPECT_EQ(parent->childViewControllers(), (std::vector<VCPtr>{first, second}));

  EXPECT_FALSE(first->addChildViewController(parent));  // an ancestor
  EXPECT_FALSE(first->addChildViewController(first));
  EXPECT_FALSE(second->addChildViewController(first));  // has a parent
  auto root = window->rootViewController();
  EXPECT_FALSE(make("MyGame.P")->addChildViewController(root));  // a window's root

  log.clear();
  first->removeFromParentViewController();
  EXPECT_EQ(log, (Names{"B viewWillDisappear:", "B viewDidDisappear:"}));
  EXPECT_FALSE(first->isViewInWindow());
  EXPECT_EQ(parent->childViewControllers(), (std::vector<VCPtr>{second}));
}

// --- Presentation -----------------------------------------------------------------------------

TEST_F(ViewsTest, APresentedViewControllerIsBeingPresentedUntilItHasAppeared) {
  auto window = env.application.createWindow();
  auto a = make("MyGame.A");
  auto navigation = NavigationController::create(*runtime, a);
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();

  Names seen;
  ASSERT_TRUE(swizzler.swizzleClass(
      "MyGame.P", kViewDidAppearSelector, false,
      Implementation(std::function<ViewControllerAppearanceMethod>([&](ViewController& vc, bool) {
        seen.push_back(std::string("didAppear being presented=") +
                       (vc.isBeingPresented() ? "yes" : "no") +
                       " in window=" + (vc.isViewInWindow() ? "yes" : "no"));
      }))));
  ASSERT_TRUE(swizzler.swizzleClass(
      "MyGame.P", kViewDidDisappearSelector, false,
      Implementation(std::function<ViewControllerAppearanceMethod>([&](ViewController& vc, bool) {
        seen.push_back(std::string("didDisappear being dismissed=") +
                       (vc.isBeingDismissed() ? "yes" : "no") +
                       " in window=" + (vc.isViewInWindow() ? "yes" : "no"));
      }))));

  auto presented = make("MyGame.P");
  bool completed = false;
  // Presented from a child: the outermost ancestor presents.
  ASSERT_TRUE(a->presentViewController(presented, true, [&] { completed = true; }));
  EXPECT_TRUE(completed);
  EXPECT_FALSE(presented->isBeingPresented());
  EXPECT_EQ(presented->presentingViewController(), navigation);
  EXPECT_EQ(navigation->presentedViewController(), presented);
  EXPECT_EQ(a->presentedViewController(), presented);
  EXPECT_EQ(navigation->visibleViewController(), presented);
  EXPECT_TRUE(presented->isViewDescendantOfWindow(window.get()));
  EXPECT_TRUE(a->isViewInWindow());  // a page sheet leaves the presenter in place
  EXPECT_EQ(a->appearanceState(), AppearanceState::Appeared);

  EXPECT_FALSE(a->presentViewController(make("MyGame.C"), false));  // already presenting
  EXPECT_FALSE(make("MyGame.C")->presentViewController(make("MyGame.B"), false));  // no window

  ASSERT_TRUE(presented->dismissViewController(true));
  EXPECT_EQ(seen, (Names{"didAppear being presented=yes in window=yes",
                         "didDisappear being dismissed=yes in window=no"}));
  EXPECT_FALSE(presented->isBeingDismissed());
  EXPECT_EQ(navigation->presentedViewController(), nullptr);
  EXPECT_EQ(presented->presentingViewController(), nullptr);
  EXPECT_FALSE(navigation->dismissViewController(false));  // nothing left
}

TEST_F(ViewsTest, AFullScreenPresentationCoversAndUncoversThePresenter) {
  logAppearance();
  auto window = env.application.createWindow();
  auto a = make("MyGame.A");
  window->setRootViewController(a);
  window->makeKeyAndVisible();
  log.clear();

  auto presented = make("MyGame.P");
  presented->setModalPresentationStyle(ModalPresentationStyle::FullScreen);
  ASSERT_TRUE(a->presentViewController(presented, false));
  EXPECT_EQ(log, (Names{"A viewWillDisappear:", "P viewWillAppear:", "A viewDidDisappear:",
                        "P viewDidAppear:"}));
  EXPECT_FALSE(a->isViewInWindow());
  EXPECT_TRUE(presented->isViewInWindow());

  // Hiding and showing the window moves only what is on screen.
  log.clear();
  window->setHidden(true);
  window->setHidden(false);
  EXPECT_EQ(log, (Names{"P viewWillDisappear:", "P viewDidDisappear:", "P viewWillAppear:",
                        "P viewDidAppear:"}));

  log.clear();
  ASSERT_TRUE(a->dismissViewController(false));
  EXPECT_EQ(log, (Names{"P viewWillDisappear:", "A viewWillAppear:", "P viewDidDisappear:",
                        "A viewDidAppear:"}));
  EXPECT_TRUE(a->isViewInWindow());
  EXPECT_FALSE(presented->isViewInWindow());
}

// --- Per-object storage -------------------------------------------------------------------------

TEST_F(ViewsTest, AssociatedObjectsAreTypedPerObjectRecords) {
  struct Screen {
    std::string name;
  };
  auto vc = make("MyGame.A");
  auto other = make("MyGame.B");
  auto screen = std::make_shared<Screen>(Screen{"menu"});
  vc->associatedObjects().setAssociatedObject("tlmScreen", screen);

  auto read = vc->associatedObjects().associatedObjectAs<std::shared_ptr<Screen>>("tlmScreen");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, screen);
  EXPECT_FALSE(other->associatedObjects().associatedObjectAs<std::shared_ptr<Screen>>("tlmScreen"));
  // Another type under the key reads as nothing for this type but is there.
  other->associatedObjects().setAssociatedObject("tlmScreen", std::string("stray"));
  EXPECT_FALSE(other->associatedObjects().associatedObjectAs<std::shared_ptr<Screen>>("tlmScreen"));
  EXPECT_TRUE(other->associatedObjects().associatedObject("tlmScreen").has_value());
  // An empty value removes.
  vc->associatedObjects().setAssociatedObject("tlmScreen", std::any());
  EXPECT_FALSE(vc->associatedObjects().associatedObject("tlmScreen").has_value());

  auto window = env.application.createWindow();
  window->associatedObjects().setAssociatedObject("tlmStack", 3);
  EXPECT_EQ(window->associatedObjects().associatedObjectAs<int>("tlmStack"), 3);
}

}  // namespace
