// Two independent pieces of work on two threads, and the sizes from which a
// second thread is worth starting. Results never depend on it: each piece
// writes only its own data.
#pragma once

#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

namespace geom {

// Where a second thread starts to pay: below each of these sizes it costs
// more (start-up, hand-over, cache traffic) than it saves, so the work runs
// on the calling thread alone. Results never depend on them.

// Normals whose angles are computed (on a helper thread, while the calling
// thread turns finished stretches into result objects).
inline constexpr std::size_t kAnglesHelperFrom = std::size_t{1} << 16;
// Triangles of both meshes, for building each mesh with its topology and
// pseudo-normals side by side.
inline constexpr std::size_t kPrepareMeshesSplitFrom = 2048;
// Cutting pairs, for retriangulating and classifying each mesh side by side.
inline constexpr std::size_t kTrackedSplitFrom = 128;
// Candidate triangle pairs, for testing the two halves for cuts side by side.
inline constexpr std::size_t kCutPairsSplitFrom = 8192;
// Triangles of both hierarchies, for walking their overlap on two threads.
inline constexpr std::size_t kOverlapWalkSplitFrom = 8192;
// Node pairs that overlap walk is cut into, taken in turn by both threads.
inline constexpr std::size_t kOverlapWalkTasks = 64;

// Values per stretch handed from a helper to the calling thread, and
// stretches in flight at once (ordered_pipeline): large enough that the
// hand-over is rare, small enough that the ring stays in cache.
inline constexpr std::size_t kPipelineStretch = 1024;
inline constexpr std::size_t kPipelineRing = 64;

// Whether this process may run on two or more processors.
bool have_second_processor();

// Runs `first` on a helper thread and `second` on this one, and returns when
// both are done. When `split` is false, or there is no second processor or
// no thread to be had, both run here, first then second. A failure is
// rethrown as a serial run would give it: `first`'s if it failed, else
// `second`'s.
template <class First, class Second>
void run_both(bool split, First&& first, Second&& second) {
    if (split && have_second_processor()) {
        std::exception_ptr first_error, second_error;
        std::thread helper;
        try {
            helper = std::thread([&] {
                try {
                    first();
                } catch (...) {
                    first_error = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
        }
        if (helper.joinable()) {
            try {
                second();
            } catch (...) {
                second_error = std::current_exception();
            }
            helper.join();
            if (first_error) std::rethrow_exception(first_error);
            if (second_error) std::rethrow_exception(second_error);
            return;
        }
    }
    first();
    second();
}

}  // namespace geom
