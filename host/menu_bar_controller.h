#pragma once

#include "channel/encodable_value.h"
#include "channel/method_channel.h"
#include "host/application.h"
#include "host/updater.h"
#include "platform/run_loop.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// One entry of the status-bar menu as a user sees it.
struct MenuItem {
    enum class Kind { item, separator };
    Kind kind = Kind::item;
    std::string title;
    bool enabled = false;
    // The action identifier. Only actionable items carry one; their action is the
    // controller's handleMenuItem, with no key equivalent.
    std::optional<std::string> representedObject;

    friend bool operator==(const MenuItem&, const MenuItem&) = default;
};

// The status-bar item without a screen: its image, its button and its current menu.
struct StatusItem {
    enum class ImagePosition { imageOnly };
    struct Image {
        std::string name;  // the application icon
        double width = 0;
        double height = 0;
        bool isTemplate = false;
    };
    Image image;
    ImagePosition imagePosition = ImagePosition::imageOnly;
    std::string accessibilityLabel;
    // Replaced as a whole by every rebuild.
    std::vector<MenuItem> menu;
};

// Owns the status-bar item and its menu. The menu mirrors the session state the UI reports
// with "syncMenuBarState"; choosing an item acts natively ("open", "quit") or tells the UI
// with "menuBarAction" on the Blocking channel, 0.08 s later; "updates" asks the updater for a
// check and is shown only where the updater is supported. Also keeps the localized
// label table up to date from the same sync.
//
// One per process, owned by the host; create with std::make_shared, since queued item work
// holds the controller weakly. Main thread only. The run loop must outlive the controller;
// the application, the updater and the channel are held weakly, and a call meant for a UI
// whose channel is gone is dropped.
class KestraluneMenuBarController
    : public std::enable_shared_from_this<KestraluneMenuBarController> {
  public:
    static constexpr double kMenuActionDelay = 0.08;

    KestraluneMenuBarController(RunLoop& runLoop, std::weak_ptr<Application> application,
                                std::weak_ptr<KestraluneUpdater> updater = {});
    KestraluneMenuBarController(const KestraluneMenuBarController&) = delete;
    KestraluneMenuBarController& operator=(const KestraluneMenuBarController&) = delete;

    // Keeps the channel weakly, creates the status item once and builds the menu.
    void install(const std::shared_ptr<MethodChannel>& blockingChannel);
    // Applies the keys of a "syncMenuBarState" map (a key that is missing or of another
    // type keeps the current value; "localizedLabels" replaces the whole label table only
    // when every key and value is a string), then rebuilds the menu.
    void sync(const EncodableMap& state);
    // Builds the menu afresh from the current state; nothing while there is no status item.
    void rebuildMenu();

    // The action of every actionable item: brings the window forward on the next turn of
    // the main queue, then acts on the item's identifier.
    void handleMenuItem(const MenuItem& item);
    // Chooses the shown, enabled item that carries `action`, as a click on it would; false
    // when there is none.
    bool chooseMenuItem(const std::string& action);

    const std::optional<StatusItem>& statusItem() const { return item; }
    bool sessionActive() const { return active; }
    bool sessionPaused() const { return paused; }
    bool unlockRequestPending() const { return unlockPending; }
    const std::string& blockActionTitle() const { return actionTitle; }

  private:
    void perform(const std::string& action);

    RunLoop& runLoop;
    const std::weak_ptr<Application> application;
    const std::weak_ptr<KestraluneUpdater> updater;
    std::optional<StatusItem> item;
    std::weak_ptr<MethodChannel> channel;
    bool active = false;
    bool paused = false;
    bool unlockPending = false;
    std::string actionTitle = "Block now";
};

}  // namespace kestralune
