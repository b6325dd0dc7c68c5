#include "platform/log.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kestralune {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

std::string programName() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return "Kestralune";
    }
    std::string full(path, static_cast<std::size_t>(length));
    return full.substr(full.find_last_of('/') + 1);
}

// "2026-12-06 21:10:00.123 Kestralune[4242] message", like the system log's own lines.
void writeToStandardError(std::string_view line) {
    static const std::string name = programName();
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s.%03d %s[%d] %.*s\n", stamp, static_cast<int>(millis), name.c_str(),
                 static_cast<int>(getpid()), static_cast<int>(line.size()), line.data());
}

}  // namespace

void logLine(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (char c : message) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            line += c;
        }
    }
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
    } else {
        writeToStandardError(line);
    }
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

}  // namespace kestralune
