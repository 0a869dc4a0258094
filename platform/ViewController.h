// View controllers: what screen reporting reads and the appearance calls it
// intercepts.
//
// A view controller belongs to a class of the ClassRuntime (its name keeps
// the module prefix, "MyGame.MenuViewController"), has a view that is
// loaded on demand and may be in a window, a parent and children, and may
// present another view controller. Windows, containers and presentations
// drive appearance: viewWillAppear/viewDidAppear/viewWillDisappear/
// viewDidDisappear, forwarded from a parent to the children whose views it
// shows, parent first. A transition between two sets of view controllers
// runs in the platform's order: every disappearing one's "will", every
// appearing one's "will", every disappearing one's "did", every appearing
// one's "did".
//
// The four appearance methods are virtual; an override must call the base
// method, which dispatches through the class runtime (ClassRuntime.h), so
// that implementations installed there (HRNSwizzler) see every view
// controller. The host may also call them directly.
//
// Ownership: shared_ptr-managed (create with make_shared or create());
// parents hold their children, a window its root, a presenting view
// controller the one it presents; the links back are weak. Main thread
// only, like every view object.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AssociatedObjects.h"
#include "platform/ClassRuntime.h"

class Window;

enum class AppearanceState { Disappeared, Appearing, Appeared, Disappearing };

