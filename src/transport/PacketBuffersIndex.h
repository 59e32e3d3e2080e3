// The index structures under TCustomPacketBuffer that keep the cost of one
// packet independent of the number of connections: a hierarchical bit set
// over list positions (slots) that finds the next marked slot at or after a
// position in a few word operations, and a binary min-heap of connections by
// a time key that each connection can be found in through its stored index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vx {

// A set of slot numbers in [0, Capacity). Level 0 holds one bit per slot;
// bit w of level k+1 is set when word w of level k is not zero.
class TSlotBitSet {
 public:
  static constexpr size_t npos = ~size_t(0);

  // Sets the capacity; every bit is cleared.
  void Reset(size_t capacity) {
    Levels.clear();
    Bits = capacity;
    size_t n = capacity;
    do {
      const size_t words = (n + 63) / 64;
      Levels.emplace_back(words, 0);
      n = words;
    } while (n > 1);
  }
  size_t Capacity() const { return Bits; }

  bool Test(size_t i) const { return (Levels[0][i >> 6] >> (i & 63)) & 1; }

  void Set(size_t i) {
    for (auto& level : Levels) {
      uint64_t& word = level[i >> 6];
      const bool wasEmpty = word == 0;
      word |= uint64_t(1) << (i & 63);
      if (!wasEmpty) return;
      i >>= 6;
    }
  }

  void Clear(size_t i) {
    for (auto& level : Levels) {
      uint64_t& word = level[i >> 6];
      word &= ~(uint64_t(1) << (i & 63));
      if (word != 0) return;
      i >>= 6;
    }
  }

  void Assign(size_t i, bool value) {
    if (value)
      Set(i);
    else
      Clear(i);
  }

  // The smallest set slot >= i, or npos.
  size_t FindNext(size_t i) const {
    size_t k = 0;
    for (;;) {
      if (k == Levels.size()) return npos;
      const size_t w = i >> 6;
      if (w >= Levels[k].size()) return npos;
      const uint64_t bits = Levels[k][w] & (~uint64_t(0) << (i & 63));
      if (bits) {
        i = (w << 6) | size_t(__builtin_ctzll(bits));
        break;
      }
      i = w + 1;
      ++k;
    }
    while (k > 0) {
      --k;
      i = (i << 6) | size_t(__builtin_ctzll(Levels[k][i]));
    }
    return i;
  }

  // The first set slot after `after` in circular order (wrapping to the
  // start, `after` itself coming last), or npos when the set is empty.
  // after == npos means "before the first slot".
  size_t FindNextCircular(size_t after) const {
    const size_t start = after == npos ? 0 : after + 1;
    const size_t found = FindNext(start);
    return found != npos || start == 0 ? found : FindNext(0);
  }

 private:
  std::vector<std::vector<uint64_t>> Levels;
  size_t Bits = 0;
};

// A min-heap of connections by a key (a time in milliseconds). Each
// connection stores its position in the heap in the member Index (-1 when
// absent), so that it can be moved or removed in O(log n) without a search.
// Reserve keeps Push free of allocations.
template <class TConn, int32_t TConn::*Index>
class TConnectionHeap {
 public:
  struct TEntry {
    double Key;
    TConn* Conn;
  };

  // Makes room for n entries (growing geometrically).
  void Reserve(size_t n) {
    if (n > Heap.capacity()) Heap.reserve(n > 2 * Heap.capacity() ? n : 2 * Heap.capacity());
  }
  bool Empty() const { return Heap.empty(); }
  size_t Size() const { return Heap.size(); }
  const TEntry& Top() const { return Heap.front(); }
  static bool Contains(const TConn& c) { return c.*Index >= 0; }
  double KeyOf(const TConn& c) const { return Heap[size_t(c.*Index)].Key; }

  void Push(TConn* c, double key) {
    Heap.push_back({key, c});
    c->*Index = int32_t(Heap.size() - 1);
    SiftUp(Heap.size() - 1);
  }

  void Update(TConn* c, double key) {
    const size_t i = size_t(c->*Index);
    const double old = Heap[i].Key;
    Heap[i].Key = key;
    if (key < old)
      SiftUp(i);
    else
      SiftDown(i);
  }

  void Erase(TConn* c) {
    const size_t i = size_t(c->*Index);
    c->*Index = -1;
    const size_t last = Heap.size() - 1;
    if (i != last) {
      const double old = Heap[i].Key;
      Place(i, Heap[last]);
      Heap.pop_back();
      if (Heap[i].Key < old)
        SiftUp(i);
      else
        SiftDown(i);
    } else {
      Heap.pop_back();
    }
  }

  void Pop() { Erase(Heap.front().Conn); }

  // Calls f(entry) for every entry whose key is at most bound (the heap must
  // not change meanwhile). Costs O(number of such entries).
  template <class F>
  void VisitUpTo(double bound, F f) const {
    VisitFrom(0, bound, f);
  }

  // Gives every entry a new key and restores the heap order (after a clock
  // jump).
  template <class F>
  void RekeyAll(F keyOf) {
    for (auto& e : Heap) e.Key = keyOf(*e.Conn);
    for (size_t i = Heap.size() / 2; i-- > 0;) SiftDown(i);
  }

 private:
  template <class F>
  void VisitFrom(size_t i, double bound, F& f) const {
    if (i >= Heap.size() || Heap[i].Key > bound) return;
    f(Heap[i]);
    VisitFrom(2 * i + 1, bound, f);
    VisitFrom(2 * i + 2, bound, f);
  }
  void Place(size_t i, const TEntry& e) {
    Heap[i] = e;
    e.Conn->*Index = int32_t(i);
  }
  void SiftUp(size_t i) {
    const TEntry e = Heap[i];
    while (i > 0) {
      const size_t parent = (i - 1) / 2;
      if (!(e.Key < Heap[parent].Key)) break;
      Place(i, Heap[parent]);
      i = parent;
    }
    Place(i, e);
  }
  void SiftDown(size_t i) {
    const TEntry e = Heap[i];
    const size_t n = Heap.size();
    for (;;) {
      size_t child = 2 * i + 1;
      if (child >= n) break;
      if (child + 1 < n && Heap[child + 1].Key < Heap[child].Key) ++child;
      if (!(Heap[child].Key < e.Key)) break;
      Place(i, Heap[child]);
      i = child;
    }
    Place(i, e);
  }

  std::vector<TEntry> Heap;
};

}  // namespace vx
