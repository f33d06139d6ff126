#pragma once

// Progress notifications of the exports. The record handed to the callback is
// refilled before every call (the callback may scribble over it); only the
// threshold value behind its pointer is kept between calls, so a callback can
// raise it to thin out the gated notifications.

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>

#include "talvex.h"

namespace talvex {

class ProgressNotifier {
  public:
    // Takes the calling thread's identifier now, as the export starts.
    explicit ProgressNotifier(ProgressCallback callback, std::uint32_t done = 0,
                              std::uint32_t remaining = 0)
        : callback_(callback),
          done_(done),
          remaining_(remaining),
          threadId_(static_cast<std::uint32_t>(::gettid())) {}

    ProgressNotifier(const ProgressNotifier&) = delete;
    ProgressNotifier& operator=(const ProgressNotifier&) = delete;

    std::uint32_t done() const { return done_; }
    std::uint32_t remaining() const { return remaining_; }
    std::uint32_t threshold() const { return threshold_; }
    std::uint32_t threadId() const { return threadId_; }

    void setDone(std::uint32_t done) { done_ = done; }
    void setRemaining(std::uint32_t remaining) { remaining_ = remaining; }
    // Moves `units` from remaining to done (remaining never goes below 0).
    void advance(std::uint32_t units) {
        done_ += units;
        remaining_ = units < remaining_ ? remaining_ - units : 0;
    }

    // Always delivered (when there is a callback).
    void notify(const char* text) {
        if (callback_ == nullptr) return;
        info_.done = done_;
        info_.remaining = remaining_;
        info_.threshold = &threshold_;
        info_.text = text;
        info_.threadId = threadId_;
        callback_(&info_);
    }

    // Delivered only while done has reached the threshold value.
    void notifyGated(const char* text) {
        if (done_ >= threshold_) notify(text);
    }

  private:
    ProgressCallback callback_;
    std::uint32_t done_;
    std::uint32_t remaining_;
    std::uint32_t threshold_ = 0;
    std::uint32_t threadId_;
    ProgressInfo info_{};
};

}  // namespace talvex
