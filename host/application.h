#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

class MainFlutterWindow;
class Application;

enum class ActivationPolicy { regular, accessory, prohibited };

// The application-wide appearance override; none means "follow the system".
enum class AppearanceName { aqua, darkAqua };

// The four ways of bringing the main window forward; they differ in which windows they
// touch and whether a window is ordered front regardless of other applications.
enum class ForwardVariant { scheduledLaunch, deepLink, menuAction, reopen };

enum class TerminateReply { terminateCancel, terminateNow };

// An item of the application's main menu, the menu bar the interface file loads. A
// separator has no title and no action.
struct ApplicationMenuItem {
    std::string title;
    // The action's selector name, as a click sends it ("terminate:").
    std::string action;
    // What the action's target does with it.
    std::function<void()> perform;
    // The menu the item opens; the first top-level item's is the application menu.
    std::vector<ApplicationMenuItem> submenu;
};

// What the application asks its delegate before quitting.
class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual TerminateReply applicationShouldTerminate(Application& application) = 0;
};

// The application object (NSApplication) without a screen: it keeps the state a user would
// see (activation policy, hidden, active, appearance, its windows) so that tests and the
// control client can inspect it. Main thread only.
//
// Windows are held weakly; the host owns its one MainFlutterWindow. The delegate is held
// weakly too and must be set before terminate() means anything.
class Application {
  public:
    Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ActivationPolicy activationPolicy() const { return policy; }
    void setActivationPolicy(ActivationPolicy value) { policy = value; }

    bool isHidden() const { return hidden; }
    void hide() { hidden = true; }
    void unhide() { hidden = false; }

    bool isActive() const { return active; }
    // activateIgnoringOtherApps: true.
    void activateIgnoringOtherApps();
    void deactivate() { active = false; }
    int activationCount() const { return activations; }

    const std::optional<AppearanceName>& appearance() const { return appearanceOverride; }
    void setAppearance(std::optional<AppearanceName> value) { appearanceOverride = value; }

    void addWindow(const std::shared_ptr<MainFlutterWindow>& window);
    // The windows still alive, in the order they were added.
    std::vector<std::shared_ptr<MainFlutterWindow>> windows() const;

    // Activation policy regular, unhide, the variant's per-window steps, activate. The
    // re-open variant touches only `reopenWindow`, or the first window when that is not
    // given; the other variants touch every window. With no window only the application
    // is activated.
    void bringMainWindowForward(ForwardVariant variant,
                                std::shared_ptr<MainFlutterWindow> reopenWindow = nullptr);
    // Every variant requested so far, in order.
    const std::vector<ForwardVariant>& forwardRequests() const { return forwards; }

    // The system review prompt (SKStoreReviewController requestReview). There is no store
    // here to show it: the request is only counted.
    void requestReview() { ++reviewRequests; }
    int reviewRequestCount() const { return reviewRequests; }

    // The main menu's top-level items; empty when there is no main menu.
    std::vector<ApplicationMenuItem>& mainMenu() { return menuBar; }
    // The first top-level item's menu; nothing when there is none or it is empty.
    std::vector<ApplicationMenuItem>* applicationMenu();

    void setDelegate(std::weak_ptr<ApplicationDelegate> value) { delegate = std::move(value); }
    // Runs once the application has decided to quit; the host stops its run loop there.
    void setTerminationHandler(std::function<void()> handler) {
        terminationHandler = std::move(handler);
    }
    // terminate: asks the delegate and, when it answers terminateNow, quits: marks the
    // application terminated and runs the termination handler (once). Returns whether the
    // application quit.
    bool terminate();
    bool isTerminated() const { return terminated; }

  private:
    ActivationPolicy policy = ActivationPolicy::regular;
    bool hidden = false;
    bool active = false;
    int activations = 0;
    std::optional<AppearanceName> appearanceOverride;
    std::vector<std::weak_ptr<MainFlutterWindow>> windowList;
    std::vector<ForwardVariant> forwards;
    int reviewRequests = 0;
    std::vector<ApplicationMenuItem> menuBar;
    std::weak_ptr<ApplicationDelegate> delegate;
    std::function<void()> terminationHandler;
    bool terminated = false;
};

}  // namespace kestralune
