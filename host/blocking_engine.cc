#include "host/blocking_engine.h"

#include "blocking/mac_blocking_engine.h"

#include <cassert>
#include <utility>

namespace kestralune {

namespace {

class BoundEngine final : public BlockingEngine {
  public:
    explicit BoundEngine(std::shared_ptr<MacBlockingEngine> engine) : engine(std::move(engine)) {}

    void applyConfiguration(const EncodableMap& configuration) override {
        engine->applyConfiguration(configuration);
    }
    EncodableMap startSession(const EncodableMap& arguments) override {
        return engine->startSession(arguments);
    }
    void stopSession() override { engine->stopSession(); }
    EncodableMap blockingStatus() override { return engine->blockingStatus(); }
    std::int64_t blockedAttemptCount() override { return engine->blockedAttemptCount(); }

  private:
    const std::shared_ptr<MacBlockingEngine> engine;
};

}  // namespace

std::shared_ptr<BlockingEngine> bindBlockingEngine(std::shared_ptr<MacBlockingEngine> engine) {
    assert(engine);
    return std::make_shared<BoundEngine>(std::move(engine));
}

}  // namespace kestralune
