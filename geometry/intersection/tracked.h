// Intersection of the regions bounded by two triangle meshes, built from the
// input triangles and pieces of them, with the result's triangles grouped in
// four runs by origin (mesh 1 or 2) and whether they were cut.
//
// Both meshes are in the same frame. With `flip` a mesh is taken inside-out,
// which turns the intersection into a difference (both flipped: the inward
// facing surface of the union). The result faces out of the common region.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom {

enum class MeshIntersectionError : uint8_t {
    TopologyMissing = 0,
    PseudoNormalsMissing = 1,
    TriangleIntersectionFailed = 2,
};

// The error's display text.
const char* display(MeshIntersectionError error);

// Triangle counts of the four runs, in result order: whole triangles of mesh
// 1, whole triangles of mesh 2, pieces of cut triangles of mesh 1, of mesh 2.
using TrackingCounts = std::array<uint64_t, 4>;

struct TrackedMesh : MeshData {
    TrackingCounts counts{};
};

// Piece-keeping tolerance: the largest double below 1e-5.
inline constexpr double kIntersectionTolerance = 9.999999999999999e-06;

// Error, or success with no triangle (nullopt), or the result mesh.
using TrackedOutcome = std::variant<MeshIntersectionError, std::optional<TrackedMesh>>;

// Deterministic: the same meshes and flags give the same result, bit for bit.
TrackedOutcome tracked_intersection(const TriMesh& mesh1, bool flip1, const TriMesh& mesh2, bool flip2);

// Magnitudes. The intersection multiplies up to four coordinates; beyond
// about 2^250 (or below 2^-250) those products overflow (or underflow) and
// decisions go wrong. Callers bring such meshes near 1 first: the binary
// exponent that puts the largest finite coordinate of both lists in [1, 2)
// when it lies outside [2^-100, 2^100], else 0; also 0 when a nonzero
// coordinate would become subnormal. Scaling by a power of two is exact.
int magnitude_shift(std::span<const Vec3> a, std::span<const Vec3> b);
void scale_points(std::vector<Vec3>& points, int shift);

}  // namespace geom
