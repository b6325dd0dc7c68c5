#pragma once

#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "channel/method_channel.h"
#include "channel/method_result.h"
#include "host/app_delegate.h"
#include "host/application.h"
#include "host/menu_bar_controller.h"

#include <memory>
#include <vector>

namespace kestralune {

// The host side of the control channel "kestralune/control": what a client without a screen
// needs beyond the Blocking channel, so that the Blocking contract stays as it is.
//   "getMenu"        -> the status-bar menu, one map per entry: "kind" ("item" or
//                       "separator"), "title", "enabled", "action" (string or null)
//   "chooseMenuItem" -> (string action) chooses the shown, enabled item carrying it, as a
//                       click would; null, or the error "unknown_item"
//   "getApplicationMenu"        -> the application menu, one map per entry: "kind", "title",
//                                  "action" (the selector, or null for a separator)
//   "chooseApplicationMenuItem" -> (string title) chooses the application menu's item with
//                                  this title, as a click would; null, or "unknown_item"
//   "quit"           -> asks the application to terminate, through quit protection;
//                       map "terminated" (Boolean)
//   "openURLs"       -> (list of strings) opens the URLs as the system would hand them to the
//                       application, as URL text (`absoluteUrlText`); a second start of the
//                       host forwards its links here; null
//   "reopen"         -> re-opens the application as a click on its Dock icon would; null
// Any other name is answered not implemented.
//
// Main thread only. The delegate and the controller must outlive the handler; the
// application is held weakly.
class ControlChannelHandler {
  public:
    static constexpr const char* kChannelName = "kestralune/control";

    struct Dependencies {
        std::weak_ptr<Application> application;
        std::shared_ptr<AppDelegate> delegate;
        std::shared_ptr<KestraluneMenuBarController> menuBarController;
    };

    explicit ControlChannelHandler(Dependencies dependencies);

    void handle(const MethodCall& call, MethodResult result);

    static MethodChannel::MethodCallHandler bind(std::shared_ptr<ControlChannelHandler> handler);

    // The wire form of a menu.
    static EncodableList describeMenu(const std::vector<MenuItem>& menu);

  private:
    void handleApplicationMenu(const MethodCall& call, MethodResult result);

    const Dependencies dependencies;
};

}  // namespace kestralune
