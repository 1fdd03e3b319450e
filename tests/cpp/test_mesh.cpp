#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "tests/support/primitives.h"
#include "tests/support/same_tree.h"
#include "geometry/mesh/trimesh.h"
#include "geometry/parallel.h"
#include "geometry/panic.h"

using namespace geom;

namespace {

std::string build_error(std::vector<Vec3> points, std::vector<Triangle> tris) {
    try {
        TriMesh::build(std::move(points), std::move(tris));
    } catch (const Panic& e) {
        return e.what();
    }
    return "";
}

// Straightforward restatement of the acceptance rule, in list order.
std::string reference_error(size_t n_points, const std::vector<Triangle>& tris) {
    if (tris.empty()) return "A triangle mesh must contain at least one triangle.";
    for (const auto& t : tris)
        for (uint32_t i : t)
            if (i >= n_points)
                return "index out of bounds: the len is " + std::to_string(n_points) + " but the index is " +
                       std::to_string(i);
    std::map<std::pair<uint32_t, uint32_t>, size_t> used;
    for (size_t f = 0; f < tris.size(); ++f) {
        const auto& t = tris[f];
        if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2])
            return "mesh should be manifold: BadTriangle(" + std::to_string(f) + ")";
        for (int k = 0; k < 3; ++k) {
            auto e = std::make_pair(t[k], t[(k + 1) % 3]);
            auto it = used.find(e);
            if (it != used.end())
                return "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: " +
                       std::to_string(it->second) + ", triangle2: " + std::to_string(f) + ", edge: (" +
                       std::to_string(e.first) + ", " + std::to_string(e.second) + ") }";
        }
        for (int k = 0; k < 3; ++k) used.emplace(std::make_pair(t[k], t[(k + 1) % 3]), f);
    }
    return "";
}

std::vector<Vec3> some_points(size_t n) {
    std::vector<Vec3> p;
    for (size_t i = 0; i < n; ++i) p.push_back({double(i), double(i * i % 7), double(i % 3)});
    return p;
}

struct ErrorCase {
    size_t n_points;
    std::vector<Triangle> tris;
    std::string message;
};

class MeshErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MeshErrors, ExactMessage) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(build_error(some_points(c.n_points), c.tris), c.message);
}

const std::string kAdj = "mesh should be manifold: BadAdjascentTrianglesOrientation { ";

INSTANTIATE_TEST_SUITE_P(
    Table, MeshErrors,
    ::testing::Values(
        ErrorCase{0, {}, "A triangle mesh must contain at least one triangle."},
        ErrorCase{5, {}, "A triangle mesh must contain at least one triangle."},
        ErrorCase{0, {{0, 1, 2}}, "index out of bounds: the len is 0 but the index is 0"},
        // Index errors come before the topology fault of an earlier triangle.
        ErrorCase{5, {{0, 0, 1}, {0, 1, 9}}, "index out of bounds: the len is 5 but the index is 9"},
        ErrorCase{3, {{0, 1, 2}, {0, 1, 2}, {2, 1, 3}}, "index out of bounds: the len is 3 but the index is 3"},
        ErrorCase{4, {{0, 1, 2}, {7, 8, 1}}, "index out of bounds: the len is 4 but the index is 7"},
        ErrorCase{4, {{0, 1, 2}, {1, 2, 4294967295u}}, "index out of bounds: the len is 4 but the index is 4294967295"},
        ErrorCase{3, {{0, 1, 2}, {0, 1, 2}}, kAdj + "triangle1: 0, triangle2: 1, edge: (0, 1) }"},
        ErrorCase{4, {{0, 1, 2}, {3, 1, 2}}, kAdj + "triangle1: 0, triangle2: 1, edge: (1, 2) }"},
        ErrorCase{4, {{0, 1, 2}, {1, 0, 3}, {1, 3, 0}}, kAdj + "triangle1: 0, triangle2: 2, edge: (0, 1) }"},
        ErrorCase{4, {{0, 1, 2}, {0, 3, 2}}, kAdj + "triangle1: 0, triangle2: 1, edge: (2, 0) }"},
        ErrorCase{4, {{0, 1, 2}, {2, 3, 1}, {0, 0, 3}}, kAdj + "triangle1: 0, triangle2: 1, edge: (1, 2) }"},
        ErrorCase{4, {{0, 1, 2}, {1, 1, 3}, {2, 1, 0}}, "mesh should be manifold: BadTriangle(1)"},
        ErrorCase{4, {{3, 2, 3}}, "mesh should be manifold: BadTriangle(0)"},
        ErrorCase{4, {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}}, ""},             // closed tetrahedron
        ErrorCase{9, {{0, 1, 2}, {0, 2, 3}}, ""},                                   // open, unused points
        ErrorCase{5, {{0, 1, 2}, {0, 3, 4}, {2, 1, 0}}, ""},                        // two fans, both sides
        ErrorCase{3, {{0, 1, 2}, {2, 1, 0}}, ""}));

