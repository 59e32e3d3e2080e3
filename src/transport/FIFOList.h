// TFIFOList: the bounded, growable first-in first-out ring queue that the
// connection buffers use for every queue. It owns its items.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "common/Exceptions.h"

namespace vx {

class EFIFOList : public Exception {
 public:
  using Exception::Exception;
};

namespace fifolist_detail {
// Raises EFIFOList with the fixed text for bad constructor arguments.
void CheckArguments(int32_t startItems, int32_t growBy, int32_t maxItems);
[[noreturn]] void RaiseOutOfMemory();
}  // namespace fifolist_detail

// A ring of owned items. Create checks its arguments and allocates
// StartItems slots; a full ring grows by GrowBy slots up to MaxItems, and an
// Add beyond MaxItems raises "Can't allocate needed memory". Destroying the
// list destroys every item still queued.
template <class T>
class TFIFOList {
 public:
  using TItem = std::unique_ptr<T>;

  TFIFOList(int32_t startItems, int32_t growBy, int32_t maxItems)
      : GrowBy(growBy), MaxItems(maxItems) {
    fifolist_detail::CheckArguments(startItems, growBy, maxItems);
    Items = Allocate(startItems);
    Slots = startItems;
  }
  TFIFOList(const TFIFOList&) = delete;
  TFIFOList& operator=(const TFIFOList&) = delete;

  // Appends an item; a null item is ignored. When the ring cannot take it,
  // the item is destroyed and EFIFOList is raised.
  void Add(TItem item) {
    if (!item) return;
    if (Used == Slots) Grow();
    Items[WriteIndex] = std::move(item);
    ++Used;
    if (++WriteIndex == Slots) WriteIndex = 0;
  }

  // Removes and returns the oldest item, or null when the list is empty.
  TItem Get() {
    if (Used == 0) return nullptr;
    TItem item = std::move(Items[ReadIndex]);
    if (++ReadIndex == Slots) ReadIndex = 0;
    --Used;
    return item;
  }

  int32_t Count() const { return Used; }
  // Asks the processor to fetch the slot the next Add writes.
  void PrefetchSlot() const { __builtin_prefetch(&Items[WriteIndex], 1); }
  int32_t Capacity() const { return Slots; }
  // True when the next Add would raise.
  bool Full() const { return Used == Slots && (Slots >= MaxItems || GrowBy <= 0); }

 private:
  static std::unique_ptr<TItem[]> Allocate(int32_t slots) {
    try {
      return std::make_unique<TItem[]>(size_t(slots));
    } catch (const std::bad_alloc&) {
      fifolist_detail::RaiseOutOfMemory();
    }
  }

  // The ring is full: copy the items oldest first into a larger array.
  void Grow() {
    if (Slots >= MaxItems) fifolist_detail::RaiseOutOfMemory();
    const int32_t newSlots = int32_t(std::min<int64_t>(int64_t(Slots) + GrowBy, MaxItems));
    if (newSlots <= Slots) fifolist_detail::RaiseOutOfMemory();  // GrowBy 0
    std::unique_ptr<TItem[]> bigger = Allocate(newSlots);
    int32_t to = 0;
    for (int32_t i = WriteIndex; i < Slots; ++i) bigger[to++] = std::move(Items[i]);
    for (int32_t i = 0; i < WriteIndex; ++i) bigger[to++] = std::move(Items[i]);
    ReadIndex = 0;
    WriteIndex = Slots;
    Items = std::move(bigger);
    Slots = newSlots;
  }

  std::unique_ptr<TItem[]> Items;
  int32_t Slots = 0;  // Capacity
  int32_t GrowBy;
  int32_t MaxItems;
  int32_t Used = 0;  // Count
  int32_t WriteIndex = 0;
  int32_t ReadIndex = 0;
};

}  // namespace vx
