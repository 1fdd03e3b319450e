// Small value type for points, normals and directions.
// Every operation is written out so the order of floating-point operations is
// fixed (the build also disables FMA contraction).
#pragma once

#include <algorithm>
#include <cmath>

namespace geom {

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;

    constexpr Vec3() = default;
    constexpr Vec3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    constexpr double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    constexpr double& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
};

constexpr Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
constexpr Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
constexpr Vec3 operator*(double s, Vec3 a) { return {a.x * s, a.y * s, a.z * s}; }
constexpr bool operator==(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Summed x, then y, then z.
constexpr double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

constexpr Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

constexpr double norm_squared(Vec3 a) { return dot(a, a); }
inline double norm(Vec3 a) { return std::sqrt(norm_squared(a)); }

// Largest component magnitude. A NaN component is kept only when it comes
// first (std::max's comparisons are false for it): callers test finiteness.
inline double max_abs3(Vec3 v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }
// v * 2^e, componentwise (exact unless a component leaves the normal range).
inline Vec3 ldexp3(Vec3 v, int e) { return {std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e)}; }

inline bool is_finite(Vec3 a) {
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

}  // namespace geom