TEST(MeshBuild, MatchesReferenceOnRandomSoups) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 4000; ++iter) {
        const size_t n = 3 + rng() % 5;
        const size_t nt = rng() % 10;
        std::vector<Triangle> tris(nt);
        for (auto& t : tris)
            for (auto& i : t) i = rng() % (n + (iter % 4 == 0 ? 1 : 0));
        ASSERT_EQ(build_error(some_points(n), tris), reference_error(n, tris)) << "iteration " << iter;
    }
}

// Small and large enough for the check to run beside the hierarchy's build,
// which meets the same bad index: the check's message is the one reported.
class DamagedClosedMesh : public ::testing::TestWithParam<std::pair<uint32_t, int>> {};

TEST_P(DamagedClosedMesh, MatchesReference) {
    const auto [divisions, iterations] = GetParam();
    std::mt19937 rng(11);
    const MeshData sphere = make_sphere(divisions);
    for (int iter = 0; iter < iterations; ++iter) {
        std::vector<Triangle> tris = sphere.triangles;
        const int damage = iter % 5;
        const size_t at = rng() % tris.size();
        if (damage == 0) tris.insert(tris.begin() + rng() % tris.size(), tris[at]);
        if (damage == 1) std::swap(tris[at][0], tris[at][1]);
        if (damage == 2) tris[at][2] = tris[at][0];
        if (damage == 3) std::swap(tris[at], tris[rng() % tris.size()]);  // reorder only: still valid
        if (damage == 4) tris[at][rng() % 3] = static_cast<uint32_t>(sphere.points.size() + rng() % 9);
        ASSERT_EQ(build_error(sphere.points, tris), reference_error(sphere.points.size(), tris));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DamagedClosedMesh,
                         ::testing::Values(std::pair<uint32_t, int>{6, 40}, std::pair<uint32_t, int>{42, 10}));

TEST(MeshBuild, KeepsBuffersAndHandsThemBack) {
    MeshData box = make_box({0, 0, 0}, {1, 2, 3});
    box.points.push_back(box.points[0]);  // duplicate, unused point stays
    const Vec3* p = box.points.data();
    const Triangle* t = box.triangles.data();
    const auto tris_copy = box.triangles;
    TriMesh mesh = TriMesh::build(std::move(box.points), std::move(box.triangles));
    EXPECT_EQ(mesh.points().size(), 9u);
    EXPECT_EQ(mesh.points().data(), p);
    EXPECT_EQ(mesh.triangles().data(), t);
    auto [points, tris] = std::move(mesh).release();
    EXPECT_EQ(points.data(), p);
    EXPECT_EQ(tris.data(), t);
    EXPECT_EQ(tris, tris_copy);
}

// The tree's boxes are fitted by the first bvh(), whichever thread asks
// first, and then are those of a tree built with its boxes at once.
TEST(MeshBuild, FitsTreeBoxesOnFirstUse) {
    MeshData sphere = make_sphere(40);  // over 4,096 triangles: the build and the fit on two threads
    ASSERT_GE(sphere.triangles.size(), kBvhBuildSplitFrom);
    const Bvh whole = Bvh::build(sphere.points, sphere.triangles);
    TriMesh mesh = TriMesh::build(std::move(sphere.points), std::move(sphere.triangles));
    ASSERT_FALSE(mesh.bvh_shape().fitted());
    const Bvh* seen[2] = {nullptr, nullptr};
    std::thread other([&] { seen[1] = &mesh.bvh(); });
    seen[0] = &mesh.bvh();
    other.join();
    EXPECT_EQ(seen[0], seen[1]);
    ASSERT_TRUE(mesh.bvh().fitted());
    testing_support::expect_same_tree(mesh.bvh(), whole);
}

// Twins pair opposite half-edges; edge ids agree across twins; Euler count on closed meshes.
TEST(MeshTopology, HalfEdgesOnShapes) {
    std::vector<std::pair<MeshData, bool>> shapes = {{make_box({0, 0, 0}, {1, 1, 1}), true},
                                                     {make_tetrahedron(), true},
                                                     {make_sphere(5), true},
                                                     {make_torus(3, 1, 12, 8), true},
                                                     {make_grid(5, 4), false}};
    for (auto& [data, closed] : shapes) {
        const size_t nf = data.triangles.size(), np = data.points.size();
        TriMesh mesh = TriMesh::build(std::move(data.points), std::move(data.triangles));
        const auto& topo = mesh.topology();
        std::vector<int> seen(mesh.edge_count(), 0);
        size_t boundary = 0;
        for (uint32_t h = 0; h < 3 * nf; ++h) {
            EXPECT_EQ(TriMesh::triangle_of(TriMesh::next(h)), h / 3);
            EXPECT_EQ(mesh.origin(TriMesh::next(h)), mesh.target(h));
            EXPECT_EQ(TriMesh::prev(TriMesh::next(h)), h);
            const uint32_t tw = mesh.twin(h);
            ++seen[mesh.edge_id(h)];
            if (tw == HalfEdgeTopology::kNone) {
                ++boundary;
                continue;
            }
            EXPECT_EQ(mesh.twin(tw), h);
            EXPECT_EQ(mesh.origin(tw), mesh.target(h));
            EXPECT_EQ(mesh.target(tw), mesh.origin(h));
            EXPECT_EQ(mesh.edge_id(tw), mesh.edge_id(h));
        }
        for (uint32_t e = 0; e < mesh.edge_count(); ++e) {
            EXPECT_EQ(mesh.edge_id(topo.edge_halfedge[e]), e);
            EXPECT_GE(seen[e], 1);
            EXPECT_LE(seen[e], 2);
        }
        EXPECT_EQ(boundary == 0, closed);
        if (closed) {
            const long euler = long(np) - long(mesh.edge_count()) + long(nf);
            const bool torus = np == 96;
            EXPECT_EQ(euler, torus ? 0 : 2);
        }
    }
}

TEST(MeshPseudoNormals, CubeAndDegenerateFaces) {
    MeshData box = make_box({-1, -1, -1}, {1, 1, 1});
    TriMesh mesh = TriMesh::build(std::move(box.points), std::move(box.triangles));
    const auto& pn = mesh.pseudo_normals();
    for (size_t v = 0; v < 8; ++v) {
        // Angle weights make a cube corner's pseudo-normal point along the diagonal.
        const Vec3 p = mesh.points()[v], n = pn.vertex[v];
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(n[i], p[i] * std::numbers::pi / 2, 1e-12);
    }
    for (uint32_t e = 0; e < mesh.edge_count(); ++e) {
        const uint32_t h = mesh.topology().edge_halfedge[e];
        const Vec3 mid = (mesh.points()[mesh.origin(h)] + mesh.points()[mesh.target(h)]) * 0.5;
        const Vec3 n = pn.edge[e];
        // Cube edges: sum of two axis normals; face diagonals: twice the face normal.
        EXPECT_NEAR(dot(n, mid), norm(n) * norm(mid), 1e-12) << e;
        EXPECT_NEAR(norm_squared(n), norm_squared(mid) < 1.5 ? 4.0 : 2.0, 1e-12);
    }

    // Zero-area faces (collinear and coincident points) contribute nothing.
    std::vector<Vec3> pts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}, {1, 0, 0}};
    std::vector<Triangle> tris = {{0, 1, 2}, {1, 0, 3}, {3, 0, 4}};
    TriMesh deg = TriMesh::build(std::move(pts), std::move(tris));
    const auto& dpn = deg.pseudo_normals();
    for (size_t v = 0; v < dpn.vertex.size(); ++v) EXPECT_TRUE(is_finite(dpn.vertex[v]));
    for (size_t e = 0; e < dpn.edge.size(); ++e) EXPECT_TRUE(is_finite(dpn.edge[e]));
    EXPECT_EQ(deg.pseudo_normals().vertex[3], Vec3{});
    EXPECT_NEAR(deg.pseudo_normals().vertex[2].z, std::numbers::pi / 4, 1e-15);
}

