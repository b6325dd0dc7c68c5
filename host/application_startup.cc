#include "host/application_startup.h"

#include "platform/log.h"

#include <algorithm>
#include <utility>

namespace kestralune {

bool isScheduledLaunch(const std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), kScheduledLaunchArgument) !=
           arguments.end();
}

KestraluneApplicationStartup::KestraluneApplicationStartup(
    std::weak_ptr<Application> application,
    std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler,
    std::shared_ptr<KestraluneUpdater> updater, std::vector<std::string> arguments)
    : application(std::move(application)),
      backgroundScheduler(std::move(backgroundScheduler)),
      updater(std::move(updater)),
      arguments(std::move(arguments)) {}

void KestraluneApplicationStartup::run() {
    if (hasStarted) {
        return;
    }
    hasStarted = true;
    backgroundScheduler->registerIfNeeded();
    logLine("Kestralune background startup status: " +
            KestraluneBackgroundScheduler::describe(backgroundScheduler->statusDictionary()));
    updater->start();
    if (isScheduledLaunch(arguments)) {
        if (auto app = application.lock()) {
            app->bringMainWindowForward(ForwardVariant::scheduledLaunch);
        }
    }
}

}  // namespace kestralune
