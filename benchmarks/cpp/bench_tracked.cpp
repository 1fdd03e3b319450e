// Tracked intersection of two overlapping spheres: time of each stage.
// Build: g++ -std=c++20 -O3 -ffp-contract=off -I. benchmarks/cpp/bench_tracked.cpp \
//        geometry/*.cpp geometry/*/*.cpp tests/support/primitives.cpp -pthread -o /tmp/bench_tracked && /tmp/bench_tracked
#include <chrono>
#include <cstdio>

#include "geometry/intersection/tracked.h"
#include "tests/support/primitives.h"

using namespace geom;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int main() {
    for (uint32_t m : {8u, 32u, 71u, 224u}) {
        MeshData a = make_sphere(m), b = make_sphere(m);
        for (Vec3& p : b.points) p = p + Vec3{0.43, 0.31, 0.27};
        const size_t n = a.triangles.size();
        auto t = Clock::now();
        TriMesh ma = TriMesh::build(std::move(a.points), std::move(a.triangles));
        TriMesh mb = TriMesh::build(std::move(b.points), std::move(b.triangles));
        const double build = since(t);
        t = Clock::now();
        ma.compute_topology();
        mb.compute_topology();
        const double topo = since(t);
        t = Clock::now();
        ma.compute_pseudo_normals();
        mb.compute_pseudo_normals();
        const double normals = since(t);
        t = Clock::now();
        TrackedOutcome out = tracked_intersection(ma, false, mb, false);
        const double inter = since(t);
        const auto& r = std::get<std::optional<TrackedMesh>>(out);
        std::printf("%8zu triangles each: build %.4f s, topology %.4f s, pseudo-normals %.4f s, intersection %.4f s"
                    " -> %zu triangles\n",
                    n, build, topo, normals, inter, r ? r->triangles.size() : 0);
    }
}
