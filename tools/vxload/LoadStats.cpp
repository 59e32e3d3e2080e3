#include "vxload/LoadStats.h"

#include <algorithm>
#include <cmath>

namespace vx::load {

size_t TLatencyHistogram::BucketOf(uint64_t valueUs) {
  if (valueUs < 2 * SubCount) return size_t(valueUs);
  const int exponent = 63 - __builtin_clzll(valueUs);  // >= SubBits + 1
  const int shift = exponent - SubBits;
  const size_t bucket = size_t(shift) * SubCount + size_t(valueUs >> shift);
  return std::min(bucket, BucketCount - 1);
}

uint64_t TLatencyHistogram::BucketUpper(size_t bucket) {
  if (bucket < 2 * SubCount) return bucket;
  const size_t shift = bucket / SubCount - 1;
  const uint64_t mantissa = bucket - shift * SubCount;  // 64..127
  return ((mantissa + 1) << shift) - 1;
}

void TLatencyHistogram::Add(uint64_t valueUs) {
  ++Buckets[BucketOf(valueUs)];
  ++Total;
  Sum += valueUs;
  MaxValue = std::max(MaxValue, valueUs);
  MinValue = std::min(MinValue, valueUs);
}

void TLatencyHistogram::Merge(const TLatencyHistogram& other) {
  for (size_t i = 0; i < BucketCount; ++i) Buckets[i] += other.Buckets[i];
  Total += other.Total;
  Sum += other.Sum;
  MaxValue = std::max(MaxValue, other.MaxValue);
  MinValue = std::min(MinValue, other.MinValue);
}

uint64_t TLatencyHistogram::Percentile(double q) const {
  if (Total == 0) return 0;
  q = std::clamp(q, 0.0, 1.0);
  const uint64_t rank = std::max<uint64_t>(1, uint64_t(std::ceil(q * double(Total))));
  uint64_t seen = 0;
  for (size_t i = 0; i < BucketCount; ++i) {
    seen += Buckets[i];
    if (seen >= rank) return std::min(BucketUpper(i), MaxValue);
  }
  return MaxValue;
}

}  // namespace vx::load
