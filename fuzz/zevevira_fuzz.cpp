// Loads arbitrary bytes as a database file. A file that loads must save to
// bytes that load again and save to the very same bytes, and every entry
// must be found again by its name and type, also after deletions.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/TextTools.h"
#include "host/ZeveVira.h"

namespace {

// Every child must be found as the first child of its type and name.
void CheckLookups(vx::TFBKey& key) {
  for (vx::TFBEntry* e = key.FirstChild; e; e = e->Next) {
    vx::TFBEntry* first = key.FirstChild;
    while (!(first->EntryType == e->EntryType && vx::SameTextAscii(first->Name, e->Name))) {
      first = first->Next;
    }
    if (key.FindChild(e->Name, e->EntryType) != first) std::abort();
    if (e->EntryType == vx::FBT_NODE) CheckLookups(*static_cast<vx::TFBKey*>(e));
  }
}

// Deletes the second, fourth... child of every key.
void DeleteEveryOther(vx::TFBKey& key) {
  for (vx::TFBEntry* e = key.FirstChild; e; e = e->Next) {
    if (e->Next) delete e->Next;
    if (e->EntryType == vx::FBT_NODE) DeleteEveryOther(*static_cast<vx::TFBKey*>(e));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx::TZeveVira::THeader header;
  std::unique_ptr<vx::TFBRoot> root = vx::TZeveVira::ParseImage({data, size}, header);
  if (!root) return 0;
  CheckLookups(*root);

  std::vector<uint8_t> first;
  if (!vx::TZeveVira::BuildImage(*root, header, 1.0, first)) std::abort();
  vx::TZeveVira::THeader header2;
  std::unique_ptr<vx::TFBRoot> again = vx::TZeveVira::ParseImage(first, header2);
  if (!again) std::abort();
  std::vector<uint8_t> second;
  if (!vx::TZeveVira::BuildImage(*again, header2, 1.0, second) || second != first) std::abort();

  // Deleting entries keeps the links and the name index right.
  DeleteEveryOther(*again);
  CheckLookups(*again);
  return 0;
}
