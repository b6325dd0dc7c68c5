#include "schedule/background_scheduler.h"

#include "platform/files.h"
#include "platform/log.h"
#include "platform/user_folders.h"
#include "schedule/schedule_snapshot.h"

#include <filesystem>
#include <utility>

namespace kestralune {

KestraluneBackgroundScheduler::KestraluneBackgroundScheduler(Dependencies dependencies)
    : dependencies(std::move(dependencies)) {}

std::string KestraluneBackgroundScheduler::agentPlistName(const Bundle& mainBundle) {
    return mainBundle.identifier.value_or(kDefaultBundleIdentifier) + ".scheduler.plist";
}

bool KestraluneBackgroundScheduler::canRegister() const {
    return dependencies.agentService->isSupported() &&
           isInstalledInApplicationsFolder(dependencies.mainBundle.path);
}

EncodableMap KestraluneBackgroundScheduler::statusDictionary() {
    const auto answer = [](const char* status) { return EncodableMap{{"status", status}}; };
    const AgentService& service = *dependencies.agentService;
    if (!service.isSupported()) {
        return answer("unsupported");
    }
    if (!isInstalledInApplicationsFolder(dependencies.mainBundle.path)) {
        return answer("installRequired");
    }
    if (scheduleStorageFailed) {
        return answer("storageError");
    }
    switch (service.status()) {
        case AgentServiceStatus::notRegistered:
            return answer(registrationError ? "error" : "notRegistered");
        case AgentServiceStatus::enabled:
            registrationError.reset();
            return answer("enabled");
        case AgentServiceStatus::requiresApproval:
            return answer("requiresApproval");
        case AgentServiceStatus::notFound:
            return answer("notFound");
    }
    return answer("error");
}

std::string KestraluneBackgroundScheduler::describe(const EncodableMap& status) {
    std::string text = "{\n";
    for (const auto& [key, value] : status) {
        const auto* name = key.getIf<std::string>();
        const auto* content = value.getIf<std::string>();
        text += "    " + (name ? *name : std::string("?")) + " = " +
                (content ? *content : std::string("?")) + ";\n";
    }
    return text + "}";
}

void KestraluneBackgroundScheduler::registerIfNeeded() {
    if (!canRegister() || dependencies.standardDefaults->boolForKey(attemptedKey).value_or(false)) {
        return;
    }
    const auto status = dependencies.agentService->status();
    if (status != AgentServiceStatus::notRegistered && status != AgentServiceStatus::notFound) {
        return;
    }
    std::error_code ignored;
    if (!std::filesystem::exists(dependencies.mainBundle.path + "/Contents/Library/LaunchAgents/" +
                                     agentPlistName(dependencies.mainBundle),
                                 ignored)) {
        return;
    }
    registerAgent();
}

void KestraluneBackgroundScheduler::registerAgent() {
    if (!canRegister()) {
        return;
    }
    registrationError.reset();
    const auto status = dependencies.agentService->status();
    dependencies.standardDefaults->setObject(attemptedKey, true);
    if (status == AgentServiceStatus::enabled || status == AgentServiceStatus::requiresApproval) {
        return;
    }
    if (auto failed = dependencies.agentService->registerAgent()) {
        logLine("Kestralune background registration failed: " + *failed);
        registrationError = std::move(failed);
    }
}

void KestraluneBackgroundScheduler::openSystemSettingsLoginItems() {
    if (dependencies.agentService->isSupported()) {
        dependencies.agentService->openSystemSettingsLoginItems();
    }
}

std::string KestraluneBackgroundScheduler::syncSchedule(const EncodableValue& arguments) {
    auto failed = KestraluneScheduleSnapshot::fromArguments(arguments).save();
    if (failed.empty()) {
        scheduleStorageFailed = false;
        return failed;
    }
    removeFile(KestraluneScheduleSnapshot::fileURL());
    scheduleStorageFailed = true;
    return failed;
}

}  // namespace kestralune
