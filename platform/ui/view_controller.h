#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/responder.h"
#include "platform/ui/types.h"
#include "platform/ui/view.h"

namespace platform::ui {

class TabBarController;
class ViewController;
class Window;

enum class ModalPresentationStyle {
    automatic = -2, none = -1, fullScreen = 0, pageSheet = 1, formSheet = 2, currentContext = 3, custom = 4,
    overFullScreen = 5, overCurrentContext = 6, popover = 7
};
enum class ModalTransitionStyle { coverVertical = 0, flipHorizontal = 1, crossDissolve = 2, partialCurl = 3 };

class PresentationController;

// Decides how a presentation adapts to a compact screen; answering `none`
// keeps the requested style.
class PresentationControllerDelegate {
public:
    virtual ~PresentationControllerDelegate() = default;
    virtual ModalPresentationStyle adaptivePresentationStyle(PresentationController& controller,
                                                             const TraitCollection& traits);
};

class PresentationController {
public:
    virtual ~PresentationController() = default;
    std::shared_ptr<PresentationControllerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<PresentationControllerDelegate>& d) { delegate_ = d; }

private:
    std::weak_ptr<PresentationControllerDelegate> delegate_;
};

// Where a popover points: a view and a rectangle of it.
class PopoverPresentationController : public PresentationController {
public:
    std::shared_ptr<View> sourceView() const { return sourceView_.lock(); }
    void setSourceView(const std::shared_ptr<View>& view) { sourceView_ = view; }
    const Rect& sourceRect() const { return sourceRect_; }
    void setSourceRect(const Rect& rect) { sourceRect_ = rect; }

private:
    std::weak_ptr<View> sourceView_;
    Rect sourceRect_;
};

// What a tab bar shows for a controller.
struct TabBarItem {
    std::string title;
    std::optional<Image> image;
    bool enabled = true;
};

enum class AppearanceState { disappeared, appearing, appeared, disappearing };

// The lifecycle handlers that other libraries may follow with hooks.
enum class LifecycleHandler { viewDidLoad, viewWillAppear, viewDidAppear, viewWillDisappear, viewDidDisappear };

// After-hooks of the lifecycle handlers of every controller: the
// controller's own handler (its override, if any) runs first, then each
// hook registered for that handler, in the order they were added, on the
// thread that ran the handler. A library that follows every controller's
// transitions registers its hooks once for the process.
class LifecycleHooks {
public:
    using Hook = std::function<void(ViewController& controller, bool animated)>;

    // The handler of a selector ("viewDidAppear:"); none for a name that
    // controllers have no handler of.
    static std::optional<LifecycleHandler> handlerNamed(const std::string& selector);
    // Answers the identifier to remove the hook with; 0 for an empty hook,
    // which is not added.
    static std::uint64_t addAfterHook(LifecycleHandler handler, Hook hook);
    static void removeAfterHook(std::uint64_t identifier);
    static std::size_t hookCount(LifecycleHandler handler);
    // Runs the hooks of the handler; the controller calls it after its own.
    static void runAfterHooks(LifecycleHandler handler, ViewController& controller, bool animated);
};

// A screen's controller: loads its view on first use, runs the lifecycle
// (load, appear, layout, disappear), holds child controllers and presents
// others modally. Presentations apply at once and finish on the clock: the
// presented view is in the window immediately; viewDidAppear and the
// completion run on the main queue after the transition's duration (0.3 s
// animated, the next turn of the queue otherwise).
class ViewController : public Responder {
public:
    ViewController();
    // A controller whose view comes from the nib of that name.
    explicit ViewController(std::string nibName);
    ~ViewController() override;

