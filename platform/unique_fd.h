#pragma once

#include <utility>

namespace kestralune {

// Owns one file descriptor (a file, a socket, a pidfd) and closes it on destruction.
// Move-only.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Gives the descriptor up to a new owner (an event loop's socket object, say).
    int release() { return std::exchange(fd, -1); }
    // Closes the descriptor held, if any, and holds `replacement` instead.
    void reset(int replacement = -1);

  private:
    int fd = -1;
};

}  // namespace kestralune
