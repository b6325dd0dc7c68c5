#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace kestralune {

// A serial dispatch queue: one thread running one io_context. Work posted with async()
// runs in order, one item at a time; sync() posts and waits for the result.
// The queue's context is also the executor for I/O objects whose handlers must run on it.
// Destroying the queue runs nothing further: pending work is dropped and the thread joined.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& queueLabel() const { return label; }
    asio::io_context& ioContext() { return context; }

    // True when called from the queue's own thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread.get_id(); }

    void async(std::function<void()> work);

    // Runs `work` on the queue and returns its result. Must not be called from the queue
    // itself (it would wait for itself); that is a programmer error.
    template <class F>
    std::invoke_result_t<F> sync(F&& work) {
        using Result = std::invoke_result_t<F>;
        std::packaged_task<Result()> task(std::forward<F>(work));
        auto future = task.get_future();
        postAndWait([&task] { task(); });
        return future.get();
    }

  private:
    void postAndWait(std::function<void()> work);

    std::string label;
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard;
    std::thread thread;
};

}  // namespace kestralune
