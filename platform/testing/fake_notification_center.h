#pragma once

#include "platform/notification_center.h"
#include "platform/run_loop.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// A notification center in memory whose completions run on the given run loop, reading the
// state when they run, as the real center's do. Records every removal call and prompt.
class FakeNotificationCenter final : public NotificationCenter {
  public:
    explicit FakeNotificationCenter(RunLoop& runLoop) : runLoop(runLoop) {}

    void getAuthorizationStatus(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        later([this, completion] { completion(status); });
    }
    // The user answers the prompt with `grantsOnPrompt`; the request fails with `promptError`.
    void requestAuthorization(
        std::function<void(bool, std::optional<std::string>)> completion) override {
        ++prompts;
        status = grantsOnPrompt ? NotificationAuthorizationStatus::authorized
                                : NotificationAuthorizationStatus::denied;
        later([this, completion] { completion(grantsOnPrompt, promptError); });
    }
    void add(NotificationRequest request) override {
        std::erase_if(pending,
                      [&](const auto& same) { return same.identifier == request.identifier; });
        pending.push_back(std::move(request));
    }
    void getPendingNotificationRequests(
        std::function<void(std::vector<NotificationRequest>)> completion) override {
        later([this, completion] { completion(pending); });
    }
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override {
        pendingRemovals.push_back(identifiers);
        std::erase_if(pending, [&](const auto& request) { return named(identifiers, request); });
    }
    void getDeliveredNotifications(
        std::function<void(std::vector<DeliveredNotification>)> completion) override {
        later([this, completion] { completion(delivered); });
    }
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override {
        deliveredRemovals.push_back(identifiers);
        std::erase_if(delivered, [&](const auto& shown) { return named(identifiers, shown); });
    }
    void registerForRemoteNotifications() override { ++remoteRegistrations; }

    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::notDetermined;
    bool grantsOnPrompt = true;
    std::optional<std::string> promptError;

    std::vector<NotificationRequest> pending;
    std::vector<DeliveredNotification> delivered;

    // The identifiers of each removal call, in order.
    std::vector<std::vector<std::string>> pendingRemovals;
    std::vector<std::vector<std::string>> deliveredRemovals;
    int prompts = 0;
    int remoteRegistrations = 0;

  private:
    static bool named(const std::vector<std::string>& identifiers, const auto& item) {
        return std::ranges::find(identifiers, item.identifier) != identifiers.end();
    }
    // Dropped unrun once the center is gone.
    void later(std::function<void()> work) {
        runLoop.async([alive = std::weak_ptr<int>(token), work = std::move(work)] {
            if (alive.lock()) {
                work();
            }
        });
    }

    RunLoop& runLoop;
    const std::shared_ptr<int> token = std::make_shared<int>();
};

}  // namespace kestralune
