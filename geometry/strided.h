// Rows of three doubles read where they lie: a plain vector of Vec3, or a
// caller's strided array, without a copy.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

#include "geometry/vec3.h"

namespace geom {

// Row i's x at base() + i * row_stride(), y and z each col_stride() further.
// Strides are in bytes and may be negative; the memory must outlive the view.
class StridedVec3View {
public:
    StridedVec3View() = default;
    StridedVec3View(const char* base, size_t size, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride)
        : base_(base), size_(size), row_stride_(row_stride), col_stride_(col_stride) {}

    // Contiguous points, viewed with the same layout as any other rows.
    static StridedVec3View of(std::span<const Vec3> points) {
        static_assert(sizeof(Vec3) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3>);
        return {reinterpret_cast<const char*>(points.data()), points.size(), sizeof(Vec3), sizeof(double)};
    }

    size_t size() const { return size_; }
    const char* base() const { return base_; }
    std::ptrdiff_t row_stride() const { return row_stride_; }
    std::ptrdiff_t col_stride() const { return col_stride_; }

    const char* row(size_t i) const { return base_ + static_cast<std::ptrdiff_t>(i) * row_stride_; }
    Vec3 operator[](size_t i) const { return load(row(i), col_stride_); }

    // f(i, point) for every point, with the layout held in locals so that the
    // caller's stores cannot force it to be reloaded on every step.
    template <class F>
    void for_each(F&& f) const {
        const size_t n = size_;
        const char* row = base_;
        const std::ptrdiff_t rs = row_stride_, cs = col_stride_;
        for (size_t i = 0; i < n; ++i, row += rs) f(i, load(row, cs));
    }

    // Byte copies: rows need not be aligned for double.
    static Vec3 load(const char* row, std::ptrdiff_t col_stride) {
        Vec3 v;
        std::memcpy(&v.x, row, 8);
        std::memcpy(&v.y, row + col_stride, 8);
        std::memcpy(&v.z, row + 2 * col_stride, 8);
        return v;
    }

private:
    const char* base_ = nullptr;
    size_t size_ = 0;
    std::ptrdiff_t row_stride_ = 0, col_stride_ = 0;
};

}  // namespace geom
