// Maps the points of a 3D triangle's plane to 2D by dropping one coordinate,
// which keeps every coordinate exact. The dropped axis is the one where the
// normal (p1 - p0) x (p2 - p0) is largest, so the projection is as far from
// degenerate as possible.
#pragma once

#include "geometry/vec2.h"
#include "geometry/vec3.h"

namespace geom {

struct DropAxisProjection {
    int axis = 2;          // dropped coordinate: 0 = x, 1 = y, 2 = z
    bool flipped = false;  // the projected corners run clockwise

    // Keeps the remaining coordinates in cyclic order (y, z), (z, x) or (x, y),
    // so a counter-clockwise turn about +axis stays counter-clockwise.
    Vec2 operator()(Vec3 p) const {
        switch (axis) {
        case 0:
            return {p.y, p.z};
        case 1:
            return {p.z, p.x};
        default:
            return {p.x, p.y};
        }
    }
};

// `flipped` comes from the exact orientation of the projected corners, so it
// is reliable even for slivers; it is false for a degenerate projection.
// Non-finite input gives axis 2.
DropAxisProjection drop_axis_projection(Vec3 p0, Vec3 p1, Vec3 p2);

}  // namespace geom
