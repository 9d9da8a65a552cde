#include "core/rows/store.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "core/batch/room.hpp"
#include "core/scoring/kernels.hpp"

namespace tamsel {

namespace {

// A store keeps floats when more than this share of its vectors share their
// byte code with a different vector: bytes cannot order such data, dense in
// two or three dimensions (docs/tuning.md, "The walk copy's precision").
constexpr double kLargestSharedShare = 0.02;
// How many vectors, spread evenly over the store, are looked up.
constexpr std::size_t kProbes = 1024;
// A store keeps doubles when more than kLargestSharedShare of its probes
// share their byte code with a vector from which float32 cannot tell them
// apart: float32 resolves a pair when its rounding of the two points is
// below 1/kFloatsResolve of their distance. Pairs nearer than kLastDigits
// of their magnitude are left to the exact rescore at any precision
// (docs/tuning.md, "The walk copy's precision").
constexpr double kFloatsResolve = 8.0;
constexpr double kLastDigits = 0x1p-40;

}  // namespace

VectorStore::Room VectorStore::reserve(const double* first, std::size_t count) {
  make_room(values_, count * dim_);
  Room room;
  room.precision_ = code_.precision();
  if (count == 0) return room;
  point_.reserve(dim_);
  const std::span<const double> stored(values_.data(), values_.size()), batch(first, count * dim_);
  const std::size_t total = size() + count;
  bool straying = false;
  if (!space_.due(total, false)) {
    std::vector<double> point(dim_);
    for (std::size_t at = 0; at < batch.size() && !straying; at += dim_)
      straying = !space_.place(batch.data() + at, point.data()).held;
  }
  if (space_.due(total, straying)) {
    room.refits_ = true;
    room.refitted_.emplace(space_);
    room.refitted_->fit(stored, batch);
    room.precision_ = precision_for(*room.refitted_, stored, batch);
  }
  if (room.precision_ != code_.precision()) {
    make_room(room.rows_, total * WalkCode(dim_, room.precision_).row_size());
  } else {
    make_room(walk_rows_, count * code_.row_size());
  }
  return room;
}

void VectorStore::append(Room& room, const double* first, std::size_t count) {
  const std::size_t start = size();
  const std::size_t total = start + count;
  values_.insert(values_.end(), first, first + count * dim_);
  point_.resize(dim_);
  if (!room.refitted_) {
    walk_rows_.resize(total * code_.row_size());
    for (std::size_t id = start; id < total; ++id) encode(id);
    return;
  }
  space_ = std::move(*room.refitted_);
  if (room.precision_ != code_.precision()) {
    code_ = WalkCode(dim_, room.precision_);
    walk_rows_.swap(room.rows_);
  }
  walk_rows_.resize(total * code_.row_size());
  for (std::size_t id = 0; id < total; ++id) encode(id);
}

bool VectorStore::encode(std::size_t id) {
  const WalkSpace::Placed placed = space_.place(row(id), point_.data());
  code_.encode(point_.data(), placed.lift, walk_rows_.data() + id * code_.row_size());
  return placed.held;
}

// Probes, vectors spread evenly over the store, are looked up among the
// codes of all vectors: the share of probes whose byte code some different
// vector shares decides between bytes and floats. Of those pairs, the share
// that float32 cannot tell apart either decides for doubles.
WalkPrecision VectorStore::precision_for(const WalkSpace& space, std::span<const double> stored,
                                         std::span<const double> batch) const {
  if (dim_ == 0) return WalkPrecision::Bytes;
  if (dim_ > kLargestByteDim) return WalkPrecision::Floats;
  const WalkCode bytes(dim_, WalkPrecision::Bytes);
  const std::size_t total = (stored.size() + batch.size()) / dim_;
  const auto vector = [&](std::size_t i) {
    return i * dim_ < stored.size() ? stored.data() + i * dim_ : batch.data() + (i * dim_ - stored.size());
  };
  std::vector<double> point(dim_);
  std::vector<std::byte> row(bytes.row_size());
  // The codes alone, without scale and lift: points that differ by a
  // factor share them, but the factor alone tells no near pair apart.
  const auto code_of = [&](std::size_t i) {
    const WalkSpace::Placed placed = space.place(vector(i), point.data());
    bytes.encode(point.data(), placed.lift, row.data());
    return std::string_view(reinterpret_cast<const char*>(row.data()) + (bytes.row_size() - dim_), dim_);
  };
  const std::size_t probes = std::min(kProbes, total);
  const auto probe_row = [&](std::size_t p) { return p * total / probes; };
  std::vector<char> probe_codes(probes * dim_);
  std::unordered_multimap<std::size_t, std::size_t> probes_by_hash;
  for (std::size_t p = 0; p < probes; ++p) {
    const std::string_view code = code_of(probe_row(p));
    std::copy(code.begin(), code.end(), probe_codes.begin() + static_cast<std::ptrdiff_t>(p * dim_));
    probes_by_hash.emplace(std::hash<std::string_view>{}(code), p);
  }
  // The first different vector that shares each probe's code, or none.
  constexpr std::size_t kNoPartner = static_cast<std::size_t>(-1);
  std::vector<std::size_t> partner(probes, kNoPartner);
  for (std::size_t i = 0; i < total; ++i) {
    const std::string_view code = code_of(i);
    const auto [begin, end] = probes_by_hash.equal_range(std::hash<std::string_view>{}(code));
    for (auto at = begin; at != end; ++at) {
      const std::size_t p = at->second;
      const std::string_view probe_code(probe_codes.data() + p * dim_, dim_);
      const double* probe = vector(probe_row(p));
      // Bit for bit: a vector with a NaN is the same as itself.
      if (partner[p] == kNoPartner && probe_code == code && std::memcmp(probe, vector(i), dim_ * sizeof(double)) != 0)
        partner[p] = i;
    }
  }
  const double largest_shared = kLargestSharedShare * static_cast<double>(probes);
  const auto shared_count = static_cast<double>(probes - std::count(partner.begin(), partner.end(), kNoPartner));
  if (!(shared_count > largest_shared)) return WalkPrecision::Bytes;
  std::vector<double> other(dim_);
  std::size_t unresolved = 0;
  for (std::size_t p = 0; p < probes; ++p) {
    if (partner[p] != kNoPartner && !floats_resolve(space, vector(probe_row(p)), vector(partner[p]), point, other))
      ++unresolved;
  }
  return static_cast<double>(unresolved) > largest_shared ? WalkPrecision::Doubles : WalkPrecision::Floats;
}

// Whether float32 points tell vectors `a` and `b` apart as well as their
// distance needs: their rounding, both together, is a small part of the
// distance between the exact points. A pair that only float64's last digits
// tell apart (vectors on one ray under the cosine) gains nothing from
// doubles and counts as resolved.
bool VectorStore::floats_resolve(const WalkSpace& space, const double* a, const double* b, std::vector<double>& at,
                                 std::vector<double>& bt) const {
  const WalkSpace::Placed pa = space.place(a, at.data()), pb = space.place(b, bt.data());
  double distance = (pa.lift - pb.lift) * (pa.lift - pb.lift), rounding_a = 0.0, rounding_b = 0.0, reach = 0.0;
  const auto rounding = [](double x) {
    const double r = x - static_cast<double>(static_cast<float>(x));
    return r * r;
  };
  rounding_a += rounding(pa.lift);
  rounding_b += rounding(pb.lift);
  for (std::size_t i = 0; i < dim_; ++i) {
    distance += (at[i] - bt[i]) * (at[i] - bt[i]);
    rounding_a += rounding(at[i]);
    rounding_b += rounding(bt[i]);
    reach = std::fmax(reach, std::fmax(std::fabs(at[i]), std::fabs(bt[i])));
  }
  distance = std::sqrt(distance);
  // Not finite (a NaN, an infinity): no precision measures the pair.
  if (!std::isfinite(distance) || !std::isfinite(reach)) return true;
  if (!(distance > kLastDigits * reach)) return true;
  return kFloatsResolve * (std::sqrt(rounding_a) + std::sqrt(rounding_b)) < distance;
}

void VectorStore::keep(const Room& room, std::size_t count) noexcept {
  if (count >= size()) return;
  values_.resize(count * dim_);
  walk_rows_.resize(count * code_.row_size());
  if (!room.refits_ || count == 0) return;
  try {
    refit(count);
  } catch (const std::bad_alloc&) {
    // The frame of the whole batch still holds every row kept.
  }
}

void VectorStore::refit(std::size_t count) {
  const std::span<const double> rows(values_.data(), count * dim_);
  WalkSpace space(space_);
  space.fit(rows, {});
  const WalkPrecision precision = precision_for(space, rows, {});
  if (precision != code_.precision()) {
    const WalkCode code(dim_, precision);
    LargeBuffer<std::byte> encoded(count * code.row_size());
    code_ = code;
    walk_rows_.swap(encoded);
  }
  space_ = std::move(space);
  for (std::size_t id = 0; id < count; ++id) encode(id);
}

void VectorStore::score_rows_exactly(Metric metric, const double* query, std::size_t length, const double* const* rows,
                                     std::size_t count, double* out) const {
  if (length == dim_) {
    score_batch(metric, query, dim_, rows, count, out);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = distance(metric, query, length, rows[j], dim_);
}

void VectorStore::score_exactly(Metric metric, const double* query, std::size_t length, const std::uint32_t* ids,
                                std::size_t count, double* out) const {
  constexpr std::size_t kChunk = 64;
  const double* rows[kChunk];
  for (std::size_t first = 0; first < count; first += kChunk) {
    const std::size_t chunk = std::min(kChunk, count - first);
    for (std::size_t j = 0; j < chunk; ++j) rows[j] = row(ids[first + j]);
    score_rows_exactly(metric, query, length, rows, chunk, out + first);
  }
}

void VectorStore::score_exactly(Metric metric, const double* query, std::size_t length,
                                std::span<ScoredId> entries) const {
  constexpr std::size_t kChunk = 64;
  const double* rows[kChunk];
  double scores[kChunk];
  for (std::size_t first = 0; first < entries.size(); first += kChunk) {
    const std::size_t chunk = std::min(kChunk, entries.size() - first);
    for (std::size_t j = 0; j < chunk; ++j) rows[j] = row(entries[first + j].id);
    score_rows_exactly(metric, query, length, rows, chunk, scores);
    for (std::size_t j = 0; j < chunk; ++j) entries[first + j].score = scores[j];
  }
}

}  // namespace tamsel
