#include "tests/support/primitives.h"

#include <array>
#include <cmath>
#include <map>
#include <numbers>
#include <tuple>

namespace geom {

MeshData make_box(Vec3 lo, Vec3 hi) {
    MeshData m;
    for (int i = 0; i < 8; ++i)
        m.points.push_back({(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z});
    // Quads as (p0, p1, p2, p3), counter-clockwise seen from outside.
    const uint32_t quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        m.triangles.push_back({q[0], q[1], q[2]});
        m.triangles.push_back({q[0], q[2], q[3]});
    }
    return m;
}

MeshData make_tetrahedron() {
    MeshData m;
    m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    m.triangles = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    return m;
}

namespace {

Vec3 normalized(Vec3 v) {
    const double l = norm(v);
    return {v.x / l, v.y / l, v.z / l};
}

}  // namespace

MeshData make_sphere(uint32_t m, const std::function<double(Vec3)>& radius) {
    const double g = (1.0 + std::sqrt(5.0)) / 2.0;
    const std::array<Vec3, 12> ico = {{{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                                       {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                                       {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}}};
    const uint32_t faces[20][3] = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                   {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                   {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                   {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
    MeshData out;
    // Points on the icosahedron's edges are keyed by (lower corner, upper
    // corner, steps from the lower corner) so both faces get the same index.
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> shared;
    auto add = [&](Vec3 p) {
        const Vec3 u = normalized(p);
        out.points.push_back(radius ? u * radius(u) : u);
        return static_cast<uint32_t>(out.points.size() - 1);
    };
    auto corner_or_edge = [&](uint32_t va, uint32_t vb, uint32_t s) {  // s steps from va towards vb
        if (s == 0) vb = va;
        if (s == m) va = vb, s = 0;
        uint32_t lo = va, hi = vb, steps = s;
        if (lo > hi) std::swap(lo, hi), steps = m - s;
        if (lo == hi) steps = 0;
        auto key = std::make_tuple(lo, hi, steps);
        auto it = shared.find(key);
        if (it != shared.end()) return it->second;
        const double t = static_cast<double>(steps) / m;
        const uint32_t idx = add(ico[lo] * (1.0 - t) + ico[hi] * t);
        shared.emplace(key, idx);
        return idx;
    };
    std::vector<uint32_t> grid;
    for (const auto& f : faces) {
        const Vec3 A = ico[f[0]], B = ico[f[1]], C = ico[f[2]];
        // grid[(i, j)]: i steps towards B, j towards C.
        grid.assign((m + 1) * (m + 1), 0);
        for (uint32_t i = 0; i <= m; ++i)
            for (uint32_t j = 0; i + j <= m; ++j) {
                uint32_t idx;
                if (j == 0) idx = corner_or_edge(f[0], f[1], i);
                else if (i == 0) idx = corner_or_edge(f[0], f[2], j);
                else if (i + j == m) idx = corner_or_edge(f[1], f[2], j);
                else {
                    const double a = static_cast<double>(m - i - j) / m, b = static_cast<double>(i) / m,
                                 c = static_cast<double>(j) / m;
                    idx = add(A * a + B * b + C * c);
                }
                grid[i * (m + 1) + j] = idx;
            }
        auto at = [&](uint32_t i, uint32_t j) { return grid[i * (m + 1) + j]; };
        for (uint32_t i = 0; i < m; ++i)
            for (uint32_t j = 0; i + j < m; ++j) {
                out.triangles.push_back({at(i, j), at(i + 1, j), at(i, j + 1)});
                if (i + j + 1 < m) out.triangles.push_back({at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
            }
    }
    // Orient outward: the icosahedron list above winds counter-clockwise from outside.
    const Triangle& t0 = out.triangles[0];
    const Vec3 n = cross(out.points[t0[1]] - out.points[t0[0]], out.points[t0[2]] - out.points[t0[0]]);
    if (dot(n, out.points[t0[0]]) < 0)
        for (Triangle& t : out.triangles) std::swap(t[1], t[2]);
    return out;
}

MeshData make_torus(double R, double r, uint32_t nu, uint32_t nv) {
    MeshData m;
    const double two_pi = 2.0 * std::numbers::pi;
    for (uint32_t i = 0; i < nu; ++i)
        for (uint32_t j = 0; j < nv; ++j) {
            const double u = two_pi * i / nu, v = two_pi * j / nv;
            m.points.push_back({(R + r * std::cos(v)) * std::cos(u), (R + r * std::cos(v)) * std::sin(u), r * std::sin(v)});
        }
    auto at = [&](uint32_t i, uint32_t j) { return (i % nu) * nv + (j % nv); };
    for (uint32_t i = 0; i < nu; ++i)
        for (uint32_t j = 0; j < nv; ++j) {
            m.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            m.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    return m;
}

MeshData make_grid(uint32_t nx, uint32_t ny, double z) {
    MeshData m;
    for (uint32_t j = 0; j <= ny; ++j)
        for (uint32_t i = 0; i <= nx; ++i) m.points.push_back({double(i), double(j), z});
    auto at = [&](uint32_t i, uint32_t j) { return j * (nx + 1) + i; };
    for (uint32_t j = 0; j < ny; ++j)
        for (uint32_t i = 0; i < nx; ++i) {
            m.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            m.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    return m;
}

}  // namespace geom
