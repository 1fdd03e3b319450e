// Values computed in stretches on two threads and handed over, in order, to
// the calling thread: for results that only the calling thread may build
// (objects of an interpreter whose lock it holds), built while the next
// values are being computed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "geometry/parallel.h"

namespace geom {

// Values of items [0, n), computed stretch by stretch and handed to `emit`
// on this thread, stretches in order:
//   compute(begin, end, out) writes the values of items [begin, end) to
//     out[0, end - begin); it runs on either thread, so it must only read
//     what both may share;
//   emit(begin, end, values) gets them back.
// With `split`, a helper thread claims stretches in turn with this thread,
// which claims one whenever the stretch it has to emit next is not ready.
// Without it, or when no thread is to be had, this thread computes every
// stretch. At most `ring` stretches are computed ahead of the last one
// emitted; their values share a ring of that many slots.
//
// A failure of either function is rethrown here, after the helper has been
// stopped (one that never started stays out); a failure on the helper comes
// out when this thread reaches the stretch that failed, so every stretch
// before it is emitted. A helper still to be scheduled when the work is done
// never delays the call.
template <class T, class Compute, class Emit>
void ordered_pipeline(std::size_t n, bool split, Compute&& compute, Emit&& emit,
                      std::size_t stretch = kPipelineStretch, std::size_t ring = kPipelineRing) {
    if (n == 0) return;
    const std::size_t stretches = (n - 1) / stretch + 1;
    const auto values = std::make_unique_for_overwrite<T[]>(ring * stretch);
    // filled[slot] == k + 1 once stretch k is in that slot.
    const auto filled = std::make_unique<std::atomic<std::size_t>[]>(ring);
    std::atomic<std::size_t> next{0}, emitted{0};
    std::exception_ptr helper_error;
    std::atomic<bool> helper_failed{false};

    // Computes the next stretch if there is one and its slot is free.
    const auto work = [&]() {
        std::size_t k = next.load(std::memory_order_relaxed);
        do {
            if (k >= stretches || k >= emitted.load(std::memory_order_acquire) + ring) return false;
        } while (!next.compare_exchange_weak(k, k + 1, std::memory_order_relaxed));
        const std::size_t begin = k * stretch, end = std::min(n, begin + stretch);
        compute(begin, end, values.get() + (k % ring) * stretch);
        filled[k % ring].store(k + 1, std::memory_order_release);
        return true;
    };
    std::atomic<bool> stop{false};
    auto on_helper = [&] {
        try {
            while (!stop.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < stretches)
                if (!work()) std::this_thread::yield();
        } catch (...) {
            // The stretch it was computing is never filled: this thread
            // finds out when it waits for that stretch.
            helper_error = std::current_exception();
            helper_failed.store(true, std::memory_order_release);
        }
    };
    // Without a thread to be had, this thread computes every stretch.
    std::optional<HelperThread> helper;
    if (split) helper.emplace(on_helper);
    // Destroyed before the helper: a failure here stops it, then closing waits for it.
    struct StopOnExit {
        std::atomic<bool>& stop;
        ~StopOnExit() { stop.store(true, std::memory_order_relaxed); }
    } stop_on_exit{stop};
    for (std::size_t k = 0; k < stretches; ++k) {
        const std::size_t slot = k % ring;
        while (filled[slot].load(std::memory_order_acquire) != k + 1) {
            if (helper_failed.load(std::memory_order_acquire)) std::rethrow_exception(helper_error);
            if (!work()) std::this_thread::yield();
        }
        const std::size_t begin = k * stretch, end = std::min(n, begin + stretch);
        emit(begin, end, static_cast<const T*>(values.get() + slot * stretch));
        emitted.store(k + 1, std::memory_order_release);
    }
}

}  // namespace geom
