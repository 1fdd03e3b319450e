// Throughput of TriangleCdt: points per second for random points and for
// points along constraint chains, at 10^3, 10^4 and 10^5 points.
//
// g++ -std=c++20 -O2 -Wall -Wextra -ffp-contract=off -I. benchmarks/cpp/bench_cdt.cpp
//     geometry/triangulation/*.cpp geometry/predicates/*.cpp -o /tmp/bench_cdt && /tmp/bench_cdt

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "geometry/triangulation/cdt.h"

using geom::OnEdge;
using geom::PointKey;
using geom::TriangleCdt;
using geom::Vec2;

namespace {

const Vec2 kCorners[3] = {{0.0, 0.0}, {1.0, 0.1}, {0.3, 0.9}};

Vec2 in_triangle(double u, double v) {
    if (u + v > 1.0) u = 1.0 - u, v = 1.0 - v;
    const Vec2 a = kCorners[0], b = kCorners[1], c = kCorners[2];
    return {a.x + u * (b.x - a.x) + v * (c.x - a.x), a.y + u * (b.y - a.y) + v * (c.y - a.y)};
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
double best_of(int reps, F&& run) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

size_t sink = 0;

// Uniform random interior points, in random order.
double random_points(int n) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Vec2> pts(static_cast<size_t>(n));
    for (auto& p : pts) p = in_triangle(u(rng), u(rng));
    return best_of(3, [&] {
        TriangleCdt cdt(kCorners[0], kCorners[1], kCorners[2]);
        for (int i = 0; i < n; ++i) cdt.insert(pts[static_cast<size_t>(i)], PointKey{uint64_t(i), 0});
        sink += cdt.num_faces();
    });
}

// Random points, 1 in 5 given as lying on a random edge (a few ulps off it).
double points_with_edges(int n) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    struct In {
        Vec2 p;
        OnEdge e;
    };
    std::vector<In> pts(static_cast<size_t>(n));
    for (auto& in : pts) {
        if (rng() % 5 == 0) {
            const int k = static_cast<int>(rng() % 3);
            const Vec2 a = kCorners[k], b = kCorners[(k + 1) % 3];
            const double t = u(rng);
            in = {{std::nextafter(a.x + t * (b.x - a.x), 2.0), a.y + t * (b.y - a.y)}, static_cast<OnEdge>(k)};
        } else {
            in = {in_triangle(u(rng), u(rng)), OnEdge::None};
        }
    }
    return best_of(3, [&] {
        TriangleCdt cdt(kCorners[0], kCorners[1], kCorners[2]);
        for (int i = 0; i < n; ++i) cdt.insert(pts[size_t(i)].p, PointKey{uint64_t(i), 0}, pts[size_t(i)].e);
        sink += cdt.num_faces();
    });
}

// Non-crossing wavy polylines across the triangle; each point is inserted
// and joined to its predecessor by a constraint, as intersection segments are.
double constraint_chains(int n, int& accepted) {
    const int chains = std::max(4, static_cast<int>(std::sqrt(static_cast<double>(n)) / 2));
    const int per = n / chains;
    std::vector<Vec2> pts;
    for (int c = 0; c < chains; ++c) {
        const double v = (c + 0.5) / chains * 0.9;
        const double amp = 0.3 / chains;
        for (int i = 0; i < per; ++i) {
            const double s = (i + 0.5) / per;
            const double u = s * (1.0 - v);
            pts.push_back(in_triangle(u, v + amp * std::sin(40.0 * s)));
        }
    }
    int ok = 0;
    const double t = best_of(3, [&] {
        TriangleCdt cdt(kCorners[0], kCorners[1], kCorners[2]);
        ok = 0;
        uint32_t prev = TriangleCdt::kNone;
        for (size_t i = 0; i < pts.size(); ++i) {
            const uint32_t id = cdt.insert(pts[i], PointKey{uint64_t(i), 1});
            if (i % static_cast<size_t>(per) != 0) ok += cdt.add_constraint(prev, id);
            prev = id;
        }
        sink += cdt.num_faces();
    });
    accepted = ok;
    return t;
}

// Long constraints added after all points: each crosses many edges.
double long_constraints(int n, int& accepted) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Vec2> pts(static_cast<size_t>(n));
    for (auto& p : pts) p = in_triangle(u(rng), u(rng));
    const int segs = 100;
    int ok = 0;
    TriangleCdt cdt(kCorners[0], kCorners[1], kCorners[2]);
    std::vector<uint32_t> left, right;
    for (int i = 0; i < n; ++i) cdt.insert(pts[size_t(i)], PointKey{uint64_t(i), 2});
    for (int s = 0; s < segs; ++s) {  // horizontal-ish, non-crossing
        const double v = (s + 0.5) / segs * 0.9;
        left.push_back(cdt.insert(in_triangle(0.0, v), PointKey{uint64_t(s), 3}, OnEdge::E2));
        right.push_back(cdt.insert(in_triangle(1.0 - v, v), PointKey{uint64_t(s), 4}, OnEdge::E1));
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int s = 0; s < segs; ++s) ok += cdt.add_constraint(left[size_t(s)], right[size_t(s)]);
    accepted = ok;
    return seconds_since(t0);
}

}  // namespace

int main() {
    std::printf("%-34s %8s %12s %14s\n", "case", "points", "seconds", "points/s");
    for (int n : {1000, 10000, 100000}) {
        const double t = random_points(n);
        std::printf("%-34s %8d %12.5f %14.0f\n", "random interior", n, t, n / t);
    }
    for (int n : {1000, 10000, 100000}) {
        const double t = points_with_edges(n);
        std::printf("%-34s %8d %12.5f %14.0f\n", "random, 20% on edges", n, t, n / t);
    }
    for (int n : {1000, 10000, 100000}) {
        int ok = 0;
        const double t = constraint_chains(n, ok);
        char name[64];
        std::snprintf(name, sizeof name, "chains (%d constraints)", ok);
        std::printf("%-34s %8d %12.5f %14.0f\n", name, n, t, n / t);
    }
    for (int n : {1000, 10000, 100000}) {
        int ok = 0;
        const double t = long_constraints(n, ok);
        std::printf("%-34s %8d %12.5f %11.0f seg/s (%d ok)\n", "100 long constraints after", n, t, 100 / t, ok);
    }
    return sink == 0;
}
