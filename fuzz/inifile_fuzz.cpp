// Loads arbitrary bytes as a configuration file. The saved text must load
// again to the same text and the same values; values written afterwards must
// read back, also after another save and load.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/TextTools.h"
#include "host/IniFile.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Every value of a must read the same in b.
void CheckSameValues(const vx::TIniFile& a, const vx::TIniFile& b) {
  Check(a.ReadSections() == b.ReadSections());
  for (const auto& section : a.ReadSections()) {
    Check(a.ReadSection(section) == b.ReadSection(section));
    for (const auto& key : a.ReadSection(section)) {
      Check(a.ReadString(section, key, "\x01") == b.ReadString(section, key, "\x02"));
      Check(a.ReadInteger(section, key, 7) == b.ReadInteger(section, key, 7));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  vx::TIniFile first("");
  if (!first.LoadFromText(input)) return 0;
  const std::string text = first.ToText();

  vx::TIniFile second("");
  Check(second.LoadFromText(text));
  Check(second.ToText() == text);
  CheckSameValues(first, second);

  // Write values taken from the input under sections taken from the input.
  const size_t cut = size / 2;
  const std::string_view section = input.substr(0, std::min<size_t>(cut, 40));
  const std::string_view value = input.substr(cut);
  second.WriteString(section, "Fuzz Key", value);
  second.WriteInteger(section, "fuzz number", static_cast<int64_t>(size) - 1000);
  std::string expected(value);
  for (char& c : expected) c = (c == '\r' || c == '\n') ? ' ' : c;
  Check(second.ReadString(section, "FUZZ KEY", "") == expected);
  Check(second.ReadInteger(vx::UpperCaseAscii(section), "Fuzz Number", 0) ==
        static_cast<int32_t>(size) - 1000);

  // Remove the first key of every other section and the last section.
  const auto sections = second.ReadSections();
  for (size_t i = 0; i < sections.size(); i += 2) {
    const auto keys = second.ReadSection(sections[i]);
    if (!keys.empty()) {
      second.DeleteKey(sections[i], keys.front());
      Check(!second.ValueExists(sections[i], keys.front()));
    }
  }
  if (!sections.empty()) {
    second.EraseSection(sections.back());
    Check(!second.SectionExists(sections.back()));
  }

  vx::TIniFile third("");
  Check(third.LoadFromText(second.ToText()));
  Check(third.ToText() == second.ToText());
  CheckSameValues(second, third);
  return 0;
}
