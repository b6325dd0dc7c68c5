#pragma once

#include "platform/log.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// Collects the log lines written while it lives (by one thread at a time), then puts the
// previous sink back.
class LogCapture {
  public:
    LogCapture()
        : previous(setLogSink([this](std::string_view line) { lines.emplace_back(line); })) {}
    ~LogCapture() { setLogSink(previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    int count(std::string_view line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    std::vector<std::string> lines;

  private:
    LogSink previous;
};

}  // namespace kestralune
