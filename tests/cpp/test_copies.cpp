// Shell copies: which shells count as copies of an earlier one.
#include <gtest/gtest.h>

#include "geometry/intersection/copies.h"
#include "tests/support/primitives.h"

namespace geom::isect {
namespace {

// The shells one after another, each with its own vertices.
TriMesh shells(const std::vector<MeshData>& parts) {
    MeshData all;
    for (const MeshData& d : parts) {
        const uint32_t base = static_cast<uint32_t>(all.points.size());
        all.points.insert(all.points.end(), d.points.begin(), d.points.end());
        for (Triangle t : d.triangles) all.triangles.push_back({t[0] + base, t[1] + base, t[2] + base});
    }
    return TriMesh::build(std::move(all.points), std::move(all.triangles));
}

TEST(ShellCopies, OnlyExactRepeatsInTriangleOrderAreCopies) {
    const MeshData unit = make_box({0, 0, 0}, {1, 1, 1});
    MeshData zero_signs = unit;  // -0.0 where the box has 0.0: not bit for bit the same
    for (Vec3& p : zero_signs.points)
        for (int k = 0; k < 3; ++k)
            if (p[k] == 0.0) p[k] = -0.0;
    MeshData reordered = unit;  // the same triangles in another order
    std::swap(reordered.triangles[0], reordered.triangles[5]);
    MeshData moved = make_box({0, 0, 0}, {1, 1, 1.0000000000000002});

    const TriMesh m = shells({unit, zero_signs, unit, reordered, moved, unit});
    const ShellCopies sc = find_shell_copies(m);
    ASSERT_TRUE(sc.any);
    const std::vector<uint8_t> expected{0, 0, 1, 0, 0, 1};
    EXPECT_EQ(sc.is_copy, expected);
    // Both copies belong to the first shell.
    EXPECT_EQ(sc.copy_start[1] - sc.copy_start[0], 2u);
    EXPECT_EQ(sc.copies[sc.copy_start[0]], 2u);
    EXPECT_EQ(sc.copies[sc.copy_start[0] + 1], 5u);

    std::vector<uint32_t> kept;
    const TriMesh reduced = without_copies(m, sc, kept);
    EXPECT_EQ(reduced.triangles().size(), 4 * unit.triangles.size());
    EXPECT_EQ(reduced.points().size(), m.points().size());
    for (uint32_t r = 0; r < kept.size(); ++r) EXPECT_EQ(reduced.triangles()[r], m.triangles()[kept[r]]);

    // A piece of the first shell's first triangle, on two of its corners and a curve point.
    MeshRuns runs;
    runs.whole = {1};
    const Triangle t0 = m.triangles()[0];
    runs.pieces.push_back({VRef{Origin::Mesh1, t0[0]}, VRef{Origin::Mesh1, t0[1]}, VRef{Origin::New, 7}});
    runs.piece_triangle.push_back(0);
    const MeshRuns all = spread_to_copies(runs, sc, kept, m, Origin::Mesh1);
    const uint32_t per = static_cast<uint32_t>(unit.triangles.size());
    const std::vector<uint32_t> whole{1, 2 * per + 1, 5 * per + 1};
    EXPECT_EQ(all.whole, whole);
    ASSERT_EQ(all.pieces.size(), 3u);
    for (int c = 0; c < 3; ++c) {
        const uint32_t shell = c == 0 ? 0 : (c == 1 ? 2 : 5);
        const Triangle t = m.triangles()[shell * per];
        EXPECT_EQ(all.pieces[c][0].id, t[0]);
        EXPECT_EQ(all.pieces[c][1].id, t[1]);
        EXPECT_EQ(all.pieces[c][2], (VRef{Origin::New, 7}));  // curve vertices stay shared
        EXPECT_EQ(all.piece_triangle[c], shell * per);
    }
}

TEST(ShellCopies, OneShellOrNoRepeatHasNoCopies) {
    EXPECT_FALSE(find_shell_copies(shells({make_box({0, 0, 0}, {1, 1, 1})})).any);
    EXPECT_FALSE(find_shell_copies(shells({make_box({0, 0, 0}, {1, 1, 1}), make_box({0, 0, 0}, {2, 1, 1})})).any);
}

}  // namespace
}  // namespace geom::isect
