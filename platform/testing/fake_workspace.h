#pragma once

#include "platform/workspace.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// A running application for tests. It records every request in order and ends only when
// the test says so: by setTerminated(), or on the first request when it is made to quit
// on request (a well-behaved application).
class FakeRunningApplication final : public RunningApplication {
  public:
    enum class Request { terminate, forceTerminate, kill };

    FakeRunningApplication(std::optional<std::string> identifier,
                           std::optional<std::string> bundlePath, std::int32_t pid)
        : identifier(std::move(identifier)), path(std::move(bundlePath)), pid(pid) {}

    std::optional<std::string> bundleIdentifier() const override { return identifier; }
    std::optional<std::string> bundlePath() const override { return path; }
    std::int32_t processIdentifier() const override { return pid; }

    // Each returns false, as the real ones do, once the application has ended.
    bool terminate() override { return record(Request::terminate); }
    bool forceTerminate() override { return record(Request::forceTerminate); }
    bool kill() override { return record(Request::kill); }
    bool isTerminated() const override { return terminated; }

    void setTerminated(bool value) { terminated = value; }
    void setQuitsOnRequest(bool value) { quitsOnRequest = value; }

    const std::vector<Request>& requests() const { return received; }
    int count(Request request) const;

  private:
    bool record(Request request);

    std::optional<std::string> identifier;
    std::optional<std::string> path;
    std::int32_t pid;
    bool terminated = false;
    bool quitsOnRequest = false;
    std::vector<Request> received;
};

// A workspace for tests: the test sets the running applications and posts notifications;
// observers are called synchronously by post(). Main thread only, like the real one.
class FakeWorkspace final : public Workspace {
  public:
    std::vector<std::shared_ptr<RunningApplication>> runningApplications() override;
    ObserverId addObserver(Observer observer) override;
    void removeObserver(ObserverId id) override { observers.erase(id); }
    void setLaunchMonitoringEnabled(bool enabled) override { monitoring = enabled; }

    // Applications listed by later runningApplications() calls, in this order. Applications
    // marked terminated drop out of the list by themselves, as ended processes do.
    void setRunningApplications(std::vector<std::shared_ptr<RunningApplication>> applications) {
        running = std::move(applications);
    }
    void addRunningApplication(std::shared_ptr<RunningApplication> application) {
        running.push_back(std::move(application));
    }
    // Adds a running application and returns it for inspection.
    std::shared_ptr<FakeRunningApplication> launch(std::optional<std::string> identifier,
                                                   std::optional<std::string> bundlePath);

    // Delivers a notification to every observer now. Delivered whatever the monitoring
    // flag says, so tests can check how observers treat notifications at any time.
    void post(const WorkspaceNotification& notification);
    void postLaunch(std::shared_ptr<RunningApplication> application) {
        post({WorkspaceNotification::Name::didLaunchApplication, std::move(application)});
    }
    void postActivation(std::shared_ptr<RunningApplication> application) {
        post({WorkspaceNotification::Name::didActivateApplication, std::move(application)});
    }

    bool launchMonitoringEnabled() const { return monitoring; }
    std::size_t observerCount() const { return observers.size(); }
    int runningApplicationsCallCount() const { return listCalls; }

  private:
    std::vector<std::shared_ptr<RunningApplication>> running;
    std::map<ObserverId, Observer> observers;
    ObserverId nextObserverId = 1;
    bool monitoring = false;
    int listCalls = 0;
    std::int32_t nextPid = 1000;
};

}  // namespace kestralune
