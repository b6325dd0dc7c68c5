#pragma once

#include "channel/encodable_value.h"

#include <cstdint>
#include <memory>

namespace kestralune {

class MacBlockingEngine;

// What the Blocking channel asks of the blocking engine. The host binds it to the one
// MacBlockingEngine of the process; tests put a recording fake in its place.
// Main thread only.
class BlockingEngine {
  public:
    virtual ~BlockingEngine() = default;

    virtual void applyConfiguration(const EncodableMap& configuration) = 0;
    // The session report.
    virtual EncodableMap startSession(const EncodableMap& arguments) = 0;
    virtual void stopSession() = 0;
    // The seven-entry status.
    virtual EncodableMap blockingStatus() = 0;
    virtual std::int64_t blockedAttemptCount() = 0;
};

// The interface over `engine`, which it keeps alive.
std::shared_ptr<BlockingEngine> bindBlockingEngine(std::shared_ptr<MacBlockingEngine> engine);

}  // namespace kestralune
