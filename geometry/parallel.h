// Two independent pieces of work on two threads, and the sizes from which a
// second thread is worth starting. Results never depend on it: each piece
// writes only its own data.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <exception>
#include <type_traits>

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

// Triangles of a mesh, for checking it on a helper while its hierarchy is built.
inline constexpr std::size_t kCheckBesideBuildFrom = std::size_t{1} << 12;
// Triangles of a mesh, for building its hierarchy's passes in two halves.
inline constexpr std::size_t kBvhBuildSplitFrom = std::size_t{1} << 12;
// Words of a radix sort, for each pass in two halves: below this they fit in
// cache, and the hand-overs of its passes cost what the halves save.
inline constexpr std::size_t kRadixSplitFrom = std::size_t{1} << 19;
// Triangles of a mesh, for building the tree of one ray direction in two halves.
inline constexpr std::size_t kRayTreeSplitFrom = std::size_t{1} << 13;
// Subtrees that the four-wide tree's build is cut into, taken in turn.
inline constexpr std::size_t kCollapseTasks = 64;
// Rays, for casting them on all processors, in chunks taken in turn.
inline constexpr std::size_t kRaysSplitFrom = 2048;
inline constexpr std::size_t kRayChunk = 256;

// Values per stretch handed from a helper to the calling thread, and
// stretches in flight at once (ordered_pipeline): large enough that the
// hand-over is rare, small enough that the ring stays in cache.
inline constexpr std::size_t kPipelineStretch = 1024;
inline constexpr std::size_t kPipelineRing = 64;

// Whether this process may run on two or more processors.
bool have_second_processor();

// A helper thread that may start late. It calls `work` once, but only if it
// gets there before this thread closes it: work the helper has not begun by
// then is never begun, and closing waits only for work in progress. So a
// busy second processor never makes a call wait for a thread still to be
// scheduled; the caller does that share itself. Helpers share nothing with
// the interpreter and keep no thread-local state.
class HelperThread {
public:
    struct Outcome {
        bool ran = false;            // work ran (to its end) on the helper
        std::exception_ptr error;    // its failure there, if any
    };

    // `work` must outlive close(). When no thread is to be had, started() is
    // false and work never runs there.
    template <class Work>
    explicit HelperThread(Work& work) {
        start(&work, [](void* w) { (*static_cast<Work*>(w))(); });
    }
    ~HelperThread() { close(); }
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;

    bool started() const { return gate_ != nullptr; }
    // After close, work is running nowhere and will never start on the helper.
    Outcome close();

private:
    struct Gate;
    void start(void* context, void (*call)(void*));
    std::shared_ptr<Gate> gate_;
};

// Runs `first` on a helper thread and `second` on this one, and returns when
// both are done. When `split` is false, or there is no second processor or
// no thread to be had, both run here, first then second; when the helper has
// not started `first` by the time `second` is done, this thread runs it. A
// failure is rethrown as a serial run would give it: `first`'s if it failed,
// else `second`'s.
template <class First, class Second>
void run_both(bool split, First&& first, Second&& second) {
    if (split && have_second_processor()) {
        auto on_helper = [&] { first(); };
        HelperThread helper(on_helper);
        if (helper.started()) {
            std::exception_ptr second_error;
            try {
                second();
            } catch (...) {
                second_error = std::current_exception();
            }
            HelperThread::Outcome outcome = helper.close();
            if (!outcome.ran) {
                try {
                    first();
                } catch (...) {
                    outcome.error = std::current_exception();
                }
            }
            if (outcome.error) std::rethrow_exception(outcome.error);
            if (second_error) std::rethrow_exception(second_error);
            return;
        }
    }
    first();
    second();
}

// Calls task(i) once for every i in [0, count), in rising order of claim, on
// this thread and (with `split` and a second processor) a helper that claims
// tasks in turn with it. Each task must write only its own results, or state
// of its thread: a task that takes (i, who) learns which thread runs it, 0
// for this one (all of them without a helper), 1 for the helper. The first
// failure in task order is rethrown; tasks after a failed one may or may not
// have run.
template <class Task>
void run_tasks(bool split, std::size_t count, Task&& task) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr errors[2];
    std::size_t error_task[2] = {count, count};
    auto body = [&](int who) {
        for (std::size_t i; !failed.load(std::memory_order_relaxed) &&
                            (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
            try {
                if constexpr (std::is_invocable_v<Task&, std::size_t, int>)
                    task(i, who);
                else
                    task(i);
            } catch (...) {
                errors[who] = std::current_exception();
                error_task[who] = i;
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    if (split && count > 1 && have_second_processor()) {
        auto on_helper = [&] { body(1); };
        HelperThread helper(on_helper);
        body(0);
        helper.close();
    } else {
        body(0);
    }
    const int first = error_task[1] < error_task[0] ? 1 : 0;
    if (errors[first]) std::rethrow_exception(errors[first]);
}

}  // namespace geom
