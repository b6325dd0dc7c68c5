#pragma once

#include "platform/application_launcher.h"
#include "platform/linux/asio_run_loop.h"

#include <memory>

namespace kestralune {

// The real launcher. It learns the outcome of the exec asynchronously on `runLoop`, which
// must outlive it and be running for completions to arrive.
std::shared_ptr<ApplicationLauncher> makeApplicationLauncher(AsioRunLoop& runLoop);

}  // namespace kestralune
