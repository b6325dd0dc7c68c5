#include "platform/serial_queue.h"

#include <asio/post.hpp>

namespace kestralune {

SerialQueue::SerialQueue(std::string label)
    : label(std::move(label)),
      guard(asio::make_work_guard(context)),
      thread([this] { context.run(); }) {}

SerialQueue::~SerialQueue() {
    guard.reset();
    context.stop();
    thread.join();
}

void SerialQueue::async(std::function<void()> work) {
    asio::post(context, std::move(work));
}

void SerialQueue::postAndWait(std::function<void()> work) {
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(context, [&work, &done] {
        work();
        done.set_value();
    });
    finished.wait();
}

}  // namespace kestralune
