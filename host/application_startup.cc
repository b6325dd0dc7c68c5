#include "host/application_startup.h"

#include <algorithm>
#include <utility>

namespace kestralune {

bool isScheduledLaunch(const std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), kScheduledLaunchArgument) !=
           arguments.end();
}

KestraluneApplicationStartup::KestraluneApplicationStartup(std::weak_ptr<Application> application,
                                                           std::vector<std::string> arguments)
    : application(std::move(application)), arguments(std::move(arguments)) {}

void KestraluneApplicationStartup::run() {
    if (hasStarted) {
        return;
    }
    hasStarted = true;
    if (isScheduledLaunch(arguments)) {
        if (auto app = application.lock()) {
            app->bringMainWindowForward(ForwardVariant::scheduledLaunch);
        }
    }
}

}  // namespace kestralune