    // The view, loaded on first use (loadView, then viewDidLoad).
    std::shared_ptr<View> view();
    std::shared_ptr<View> viewIfLoaded() const { return view_; }
    bool isViewLoaded() const { return view_ != nullptr; }
    void loadViewIfNeeded();
    void setView(std::shared_ptr<View> view);
    // Makes the view: the view loader if one is set, else the nib named by
    // nibName when registered, else a plain view of the screen's size.
    virtual void loadView();
    // How a storyboard scene makes this controller's view.
    void setViewLoader(std::function<std::shared_ptr<View>(ViewController&)> loader);
    const std::string& nibName() const { return nibName_; }
    const std::string& storyboardName() const { return storyboardName_; }
    void setStoryboardName(std::string name) { storyboardName_ = std::move(name); }

    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool) {}
    virtual void viewDidAppear(bool) {}
    virtual void viewWillDisappear(bool) {}
    virtual void viewDidDisappear(bool) {}
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}
    virtual void awakeFromNib() {}

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    TabBarItem& tabBarItem() { return tabBarItem_; }

    // Containment.
    const std::vector<std::shared_ptr<ViewController>>& children() const { return children_; }
    void addChild(const std::shared_ptr<ViewController>& child);  // calls child->willMove(this)
    void removeFromParent();                                      // calls didMove(nullptr)
    virtual void willMove(ViewController*) {}
    virtual void didMove(ViewController*) {}
    std::shared_ptr<ViewController> parent() const;
    ViewController* parentPointer() const { return parent_; }
    // The nearest enclosing controller of a class (not this one).
    template <class T>
    std::shared_ptr<T> enclosing() const {
        for (auto p = parent(); p; p = p->parent()) {
            if (auto t = std::dynamic_pointer_cast<T>(p)) return t;
        }
        return nullptr;
    }
    std::shared_ptr<TabBarController> tabBarController() const;

    // Presentation. A page is not presented while another is: the console
    // says so, and the observer below hears of it.
    void present(const std::shared_ptr<ViewController>& controller, bool animated,
                 std::function<void()> completion = {});
    // Told, on the presenting thread, of each page refused because another
    // is presented already; one observer for the process, none to stop.
    using RefusedPresentationObserver = std::function<void(const ViewController& refused, const ViewController& shown)>;
    static void setRefusedPresentationObserver(RefusedPresentationObserver observer);
    void dismiss(bool animated, std::function<void()> completion = {});
    // What this controller presents, or (for a child) what its presentation
    // context presents.
    std::shared_ptr<ViewController> presentedViewController() const;
    std::shared_ptr<ViewController> presentingViewController() const;
    ModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
    void setModalPresentationStyle(ModalPresentationStyle style);
    ModalTransitionStyle modalTransitionStyle() const { return transitionStyle_; }
    void setModalTransitionStyle(ModalTransitionStyle style) { transitionStyle_ = style; }
    // The style the last presentation used, after adaptation.
    ModalPresentationStyle presentedStyle() const { return presentedStyle_; }
    bool isBeingPresented() const { return beingPresented_; }
    bool isBeingDismissed() const { return beingDismissed_; }
    bool definesPresentationContext() const { return definesContext_; }
    void setDefinesPresentationContext(bool defines) { definesContext_ = defines; }
    PresentationController* presentationController();
    // Present for the popover style only.
    PopoverPresentationController* popoverPresentationController();
    virtual Size preferredContentSize() const { return preferredContentSize_; }
    virtual void setPreferredContentSize(Size size) { preferredContentSize_ = size; }

    // Appearance, for containers that show and hide their children.
    void beginAppearanceTransition(bool isAppearing, bool animated);
    void endAppearanceTransition();
    AppearanceState appearanceState() const { return appearance_; }
    // Containers that manage their children's appearance answer false.
    virtual bool shouldAutomaticallyForwardAppearanceMethods() const { return true; }

    TraitCollection traitCollection() const { return currentTraits(); }
    Responder* nextResponder() const override;
    std::shared_ptr<Window> responderWindow() const override;

    // Notes for the tree dump.
    virtual void describe(std::vector<std::string>& notes) const;

protected:
    // The frame a presented view takes in its window.
    virtual Rect presentationFrame(const Window& window, ModalPresentationStyle style) const;

private:
    // The handler, then its after-hooks.
    void runViewDidLoad();
    void runViewWillAppear(bool animated);
    void runViewDidAppear(bool animated);
    void runViewWillDisappear(bool animated);
    void runViewDidDisappear(bool animated);
    std::shared_ptr<ViewController> presentationRoot();
    const ViewController* presentationRootPointer() const;
    ModalPresentationStyle adaptedStyle(ModalPresentationStyle style);
    void forwardAppearance(const std::function<void(ViewController&)>& step);
    void finishDismissal(const std::shared_ptr<ViewController>& presented, bool covered, bool animated,
                         std::function<void()> completion);

    std::shared_ptr<View> view_;
    std::function<std::shared_ptr<View>(ViewController&)> viewLoader_;
    std::string nibName_;
    std::string storyboardName_;
    std::string title_;
    TabBarItem tabBarItem_;
    std::vector<std::shared_ptr<ViewController>> children_;
    ViewController* parent_ = nullptr;  // the parent owns its children
    std::shared_ptr<ViewController> presented_;
    std::weak_ptr<ViewController> presenting_;
    ModalPresentationStyle presentationStyle_ = ModalPresentationStyle::automatic;
    ModalPresentationStyle presentedStyle_ = ModalPresentationStyle::automatic;
    ModalTransitionStyle transitionStyle_ = ModalTransitionStyle::coverVertical;
    bool beingPresented_ = false;
    bool beingDismissed_ = false;
    bool definesContext_ = false;
    bool loading_ = false;
    Size preferredContentSize_;
    std::unique_ptr<PresentationController> presentationController_;
    AppearanceState appearance_ = AppearanceState::disappeared;
};

// The duration of an animated presentation or dismissal.
constexpr double presentationDuration = 0.3;

}  // namespace platform::ui
