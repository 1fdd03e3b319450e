// Which part of a triangle a point is on: a corner, an edge or the interior.
#pragma once

#include <cstdint>

#include "geometry/common.h"

namespace geom {

enum class FeatureKind : uint8_t { Face, Edge, Vertex };

// Vertex k is corner k; edge k runs from corner k to corner (k+1)%3; index
// is 0 for the face.
struct TriangleFeature {
    FeatureKind kind = FeatureKind::Face;
    uint8_t index = 0;
    friend constexpr bool operator==(TriangleFeature, TriangleFeature) = default;
};

// Whether the feature lies on closed edge k (the edge or one of its corners).
constexpr bool on_closed_edge(TriangleFeature f, int k) {
    if (f.kind == FeatureKind::Edge) return f.index == k;
    if (f.kind == FeatureKind::Vertex) return f.index == k || f.index == next_corner(k);
    return false;
}

// The feature of a segment whose ends lie on a and b: the edge both lie on,
// else the face.
constexpr TriangleFeature segment_feature(TriangleFeature a, TriangleFeature b) {
    for (int k = 0; k < 3; ++k)
        if (on_closed_edge(a, k) && on_closed_edge(b, k)) return {FeatureKind::Edge, static_cast<uint8_t>(k)};
    return {FeatureKind::Face, 0};
}

}  // namespace geom
