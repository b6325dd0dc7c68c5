#include "schedule/schedule_snapshot.h"

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/user_folders.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestralune {

namespace {

constexpr const char* kFileName = "background-schedule.json";
constexpr const char* kSandboxIdentifier = "com.orrindale.app.sandbox";
// A snapshot is a few dozen bytes; anything near this is not one.
constexpr std::size_t kFileLimit = 1 << 20;

// A base-10 integer: an optional sign, then one or more ASCII digits, fitting 64 bits.
std::optional<std::int64_t> readInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulated negatively so that the smallest value fits too.
    std::int64_t value = 0;
    constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return value;
    }
    if (value == lowest) {
        return std::nullopt;
    }
    return -value;
}

bool contains(const std::vector<std::int64_t>& days, std::int64_t day) {
    return std::find(days.begin(), days.end(), day) != days.end();
}

// A JSON integer, or a number without fraction that fits 64 bits as one.
std::optional<std::int64_t> jsonInteger(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::trunc(number) == number && number >= -0x1p63 && number < 0x1p63) {
            return static_cast<std::int64_t>(number);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string KestraluneScheduleSnapshot::fileURL(
    const std::optional<std::string>& bundleIdentifier) {
    const char* folder =
        bundleIdentifier == kSandboxIdentifier ? kSandboxIdentifier : kDefaultBundleIdentifier;
    return applicationSupportPath() + "/" + folder + "/" + kFileName;
}

std::string KestraluneScheduleSnapshot::fileURL() {
    return fileURL(mainBundle().identifier);
}

std::string KestraluneScheduleSnapshot::save() const {
    const std::string path = fileURL();
    if (auto failed = createDirectories(path.substr(0, path.find_last_of('/')), 0700);
        !failed.empty()) {
        return failed;
    }
    if (auto failed = replaceFile(path, json()); !failed.empty()) {
        return failed;
    }
    return setFileMode(path, 0600);
}

std::string KestraluneScheduleSnapshot::json() const {
    nlohmann::ordered_json object;
    object["enabled"] = enabled;
    object["start"] = start;
    object["end"] = end;
    object["weekdays"] = weekdays;
    // Text that is not UTF-8 cannot be JSON; it is written replaced and then reads as an
    // invalid time, which the evaluation treats as it would have treated the original.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<KestraluneScheduleSnapshot> KestraluneScheduleSnapshot::decode(
    std::string_view bytes) {
    const auto object = nlohmann::json::parse(bytes, nullptr, false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto enabled = object.find("enabled");
    const auto start = object.find("start");
    const auto end = object.find("end");
    const auto weekdays = object.find("weekdays");
    if (enabled == object.end() || !enabled->is_boolean() || start == object.end() ||
        !start->is_string() || end == object.end() || !end->is_string() ||
        weekdays == object.end() || !weekdays->is_array()) {
        return std::nullopt;
    }
    KestraluneScheduleSnapshot snapshot{
        enabled->get<bool>(), start->get<std::string>(), end->get<std::string>(), {}};
    snapshot.weekdays.reserve(weekdays->size());
    for (const auto& day : *weekdays) {
        const auto value = jsonInteger(day);
        if (!value) {
            return std::nullopt;
        }
        snapshot.weekdays.push_back(*value);
    }
    return snapshot;
}

KestraluneScheduleSnapshot KestraluneScheduleSnapshot::fromArguments(
    const EncodableValue& arguments) {
    KestraluneScheduleSnapshot snapshot;
    const auto* map = arguments.getIf<EncodableMap>();
    if (map == nullptr) {
        return snapshot;
    }
    const auto lookup = [map](const char* key) -> const EncodableValue* {
        const auto found = map->find(EncodableValue(key));
        return found == map->end() ? nullptr : &found->second;
    };
    if (const auto* value = lookup("enabled"); value && value->is<bool>()) {
        snapshot.enabled = *value->getIf<bool>();
    }
    if (const auto* value = lookup("start"); value && value->is<std::string>()) {
        snapshot.start = *value->getIf<std::string>();
    }
    if (const auto* value = lookup("end"); value && value->is<std::string>()) {
        snapshot.end = *value->getIf<std::string>();
    }
    const auto* days = lookup("weekdays");
    if (days == nullptr) {
        return snapshot;
    }
    if (const auto* list = days->getIf<EncodableList>()) {
        std::vector<std::int64_t> read;
        for (const auto& element : *list) {
            const auto day = element.integerValue();
            if (!day) {
                return snapshot;
            }
            read.push_back(*day);
        }
        snapshot.weekdays = std::move(read);
    } else if (const auto* list = days->getIf<std::vector<std::int32_t>>()) {
        snapshot.weekdays.assign(list->begin(), list->end());
    } else if (const auto* list = days->getIf<std::vector<std::int64_t>>()) {
        snapshot.weekdays = *list;
    }
    return snapshot;
}

std::optional<int> KestraluneScheduleSnapshot::minutes(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto hour = readInteger(text.substr(0, colon));
    const auto minute = readInteger(text.substr(colon + 1));
    if (!hour || !minute || *hour < 0 || *hour > 23 || *minute < 0 || *minute > 59) {
        return std::nullopt;
    }
    return static_cast<int>(*hour * 60 + *minute);
}

bool KestraluneScheduleSnapshot::isActive(WallClockTime moment, const Calendar& calendar) const {
    if (!enabled) {
        return false;
    }
    const auto startMinute = minutes(start);
    const auto endMinute = minutes(end);
    if (!startMinute || !endMinute || weekdays.empty() ||
        std::any_of(weekdays.begin(), weekdays.end(),
                    [](std::int64_t day) { return day < 1 || day > 7; })) {
        return false;
    }
    const CalendarDate date = calendar.dateOf(moment);
    const int today = (date.weekday + 5) % 7 + 1;
    const int yesterday = (date.weekday + 5) % 7 == 0 ? 7 : (date.weekday + 5) % 7;
    const int now = date.hour * 60 + date.minute;
    if (*startMinute == *endMinute) {
        return contains(weekdays, today);
    }
    if (*startMinute < *endMinute) {
        return contains(weekdays, today) && *startMinute <= now && now < *endMinute;
    }
    return (contains(weekdays, today) && now >= *startMinute) ||
           (contains(weekdays, yesterday) && now < *endMinute);
}

bool KestraluneScheduleSnapshot::isActiveNow() {
    const auto bytes = readFile(fileURL(), kFileLimit);
    if (!bytes) {
        return false;
    }
    const auto snapshot = decode(*bytes);
    return snapshot && snapshot->isActive(std::chrono::system_clock::now());
}

}  // namespace kestralune
