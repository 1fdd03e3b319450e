// Mesh construction, any-hit ray casting and nearest-triangle throughput.
// Build from the repository root:
//   g++ -std=c++20 -O2 -ffp-contract=off -I. benchmarks/cpp/bench_mesh.cpp geometry/mesh/*.cpp geometry/bvh/*.cpp
//       geometry/query/*.cpp geometry/parallel.cpp tests/support/primitives.cpp -pthread -o /tmp/bench_mesh
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

#include "tests/support/primitives.h"
#include "geometry/query/closest_point.h"
#include "geometry/query/ray_cast.h"

using namespace geom;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

MeshData bumpy_sphere(uint32_t m) {
    return make_sphere(m, [](Vec3 u) { return 1.0 + 0.05 * std::sin(9 * u.x) * std::sin(7 * u.y) * std::sin(5 * u.z); });
}

}  // namespace

int main() {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> uni(-1, 1);
    auto random_dir = [&] {
        Vec3 d{uni(rng), uni(rng), uni(rng)};
        return d;
    };

    TriMesh big;
    for (uint32_t m : {22u, 71u, 224u}) {
        MeshData data = bumpy_sphere(m);
        const size_t n = data.triangles.size();
        auto t0 = std::chrono::steady_clock::now();
        validate_mesh(data.points, data.triangles);
        const double check = seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        const Bvh bvh = Bvh::build(data.points, data.triangles);
        const double tree = seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        TriMesh mesh = TriMesh::build(std::move(data.points), std::move(data.triangles));
        const double total = seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        mesh.compute_pseudo_normals();
        const double normals = seconds_since(t0);
        std::printf("%8zu triangles: build %.3f s (checks %.3f s, hierarchy %.3f s, %zu nodes, depth %d); "
                    "topology + pseudo-normals %.3f s\n",
                    n, total, check, tree, bvh.nodes().size(), bvh.depth(), normals);
        big = std::move(mesh);
    }

    const auto& pts = big.points();
    const auto& tris = big.triangles();
    {
        const auto t0 = std::chrono::steady_clock::now();
        RayCaster caster(big);
        std::printf("ray caster set-up: %.3f s\n", seconds_since(t0));
    }
    const int n_rays = 1000000;
    // Rays leaving face centroids (as in overhang detection) and rays from outside.
    for (int kind = 0; kind < 2; ++kind) {
        std::vector<std::pair<Vec3, Vec3>> rays;
        rays.reserve(n_rays);
        for (int i = 0; i < n_rays; ++i) {
            if (kind == 0) {
                const Triangle& t = tris[rng() % tris.size()];
                const Vec3 c = (pts[t[0]] + pts[t[1]] + pts[t[2]]) * (1.0 / 3);
                rays.push_back({c, random_dir()});
            } else {
                rays.push_back({Vec3{uni(rng), uni(rng), uni(rng)} * 3.0, random_dir()});
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        RayCaster caster(big);
        int blocked = 0;
        for (const auto& [o, d] : rays) blocked += caster.blocked(o, d);
        const double s = seconds_since(t0);
        std::printf("any-hit rays (%s): %.2f M rays/s, %d%% blocked\n",
                    kind == 0 ? "from face centroids" : "from random points", n_rays / s / 1e6, blocked * 100 / n_rays);
    }

    // Overhang test: one ray per vertex, all along one direction.
    for (const Vec3 dir : {Vec3{0, 0, 1}, Vec3{0.3, -0.2, 0.9}}) {
        const auto t0 = std::chrono::steady_clock::now();
        RayCaster caster(big);
        int blocked = 0;
        for (uint8_t b : caster.blocked_from(pts, dir * 0.01, dir)) blocked += b;
        const double s = seconds_since(t0);
        std::printf("any-hit rays (one per vertex, one direction): %.2f M rays/s, %d%% blocked\n",
                    pts.size() / s / 1e6, int(blocked * 100 / pts.size()));
    }

    // Query points spread up to 0.2 off the unit-ish surface, then within 0.005 of it.
    for (double spread : {0.2, 0.005}) {
        const int n_queries = 200000;
        std::vector<Vec3> queries;
        for (int i = 0; i < n_queries; ++i) {
            const Triangle& t = tris[rng() % tris.size()];
            const Vec3 c = (pts[t[0]] + pts[t[1]] + pts[t[2]]) * (1.0 / 3);
            queries.push_back(c * (1.0 + spread * uni(rng)));
        }
        auto t0 = std::chrono::steady_clock::now();
        double sum = 0;
        for (const Vec3& q : queries) sum += nearest_triangle(big, q).distance_squared;
        double s = seconds_since(t0);
        std::printf("nearest triangle, points within %.3g of the surface: %.3f M queries/s (rms distance %.3g)\n",
                    spread, n_queries / s / 1e6, std::sqrt(sum / n_queries));
        t0 = std::chrono::steady_clock::now();
        int inside = 0;
        for (const Vec3& q : queries) inside += is_inside(big, q);
        s = seconds_since(t0);
        std::printf("inside test, same points: %.3f M queries/s (%d%% inside)\n", n_queries / s / 1e6,
                    inside * 100 / n_queries);
    }
    return 0;
}
