// Pins the calling thread to one of its processors while alive, so that
// have_second_processor() answers no and every split runs serially.
#pragma once

#if defined(__linux__)
#include <sched.h>

namespace geom::testing_support {

class OneProcessor {
public:
    OneProcessor() {
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int c = 0; c < CPU_SETSIZE; ++c) {
            if (CPU_ISSET(c, &saved_)) {
                CPU_SET(c, &one);
                break;
            }
        }
        pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;
    ~OneProcessor() {
        if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    bool pinned() const { return pinned_; }

private:
    cpu_set_t saved_;
    bool pinned_ = false;
};

}  // namespace geom::testing_support
#endif
