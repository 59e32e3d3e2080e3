// Statistics of a load run: a latency histogram with bounded relative
// error and fixed memory (no allocation per sample), and the accounting of
// expected against received relayed frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vx::load {

// Latencies in microseconds. Values below 128 us have buckets of 1 us;
// above, every power of two is split into 64 buckets, so a reported
// percentile is at most 1/64 (1.6 %) above the true sample. Values beyond
// the last bucket (about 2^40 us) land in it; the maximum is kept exactly.
class TLatencyHistogram {
 public:
  static constexpr int SubBits = 6;
  static constexpr uint64_t SubCount = uint64_t(1) << SubBits;
  static constexpr size_t BucketCount = 36 * SubCount;

  void Add(uint64_t valueUs);
  void Merge(const TLatencyHistogram& other);
  void Clear() { *this = TLatencyHistogram(); }

  uint64_t Count() const { return Total; }
  uint64_t Max() const { return MaxValue; }
  uint64_t Min() const { return Total ? MinValue : 0; }
  double Mean() const { return Total ? double(Sum) / double(Total) : 0.0; }
  // The value at or below which a fraction q (0..1) of the samples lie: the
  // upper end of the bucket holding the sample of rank ceil(q * count),
  // never above the maximum. 0 without samples.
  uint64_t Percentile(double q) const;

  static size_t BucketOf(uint64_t valueUs);
  // The largest value that falls into the bucket.
  static uint64_t BucketUpper(size_t bucket);

 private:
  std::array<uint64_t, BucketCount> Buckets{};
  uint64_t Total = 0;
  uint64_t Sum = 0;
  uint64_t MaxValue = 0;
  uint64_t MinValue = ~uint64_t(0);
};

// Frames relayed to listeners: each frame sent by a speaker is expected once
// at every other player of its channel that was logged in when it was sent.
struct TLossAccount {
  uint64_t FramesSent = 0;
  uint64_t Expected = 0;
  uint64_t Received = 0;
  uint64_t Foreign = 0;  // relayed frames that carry no payload of this run

  void Sent(uint32_t listeners) {
    ++FramesSent;
    Expected += listeners;
  }
  // Expected frames that never arrived (0 when more arrived than expected).
  uint64_t Lost() const { return Received >= Expected ? 0 : Expected - Received; }
  // Arrivals beyond the expected count (duplicates, or frames of an earlier run).
  uint64_t Surplus() const { return Received > Expected ? Received - Expected : 0; }
  double LossPercent() const { return Expected ? 100.0 * double(Lost()) / double(Expected) : 0.0; }
  void Merge(const TLossAccount& other) {
    FramesSent += other.FramesSent;
    Expected += other.Expected;
    Received += other.Received;
    Foreign += other.Foreign;
  }
};

}  // namespace vx::load
