#pragma once

#include "channel/binary_messenger.h"
#include "channel/encodable_value.h"
#include "channel/method_channel.h"
#include "host/application.h"
#include "host/blocking_engine.h"
#include "platform/run_loop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestralune {

inline constexpr const char* kBlockingChannelName = "orrindale/blocking";

class KestraluneDeepLinkRouter;
class KestraluneMenuBarController;
class KestraluneUpdater;

// The main window, headless: it owns the blocking engine, the Blocking channel and the last
// configuration the UI sent, and keeps the state a user would see (visible, miniaturised,
// key, ordered front). Closing only hides it; the window, the engine and the channel live
// until the process ends. Main thread only.
class MainFlutterWindow : public std::enable_shared_from_this<MainFlutterWindow> {
  public:
    struct Size {
        double width = 0;
        double height = 0;
        friend bool operator==(const Size&, const Size&) = default;
    };

    // What the window set-up connects the window to. Everything referenced must outlive
    // the window.
    struct SetUp {
        RunLoop& runLoop;
        // The one-time start-up sequence; queued, not run, by the set-up.
        std::function<void()> requestStartup;
        BinaryMessenger& messenger;
        KestraluneDeepLinkRouter& deepLinkRouter;
        KestraluneMenuBarController& menuBarController;
        KestraluneUpdater& updater;
        // Makes the Blocking channel's handler, which holds the window weakly.
        std::function<MethodChannel::MethodCallHandler(std::weak_ptr<MainFlutterWindow>)>
            makeChannelHandler;
    };

    static constexpr Size kMinimumSize{760, 680};

    explicit MainFlutterWindow(std::shared_ptr<BlockingEngine> engine);
    MainFlutterWindow(const MainFlutterWindow&) = delete;
    MainFlutterWindow& operator=(const MainFlutterWindow&) = delete;

    // Queues the start-up sequence, creates the Blocking channel and the updater's channel,
    // hands the Blocking channel to the deep link router and the menu bar controller, and
    // installs its handler. Called once, right after
    // the window is created and added to the application.
    void awakeFromNib(const SetUp& setUp);

    const std::string channelName;
    // The last argument map of "syncConfiguration"; empty at start.
    EncodableMap lastConfiguration;
    BlockingEngine& blockingEngine() { return *engine; }
    // Nothing before awakeFromNib.
    const std::shared_ptr<MethodChannel>& blockingChannel() const { return channel; }

    // Window state.
    bool isVisible() const { return visible && !miniaturized; }
    bool isMiniaturized() const { return miniaturized; }
    bool isKeyWindow() const { return key; }
    int orderFrontRegardlessCount() const { return frontRegardless; }
    Size minSize() const { return minimumSize; }
    // The forward-bringing variant that last touched this window.
    std::optional<ForwardVariant> lastForwardVariant() const { return lastForward; }

    // close does not close: the window is only hidden.
    void close() { orderOut(); }
    void orderOut();
    void miniaturize();
    void deminiaturize() { miniaturized = false; }
    void makeKeyAndOrderFront();
    void orderFrontRegardless();
    void recordForward(ForwardVariant variant) { lastForward = variant; }

  private:
    const std::shared_ptr<BlockingEngine> engine;
    std::shared_ptr<MethodChannel> channel;
    // The interface file shows the window at launch.
    bool visible = true;
    bool miniaturized = false;
    bool key = false;
    int frontRegardless = 0;
    Size minimumSize;
    std::optional<ForwardVariant> lastForward;
};

}  // namespace kestralune
