#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "geometry/large_vector.h"
#include "geometry/parallel.h"
#include "geometry/pipeline.h"

using namespace geom;

namespace {

// What run_both threw, or "" when it returned.
template <class F, class G>
std::string failure(bool split, F&& f, G&& g) {
    try {
        run_both(split, f, g);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

class RunBoth : public ::testing::TestWithParam<bool> {};

TEST_P(RunBoth, RunsBothPieces) {
    std::atomic<int> done{0};
    run_both(GetParam(), [&] { done += 1; }, [&] { done += 2; });
    EXPECT_EQ(done.load(), 3);
}

TEST_P(RunBoth, FailuresComeOutAsASerialRunGivesThem) {
    const bool split = GetParam();
    auto fail = [](const char* what) { return [what] { throw std::runtime_error(what); }; };
    auto ok = [] {};
    EXPECT_EQ(failure(split, fail("first"), fail("second")), "first");
    EXPECT_EQ(failure(split, ok, fail("second")), "second");
    EXPECT_EQ(failure(split, fail("first"), ok), "first");
    EXPECT_EQ(failure(split, ok, ok), "");
}

INSTANTIATE_TEST_SUITE_P(SplitOrNot, RunBoth, ::testing::Bool());

// --- ordered_pipeline --------------------------------------------------------

namespace {

// A value per item that a wrong index, stretch or slot would change.
uint64_t item_value(size_t i) { return (i + 1) * 0x9E3779B97F4A7C15ull; }

// Runs f on another thread and gives its result; a call that has not
// returned within a minute ends the test program instead of hanging it.
template <class F>
void within_deadline(F f) {
    std::packaged_task<void()> task(std::move(f));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "ordered_pipeline did not return\n");
        std::abort();
    }
    runner.join();
    done.get();
}

struct PipelineCase {
    size_t n, stretch, ring;
};

std::string case_name(const ::testing::TestParamInfo<std::tuple<PipelineCase, bool>>& info) {
    const auto& [c, split] = info.param;
    return "n" + std::to_string(c.n) + "_stretch" + std::to_string(c.stretch) + "_ring" + std::to_string(c.ring) +
           (split ? "_split" : "_alone");
}

// What one run handed over, checked as it went.
struct PipelineRun {
    std::vector<uint64_t> emitted;
    std::atomic<size_t> computed{0};
    std::atomic<size_t> stretches_emitted{0};
    std::atomic<bool> beyond_ring{false}, emit_off_caller{false};
};

// Computes item_value for every item, and emits into `run`, checking that
// stretches come back whole and in order on the calling thread and that no
// stretch is computed more than `ring` ahead of those emitted. Emits
// unevenly, so that a helper gets ahead and fills the ring.
void run_pipeline(const PipelineCase& c, bool split, PipelineRun& run) {
    const std::thread::id caller = std::this_thread::get_id();
    ordered_pipeline<uint64_t>(
        c.n, split,
        [&](size_t begin, size_t end, uint64_t* out) {
            if (begin / c.stretch >= run.stretches_emitted.load() + c.ring) run.beyond_ring = true;
            for (size_t i = begin; i < end; ++i) out[i - begin] = item_value(i);
            run.computed += end - begin;
        },
        [&](size_t begin, size_t end, const uint64_t* values) {
            // Slow before reading the values: a helper running too far ahead
            // would overwrite them meanwhile.
            if (begin / c.stretch % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
            if (std::this_thread::get_id() != caller) run.emit_off_caller = true;
            EXPECT_EQ(begin, run.emitted.size());
            EXPECT_EQ(end - begin, std::min(c.stretch, c.n - begin));
            run.emitted.insert(run.emitted.end(), values, values + (end - begin));
            ++run.stretches_emitted;
        },
        c.stretch, c.ring);
}

}  // namespace

class OrderedPipeline : public ::testing::TestWithParam<std::tuple<PipelineCase, bool>> {};

TEST_P(OrderedPipeline, EmitsTheSerialValuesInOrder) {
    const auto& [c, split] = GetParam();
    PipelineRun run;
    within_deadline([&] { run_pipeline(c, split, run); });
    std::vector<uint64_t> serial(c.n);
    for (size_t i = 0; i < c.n; ++i) serial[i] = item_value(i);
    EXPECT_EQ(run.emitted, serial);
    EXPECT_EQ(run.computed.load(), c.n);  // each item once
    EXPECT_FALSE(run.beyond_ring.load());
    EXPECT_FALSE(run.emit_off_caller.load());
}

// Sizes on either side of one stretch and of a full ring, with the shape
// used for angles and with small ones that wrap the ring many times.
INSTANTIATE_TEST_SUITE_P(
    AroundStretchAndRing, OrderedPipeline,
    ::testing::Combine(
        ::testing::Values(PipelineCase{0, 3, 2}, PipelineCase{1, 3, 2}, PipelineCase{2, 3, 2}, PipelineCase{3, 3, 2},
                          PipelineCase{4, 3, 2}, PipelineCase{5, 3, 2}, PipelineCase{6, 3, 2}, PipelineCase{7, 3, 2},
                          PipelineCase{1000, 3, 2}, PipelineCase{999, 1, 1}, PipelineCase{34, 7, 5},
                          PipelineCase{35, 7, 5}, PipelineCase{36, 7, 5}, PipelineCase{5000, 7, 5},
                          PipelineCase{kPipelineStretch - 1, kPipelineStretch, kPipelineRing},
                          PipelineCase{kPipelineStretch, kPipelineStretch, kPipelineRing},
                          PipelineCase{kPipelineStretch + 1, kPipelineStretch, kPipelineRing},
                          PipelineCase{kPipelineStretch * kPipelineRing - 1, kPipelineStretch, kPipelineRing},
                          PipelineCase{kPipelineStretch * kPipelineRing, kPipelineStretch, kPipelineRing},
                          PipelineCase{kPipelineStretch * kPipelineRing + 1, kPipelineStretch, kPipelineRing},
                          PipelineCase{3 * kPipelineStretch * kPipelineRing + 5, kPipelineStretch, kPipelineRing}),
        ::testing::Bool()),
    case_name);

// --- ordered_pipeline failures -----------------------------------------------

namespace {

constexpr size_t kFailStretch = 4, kFailRing = 3, kFailItems = 400;  // 100 stretches

// Counts computations, and those that happen after the pipeline returned
// (a helper left running).
struct Witness {
    std::atomic<size_t> computed{0}, after_return{0};
    std::atomic<bool> returned{false};
    void computing() {
        ++computed;
        if (returned.load()) ++after_return;
    }
    void check_nothing_runs_after_return() {
        returned = true;
        const size_t before = computed.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(computed.load(), before);
        EXPECT_EQ(after_return.load(), 0u);
    }
};

}  // namespace

class OrderedPipelineFailure : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

enum class Throws { Emit, Compute };

// Runs the pipeline with stretch `failing` throwing in emit or in compute;
// returns the message caught and the stretches emitted.
std::pair<std::string, std::vector<size_t>> run_failing(size_t failing, bool split, Throws where, Witness& witness) {
    std::vector<size_t> emitted;
    std::string what;
    within_deadline([&] {
        try {
            ordered_pipeline<uint64_t>(
                kFailItems, split,
                [&](size_t begin, size_t end, uint64_t* out) {
                    witness.computing();
                    if (where == Throws::Compute && begin / kFailStretch == failing)
                        throw std::runtime_error("compute failed");
                    for (size_t i = begin; i < end; ++i) out[i - begin] = item_value(i);
                },
                [&](size_t begin, size_t, const uint64_t*) {
                    if (where == Throws::Emit && begin / kFailStretch == failing)
                        throw std::runtime_error("emit failed");
                    emitted.push_back(begin);
                },
                kFailStretch, kFailRing);
        } catch (const std::runtime_error& e) {
            what = e.what();
        }
    });
    return {what, emitted};
}

TEST_P(OrderedPipelineFailure, AnEmitThatThrowsStopsEverything) {
    const auto& [failing, split] = GetParam();
    Witness witness;
    const auto [what, emitted] = run_failing(failing, split, Throws::Emit, witness);
    EXPECT_EQ(what, "emit failed");
    ASSERT_EQ(emitted.size(), failing);
    for (size_t k = 0; k < failing; ++k) EXPECT_EQ(emitted[k], k * kFailStretch);
    witness.check_nothing_runs_after_return();
}

TEST_P(OrderedPipelineFailure, AComputeThatThrowsComesOutAfterTheStretchesBeforeIt) {
    const auto& [failing, split] = GetParam();
    Witness witness;
    const auto [what, emitted] = run_failing(failing, split, Throws::Compute, witness);
    EXPECT_EQ(what, "compute failed");
    // The calling thread may have run ahead onto the failing stretch, but
    // never emits it or anything after it.
    ASSERT_LE(emitted.size(), failing);
    for (size_t k = 0; k < emitted.size(); ++k) EXPECT_EQ(emitted[k], k * kFailStretch);
    witness.check_nothing_runs_after_return();
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, OrderedPipelineFailure,
                         ::testing::Combine(::testing::Values(size_t{0}, size_t{1}, size_t{50}, size_t{99}),
                                            ::testing::Bool()));

// A failure on the helper thread reaches the caller once it has emitted
// every stretch before the failing one.
TEST(OrderedPipelineFailureOnHelper, ComesOutInOrder) {
    std::atomic<size_t> failed_at{SIZE_MAX};
    Witness witness;
    std::vector<size_t> emitted;
    std::string what;
    within_deadline([&] {
        const std::thread::id caller = std::this_thread::get_id();
        try {
            ordered_pipeline<uint64_t>(
                kFailItems, true,
                [&](size_t begin, size_t end, uint64_t* out) {
                    witness.computing();
                    if (std::this_thread::get_id() != caller) {
                        size_t none = SIZE_MAX;
                        failed_at.compare_exchange_strong(none, begin);
                        throw std::runtime_error("helper failed");
                    }
                    // Slow here, so that the helper gets stretches.
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    for (size_t i = begin; i < end; ++i) out[i - begin] = item_value(i);
                },
                [&](size_t begin, size_t, const uint64_t*) { emitted.push_back(begin); }, kFailStretch, kFailRing);
        } catch (const std::runtime_error& e) {
            what = e.what();
        }
    });
    if (failed_at.load() == SIZE_MAX) GTEST_SKIP() << "no helper thread ran";
    EXPECT_EQ(what, "helper failed");
    ASSERT_EQ(emitted.size(), failed_at.load() / kFailStretch);
    for (size_t k = 0; k < emitted.size(); ++k) EXPECT_EQ(emitted[k], k * kFailStretch);
    witness.check_nothing_runs_after_return();
}

// --- late helpers and shared tasks -------------------------------------------

TEST(HelperThread, WorkNotBegunWhenClosedNeverRuns) {
    // Closing at once usually beats the thread's start; either way work runs
    // at most once, and never after close() returned.
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> runs{0};
        std::atomic<bool> closed{false}, ran_after_close{false};
        auto work = [&] {
            if (closed.load()) ran_after_close = true;
            ++runs;
        };
        HelperThread helper(work);
        const HelperThread::Outcome outcome = helper.close();
        closed = true;
        EXPECT_EQ(runs.load(), outcome.ran ? 1 : 0);
        EXPECT_FALSE(outcome.error);
        std::this_thread::yield();
        EXPECT_FALSE(ran_after_close.load());
        EXPECT_EQ(runs.load(), outcome.ran ? 1 : 0);
    }
}

TEST(HelperThread, CloseWaitsForWorkInProgressAndReportsItsFailure) {
    std::atomic<bool> entered{false};
    auto work = [&] {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        throw std::runtime_error("helper failed");
    };
    HelperThread helper(work);
    ASSERT_TRUE(helper.started());
    while (!entered.load()) std::this_thread::yield();
    const HelperThread::Outcome outcome = helper.close();
    ASSERT_TRUE(outcome.ran);
    ASSERT_TRUE(outcome.error);
    EXPECT_THROW(std::rethrow_exception(outcome.error), std::runtime_error);
}

class RunTasks : public ::testing::TestWithParam<bool> {};

TEST_P(RunTasks, EachTaskOnceAndTheFirstFailureInTaskOrder) {
    for (size_t count : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::atomic<int>> runs(count);
        run_tasks(GetParam(), count, [&](size_t i) { ++runs[i]; });
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    }
    // Tasks 3 and 500 fail; whichever thread meets which first, task 3's failure comes out.
    for (int round = 0; round < 20; ++round) {
        try {
            run_tasks(GetParam(), 1000, [&](size_t i) {
                if (i == 3 || i == 500) throw std::runtime_error(std::to_string(i));
            });
            ADD_FAILURE() << "no failure";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "3");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SplitOrNot, RunTasks, ::testing::Bool());

// Buffers on both sides of the huge-page size keep their contents through
// growth and moves, and are released once (the sanitizer run checks that).
TEST(LargeVector, KeepsContentsAcrossTheHugePageSize) {
    const size_t big = kHugePageFrom / sizeof(uint32_t) + 3;
    LargeVector<uint32_t> v;
    for (uint32_t i = 0; i < big; ++i) v.push_back(i * 2654435761u);
    for (uint32_t i = 0; i < big; ++i) ASSERT_EQ(v[i], i * 2654435761u);
    v.resize(10);
    v.shrink_to_fit();
    EXPECT_EQ(v.back(), 9u * 2654435761u);
}

TEST(LargeBuffer, MovesOwnership) {
    for (size_t n : {size_t{5}, kHugePageFrom / 8 + 1}) {
        LargeBuffer<uint64_t> a(n);
        a[n - 1] = 42;
        LargeBuffer<uint64_t> b(std::move(a));
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(b[n - 1], 42u);
        LargeBuffer<uint64_t> c(3);
        c = std::move(b);
        EXPECT_EQ(c.size(), n);
        EXPECT_EQ(c[n - 1], 42u);
    }
}
