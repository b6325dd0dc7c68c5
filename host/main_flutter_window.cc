#include "host/main_flutter_window.h"

#include "host/deep_link_router.h"
#include "host/menu_bar_controller.h"
#include "host/updater.h"
#include "platform/log.h"

#include <cassert>
#include <utility>

namespace kestralune {

MainFlutterWindow::MainFlutterWindow(std::shared_ptr<BlockingEngine> engine)
    : channelName(kBlockingChannelName), engine(std::move(engine)) {
    assert(this->engine);
}

void MainFlutterWindow::awakeFromNib(const SetUp& setUp) {
    assert(!channel && "the window is set up once");
    // Runs after the rest of the set-up; the start-up object's own flag keeps the second
    // request (from the application delegate) from running it again.
    setUp.runLoop.async(setUp.requestStartup);

    // There is no Flutter view to embed: the UI reaches the host through the channel
    // transport, so the view controller, plug-in registration and engine start have no
    // counterpart here. The window keeps its frame and gets its minimum size.
    minimumSize = kMinimumSize;

    channel = std::make_shared<MethodChannel>(setUp.messenger, channelName);
    setUp.updater.installChannel(setUp.messenger);
    setUp.deepLinkRouter.setChannel(channel);
    setUp.menuBarController.install(channel);
    channel->setMethodCallHandler(setUp.makeChannelHandler(weak_from_this()));
}

void MainFlutterWindow::orderOut() {
    visible = false;
    key = false;
}

void MainFlutterWindow::miniaturize() {
    miniaturized = true;
    key = false;
}

void MainFlutterWindow::makeKeyAndOrderFront() {
    visible = true;
    key = true;
    // Without a screen, the log is where a user (or a test) sees the window come forward.
    logLine("Kestralune window is key and in front");
}

void MainFlutterWindow::orderFrontRegardless() {
    visible = true;
    ++frontRegardless;
}

}  // namespace kestralune
