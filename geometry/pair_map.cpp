#include "geometry/pair_map.h"

namespace geom {

namespace {

uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

const PairMap::Slot* PairMap::find_inline(uint64_t a, uint64_t b) const {
    for (uint32_t i = 0; i < n_inline_; ++i)
        if (inline_[i].a == a && inline_[i].b == b) return &inline_[i];
    return nullptr;
}

size_t PairMap::probe(uint64_t a, uint64_t b) const {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(mix(a ^ mix(b))) & mask;
    while (slots_[i].id != kNone && !(slots_[i].a == a && slots_[i].b == b)) i = (i + 1) & mask;
    return i;
}

uint32_t PairMap::find(uint64_t a, uint64_t b) const {
    if (slots_.empty()) {
        const Slot* s = find_inline(a, b);
        return s != nullptr ? s->id : kNone;
    }
    return slots_[probe(a, b)].id;  // an empty slot's id is kNone
}

uint32_t PairMap::insert(uint64_t a, uint64_t b, uint32_t id) {
    if (slots_.empty()) {
        if (const Slot* s = find_inline(a, b)) return s->id;
        if (n_inline_ < kInline) {
            inline_[n_inline_++] = {a, b, id};
            return id;
        }
        grow();
    }
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot& s = slots_[probe(a, b)];
    if (s.id != kNone) return s.id;
    s = {a, b, id};
    ++used_;
    return id;
}

void PairMap::grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 4 * kInline : 2 * old.size(), Slot{0, 0, kNone});
    used_ = 0;
    if (old.empty()) {
        for (uint32_t i = 0; i < n_inline_; ++i) insert(inline_[i].a, inline_[i].b, inline_[i].id);
        return;
    }
    for (const Slot& s : old) {
        if (s.id != kNone) insert(s.a, s.b, s.id);
    }
}

}  // namespace geom
