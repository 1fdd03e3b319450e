// Which part of a triangle a point is on: a corner, an edge or the interior.
#pragma once

#include <cstdint>

namespace geom {

enum class FeatureKind : uint8_t { Face, Edge, Vertex };

// Vertex k is corner k; edge k runs from corner k to corner (k+1)%3; index
// is 0 for the face.
struct TriangleFeature {
    FeatureKind kind = FeatureKind::Face;
    uint8_t index = 0;
    friend constexpr bool operator==(TriangleFeature, TriangleFeature) = default;
};

}  // namespace geom
