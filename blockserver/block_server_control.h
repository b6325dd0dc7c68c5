#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestralune {

// What the engine may ask of the block server: four commands, queued on the server's own
// queue in call order and returning at once, and two queries that wait for that queue and
// so see every command issued before them. Called from the main thread; never from the
// server's queue.
class BlockServerControl {
  public:
    virtual ~BlockServerControl() = default;

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void update(std::vector<std::string> exceptionDomains,
                        std::vector<std::string> blockedDomains, bool allWebsitesBlocked) = 0;
    virtual void resetBlockedRequests() = 0;

    virtual bool isRunning() = 0;
    virtual std::int64_t blockedRequestCount() = 0;
};

inline constexpr std::uint16_t kBlockServerPort = 18081;

}  // namespace kestralune
