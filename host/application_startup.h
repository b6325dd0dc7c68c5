#pragma once

#include "host/application.h"
#include "host/updater.h"
#include "schedule/background_scheduler.h"
#include "schedule/scheduled_launch.h"

#include <memory>
#include <string>
#include <vector>

namespace kestralune {

// Whether `arguments` hold kScheduledLaunchArgument exactly (a longer argument that merely
// begins with it does not count).
bool isScheduledLaunch(const std::vector<std::string>& arguments);

// The one-time start-up sequence. It is requested twice (by the window set-up and when
// the application has finished launching); the first request performs it and later ones
// find `started` set and return.
//
// The sequence: refresh the launch agent's registration, log the scheduler's status, start
// the updater, then, when the scheduler agent started the process, bring the main window
// forward. A scheduler problem is carried by the status and does not stop the sequence.
//
// One per process, owned by the host. Main thread only; the application is held weakly.
class KestraluneApplicationStartup {
  public:
    KestraluneApplicationStartup(std::weak_ptr<Application> application,
                                 std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler,
                                 std::shared_ptr<KestraluneUpdater> updater,
                                 std::vector<std::string> arguments);
    KestraluneApplicationStartup(const KestraluneApplicationStartup&) = delete;
    KestraluneApplicationStartup& operator=(const KestraluneApplicationStartup&) = delete;

    void run();
    bool started() const { return hasStarted; }

  private:
    const std::weak_ptr<Application> application;
    const std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler;
    const std::shared_ptr<KestraluneUpdater> updater;
    const std::vector<std::string> arguments;
    bool hasStarted = false;
};

}  // namespace kestralune
