#pragma once

#include <functional>
#include <string_view>

namespace kestralune {

// Writes one diagnostic line, in the manner of NSLog: no levels, one line per call.
// Line breaks inside the message are written as "\n" so a message never spans lines.
// Thread-safe.
void logLine(std::string_view message);

// Replaces where lines go (tests capture them); returns the previous sink.
// An empty sink restores the default (standard error with a timestamp and the program name).
using LogSink = std::function<void(std::string_view line)>;
LogSink setLogSink(LogSink sink);

}  // namespace kestralune
