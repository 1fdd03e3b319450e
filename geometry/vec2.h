// Plane point / vector, the 2D sibling of Vec3. Operations are written out so
// the order of floating-point operations is fixed.
#pragma once

#include <cmath>

namespace geom {

struct Vec2 {
    double x = 0.0, y = 0.0;

    constexpr Vec2() = default;
    constexpr Vec2(double x_, double y_) : x(x_), y(y_) {}

    constexpr double operator[](int i) const { return i == 0 ? x : y; }
    constexpr double& operator[](int i) { return i == 0 ? x : y; }
};

constexpr Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
constexpr Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
constexpr Vec2 operator-(Vec2 a) { return {-a.x, -a.y}; }
constexpr Vec2 operator*(Vec2 a, double s) { return {a.x * s, a.y * s}; }
constexpr Vec2 operator*(double s, Vec2 a) { return {a.x * s, a.y * s}; }
constexpr bool operator==(Vec2 a, Vec2 b) { return a.x == b.x && a.y == b.y; }

constexpr double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
// z component of the 3D cross product; not robust, see predicates/ for signs.
constexpr double cross(Vec2 a, Vec2 b) { return a.x * b.y - a.y * b.x; }
constexpr double norm_squared(Vec2 a) { return dot(a, a); }

inline bool is_finite(Vec2 a) { return std::isfinite(a.x) && std::isfinite(a.y); }

}  // namespace geom