// PageSheet leaves the presenting view controller's view in the window (it
// neither disappears nor reappears); FullScreen covers it: it disappears on
// presentation and reappears on dismissal.
enum class ModalPresentationStyle { PageSheet, FullScreen };

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  // `runtimeClass` must not be null.
  explicit ViewController(std::shared_ptr<RuntimeClass> runtimeClass);
  static std::shared_ptr<ViewController> create(std::shared_ptr<RuntimeClass> runtimeClass);
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // --- Class -----------------------------------------------------------------
  const std::shared_ptr<RuntimeClass>& runtimeClass() const { return class_; }
  // With the module prefix.
  const std::string& className() const { return class_->name(); }
  // "" for a root class.
  std::string superclassName() const { return class_->superclassName(); }
  std::string classNameWithoutModulePrefix() const;
  std::string superclassNameWithoutModulePrefix() const;
  // Whether the class comes from the app's main bundle.
  bool isFromMainBundle() const { return class_->isFromMainBundle(); }
  bool isKindOfClass(std::string_view className) const {
    return class_->isSubclassOfClassNamed(className);
  }

  // --- View ------------------------------------------------------------------
  bool isViewLoaded() const { return viewLoaded_; }
  // Loads the view (calling viewDidLoad) when it is not loaded yet.
  void loadViewIfNeeded();
  // The window whose view hierarchy holds this view controller's view; null
  // when the view is not loaded or not in a window.
  std::shared_ptr<Window> viewWindow() const;
  bool isViewInWindow() const { return viewWindow() != nullptr; }
  bool isViewDescendantOfWindow(const Window* window) const;

  // --- Appearance --------------------------------------------------------------
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated);
  virtual void viewDidAppear(bool animated);
  virtual void viewWillDisappear(bool animated);
  virtual void viewDidDisappear(bool animated);
  AppearanceState appearanceState() const { return appearance_; }
  // For custom containers, as on the original platform: starts an appearance
  // (or disappearance) of this view controller and of the children whose
  // views it shows; endAppearanceTransition completes it. Calls that do not
  // change the state (appearing twice) do nothing.
  void beginAppearanceTransition(bool isAppearing, bool animated);
  void endAppearanceTransition();

  // --- Containment -----------------------------------------------------------
  std::shared_ptr<ViewController> parentViewController() const { return parent_.lock(); }
  std::vector<std::shared_ptr<ViewController>> childViewControllers() const { return children_; }
  // Adds a child whose view goes into this view controller's view; it
  // appears when this one has appeared. Returns false for null, itself, an
  // ancestor, or a view controller that already has a parent, is presented
  // or is a window's root.
  bool addChildViewController(std::shared_ptr<ViewController> child);
  // Leaves the parent (disappearing first when it has appeared).
  void removeFromParentViewController();

  // --- Presentation ----------------------------------------------------------
  // As on the original platform, a presentation is made by the outermost
  // ancestor of the receiver, and both links are answered for descendants
  // through their ancestors.
  std::shared_ptr<ViewController> presentedViewController() const;
  std::shared_ptr<ViewController> presentingViewController() const;
  // True from the start of this view controller's presentation until its
  // viewDidAppear has returned (dismissal likewise).
  bool isBeingPresented() const { return beingPresented_; }
  bool isBeingDismissed() const { return beingDismissed_; }
  ModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
  void setModalPresentationStyle(ModalPresentationStyle style) { presentationStyle_ = style; }
  // Transitions run at once; `completion` runs when they are done. Returns
  // false (and calls nothing) when the presenting view controller is not in
  // a window or already presents one, or `viewController` cannot be
  // presented (null, presented already, a child or a window's root).
  bool presentViewController(std::shared_ptr<ViewController> viewController, bool animated,
                             std::function<void()> completion = {});
  // Dismisses what the receiver's context presents (everything above it), or
  // the receiver's context itself when that was presented. Returns false
  // when there is nothing to dismiss.
  bool dismissViewController(bool animated, std::function<void()> completion = {});

  // --- The library's records -------------------------------------------------
  AssociatedObjects& associatedObjects() { return associated_; }
  const AssociatedObjects& associatedObjects() const { return associated_; }

 protected:
  // Whether `child`'s view is in this view controller's view. All children
  // by default; containers show some of them.
  virtual bool isChildViewShown(const ViewController& child) const;
  // Called after `child` left the children (it has no parent any more).
  virtual void didRemoveChild(ViewController& /*child*/) {}

  // Whether `child` may join this view controller's children.
  bool canAdoptChild(const std::shared_ptr<ViewController>& child) const;
  // Replaces the children, keeping their order. Children that are kept stay;
  // the others lose their parent. Returns false (no change) when one of the
  // new ones cannot be adopted or a view controller appears twice.
  bool replaceChildren(std::vector<std::shared_ptr<ViewController>> children);
  // Removes one child without any appearance calls.
  void detachChild(ViewController& child);
  // Appeared, or appearing.
  bool isAppearanceActive() const {
    return appearance_ == AppearanceState::Appeared || appearance_ == AppearanceState::Appearing;
  }
  // The platform's transition order; `between` runs after the "will" calls
  // and before the "did" calls. Null entries are skipped.
  static void runAppearanceTransition(
      const std::vector<std::shared_ptr<ViewController>>& disappearing,
      const std::vector<std::shared_ptr<ViewController>>& appearing, bool animated,
      const std::function<void()>& between = {});

 private:
  friend class Window;

  void dispatchAppearanceMethod(const char* selector, bool animated);
  // The window holding the view, ignoring a full-screen presentation above it.
  std::shared_ptr<Window> hostWindow() const;
  std::shared_ptr<ViewController> outermostAncestor();
  bool isAncestorOf(const ViewController& other) const;
  // Dismisses what this (outermost) view controller presents.
  void dismissPresented(bool animated);

  const std::shared_ptr<RuntimeClass> class_;
  bool viewLoaded_ = false;
  AppearanceState appearance_ = AppearanceState::Disappeared;
  // The `animated` of the transition being run, for its "did" call.
  bool lastTransitionAnimated_ = false;
  std::weak_ptr<ViewController> parent_;
  std::vector<std::shared_ptr<ViewController>> children_;
  std::weak_ptr<Window> windowOfRoot_;
  std::shared_ptr<ViewController> presented_;
  std::weak_ptr<ViewController> presenting_;
  bool beingPresented_ = false;
  bool beingDismissed_ = false;
  // Covered by a full-screen presentation: the view is out of the window.
  bool coveredByPresentation_ = false;
  ModalPresentationStyle presentationStyle_ = ModalPresentationStyle::PageSheet;
  AssociatedObjects associated_;
};
