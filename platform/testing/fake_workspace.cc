#include "platform/testing/fake_workspace.h"

#include <algorithm>

namespace kestralune {

bool FakeRunningApplication::record(Request request) {
    received.push_back(request);
    if (terminated) {
        return false;
    }
    if (quitsOnRequest) {
        terminated = true;
    }
    return true;
}

int FakeRunningApplication::count(Request request) const {
    return static_cast<int>(std::count(received.begin(), received.end(), request));
}

std::vector<std::shared_ptr<RunningApplication>> FakeWorkspace::runningApplications() {
    ++listCalls;
    std::erase_if(running, [](const auto& application) { return application->isTerminated(); });
    return running;
}

Workspace::ObserverId FakeWorkspace::addObserver(Observer observer) {
    const ObserverId id = nextObserverId++;
    observers.emplace(id, std::move(observer));
    return id;
}

std::shared_ptr<FakeRunningApplication> FakeWorkspace::launch(
    std::optional<std::string> identifier, std::optional<std::string> bundlePath) {
    auto application = std::make_shared<FakeRunningApplication>(std::move(identifier),
                                                                std::move(bundlePath), nextPid++);
    running.push_back(application);
    return application;
}

void FakeWorkspace::post(const WorkspaceNotification& notification) {
    const auto recipients = observers;  // observers may unregister while being told
    for (const auto& [id, observer] : recipients) {
        observer(notification);
    }
}

}  // namespace kestralune
