#pragma once
// Owns one file descriptor: closed when the owner goes, unless it was released.
#include <unistd.h>

#include <cerrno>

#include <utility>

namespace Fw {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and says whether the close worked: a deferred write error shows up here.
    // Returns 0 or the errno value.
    int close() {
        if (fd_ < 0) return 0;
        const int rc = ::close(std::exchange(fd_, -1));
        return rc == 0 ? 0 : errno;
    }

private:
    int fd_ = -1;
};

}  // namespace Fw
