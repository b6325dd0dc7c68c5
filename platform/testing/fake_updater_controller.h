#pragma once

#include "platform/software_updater.h"

#include <memory>

namespace kestralune {

// A controller whose state the test sets; it counts the checks asked of it and keeps the
// delegate it was created with, so the test can play the updater's part.
class FakeUpdaterController final : public UpdaterController {
  public:
    bool automaticallyChecksForUpdates() const override { return automaticChecks; }
    void setAutomaticallyChecksForUpdates(bool enabled) override { automaticChecks = enabled; }
    bool canCheckForUpdates() const override { return canCheck; }
    void checkForUpdates() override { ++checks; }

    // A factory that hands out this controller.
    static UpdaterControllerFactory factory(std::shared_ptr<FakeUpdaterController> controller) {
        return [controller](std::weak_ptr<SoftwareUpdaterDelegate> delegate) {
            controller->delegate = std::move(delegate);
            return controller;
        };
    }

    bool automaticChecks = true;
    bool canCheck = true;
    int checks = 0;
    std::weak_ptr<SoftwareUpdaterDelegate> delegate;
};

}  // namespace kestralune
