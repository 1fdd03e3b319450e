// Node-for-node equality of two trees, for tests that build one tree in two
// ways (threads, boxes fitted at once or later).
#pragma once

#include <gtest/gtest.h>

#include "geometry/bvh/bvh.h"

namespace geom::testing_support {

inline void expect_same_tree(const Bvh& got, const Bvh& expected) {
    ASSERT_EQ(got.nodes().size(), expected.nodes().size());
    for (size_t i = 0; i < expected.nodes().size(); ++i) {
        const BvhNode &x = got.nodes()[i], &y = expected.nodes()[i];
        ASSERT_TRUE(x.lo == y.lo && x.hi == y.hi && x.first == y.first && x.count == y.count) << i;
    }
    EXPECT_EQ(got.items(), expected.items());
    EXPECT_EQ(got.unbounded(), expected.unbounded());
    EXPECT_EQ(got.depth(), expected.depth());
}

}  // namespace geom::testing_support
