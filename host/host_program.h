#pragma once

#include "platform/tool_runner.h"

#include <memory>
#include <string>
#include <vector>

namespace kestralune {

// The command-line arguments that are URLs to open: every argument after the program name
// that contains "://", as URL text (`absoluteUrlText`). The scheduled-launch flag and other
// options never contain it.
std::vector<std::string> urlArguments(const std::vector<std::string>& arguments);

// The runner through which the host's engine runs networksetup and scutil. Tools run
// on the main thread, so one that hangs is stopped after 20 seconds and reported as failed
// (status -1) rather than freezing the host.
std::shared_ptr<ToolRunner> makeHostToolRunner();

// The host program. Runs on the calling thread, which becomes the main thread, until the
// application terminates; returns the process's exit status.
//
// Single instance: when another host of the same bundle identifier is already serving the
// channel socket, this start hands its URL arguments to it ("openURLs" on the control
// channel) — or, with none, asks it to re-open, as a click on the Dock icon would — and
// returns 0 (1 when the running instance could not be reached).
int runHost(const std::vector<std::string>& arguments);

}  // namespace kestralune