// Against a plain accumulation over faces (unit normal from a normalised
// cross product, corner angle from acos), on bumpy closed shapes and on a grid
// with boundary edges and unused points; the mesh is moved in between.
TEST(MeshPseudoNormals, MatchFaceAccumulation) {
    std::vector<MeshData> shapes;
    shapes.push_back(make_sphere(5, [](Vec3 u) { return 1 + 0.3 * std::sin(5 * u.x) * std::cos(4 * u.z); }));
    shapes.push_back(make_torus(2, 0.7, 13, 7));
    shapes.push_back(make_grid(4, 3));
    shapes.back().points.push_back({9, 9, 9});
    for (MeshData& s : shapes) {
        TriMesh built = TriMesh::build(std::move(s.points), std::move(s.triangles));
        built.compute_pseudo_normals();
        const TriMesh mesh = std::move(built);
        const auto& p = mesh.points();
        std::vector<Vec3> vertex(p.size());
        std::map<std::pair<uint32_t, uint32_t>, Vec3> edge;
        for (const Triangle& t : mesh.triangles()) {
            const Vec3 c = cross(p[t[1]] - p[t[0]], p[t[2]] - p[t[0]]);
            const Vec3 n = c * (1.0 / norm(c));
            for (int k = 0; k < 3; ++k) {
                const Vec3 e1 = p[t[(k + 1) % 3]] - p[t[k]], e2 = p[t[(k + 2) % 3]] - p[t[k]];
                vertex[t[k]] = vertex[t[k]] + n * std::acos(dot(e1, e2) / (norm(e1) * norm(e2)));
                auto key = std::minmax(t[k], t[(k + 1) % 3]);
                edge[key] = edge[key] + n;
            }
        }
        const auto& pn = mesh.pseudo_normals();
        ASSERT_EQ(pn.vertex.size(), p.size());
        ASSERT_EQ(pn.edge.size(), edge.size());
        for (size_t v = 0; v < p.size(); ++v)
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(pn.vertex[v][i], vertex[v][i], 1e-12) << v;
        for (uint32_t e = 0; e < mesh.edge_count(); ++e) {
            const uint32_t h = mesh.topology().edge_halfedge[e];
            const Vec3 expected = edge.at(std::minmax(mesh.origin(h), mesh.target(h)));
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(pn.edge[e][i], expected[i], 1e-14) << e;
        }
    }
}

}  // namespace
