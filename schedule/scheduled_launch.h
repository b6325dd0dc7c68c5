#pragma once

namespace kestralune {

// The exact launch argument with which the scheduler agent opens the application, so that it
// brings its window forward.
inline constexpr const char* kScheduledLaunchArgument = "--kestralune-scheduled-launch";

}  // namespace kestralune
