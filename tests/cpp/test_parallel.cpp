#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "geometry/parallel.h"

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
