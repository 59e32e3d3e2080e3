#include "transport/FIFOList.h"

#include <string>

namespace vx::fifolist_detail {

void CheckArguments(int32_t startItems, int32_t growBy, int32_t maxItems) {
  if (maxItems < startItems) throw EFIFOList("StartItems if more than MaxItems");
  if (maxItems > 100000)
    throw EFIFOList(std::to_string(maxItems) +
                    " Items is to much. A FifoList can contain 100.000 items");
  if (growBy > 10000)
    throw EFIFOList(std::to_string(growBy) +
                    " Items is to much. A FifoList can grow with 10.000 items at a time max");
  if (startItems < 0 || growBy < 0 || maxItems < 0)
    throw EFIFOList("Negative parameter is not allowed");
}

void RaiseOutOfMemory() {
  throw EFIFOList("Can't allocate needed memory");
}

}  // namespace vx::fifolist_detail
