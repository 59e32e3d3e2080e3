#include "host/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <utility>

#include "common/TextTools.h"
#include "host/FileTools.h"

namespace vx {

namespace {

// Names and values are single lines in the file.
std::string OneLine(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return result;
}

std::string NameOf(std::string_view name) {
  return TrimText(OneLine(name));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads at most limit + 1 bytes, so that the caller can tell an oversized file.
bool ReadAll(int fd, size_t limit, std::string& out) {
  out.clear();
  char buffer[65536];
  while (out.size() <= limit) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

// A key that would not read back as the same key: empty, holding '=', or
// making its line a comment or a section header.
bool IsStorableKey(std::string_view key) {
  return !key.empty() && key.find('=') == std::string_view::npos && key.front() != ';' &&
         key.front() != '#' && key.front() != '[';
}

bool IsBlank(std::string_view line) {
  return TrimTextView(line).empty();
}

}  // namespace

void TIniFile::TSection::Reindex() {
  Index.clear();
  for (size_t i = 0; i < Pairs.size(); ++i) Index.emplace(UpperCaseAscii(Pairs[i].Key), i);
}

TIniFile::TIniFile(std::string fileName) : IniFileName(std::move(fileName)) {}

bool TIniFile::Parse(std::string_view text, TContent& content) {
  content = TContent{};
  TSection* current = nullptr;
  std::vector<std::string> pending;  // comments, blanks and odd lines waiting for their place
  auto flushPending = [&]() {
    auto& target = current ? current->Trailing : content.Preamble;
    for (auto& line : pending) target.push_back(std::move(line));
    pending.clear();
  };

  size_t lineCount = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (++lineCount > MaxLineCount) return false;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::string_view trimmed = TrimTextView(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') {
      pending.emplace_back(line);
      continue;
    }
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      flushPending();
      std::string name = NameOf(trimmed.substr(1, trimmed.size() - 2));
      std::string upper = UpperCaseAscii(name);
      auto found = content.Index.find(upper);
      if (found == content.Index.end()) {
        content.Index.emplace(std::move(upper), content.Sections.size());
        content.Sections.push_back(TSection{std::move(name), {}, {}, {}});
        current = &content.Sections.back();
      } else {
        // A section named twice continues where its first part ended.
        current = &content.Sections[found->second];
        pending = std::move(current->Trailing);
        current->Trailing.clear();
      }
      continue;
    }
    const size_t eq = line.find('=');
    std::string key = eq == std::string_view::npos ? std::string() : NameOf(line.substr(0, eq));
    if (current == nullptr || key.empty()) {
      pending.emplace_back(line);  // kept as it is, but not a value
      continue;
    }
    current->Index.emplace(UpperCaseAscii(key), current->Pairs.size());
    current->Pairs.push_back(
        TPair{std::move(key), std::string(line.substr(eq + 1)), std::move(pending)});
    pending.clear();
  }
  flushPending();
  return true;
}

std::string TIniFile::Render(const TContent& content) {
  std::string out;
  bool lastBlank = true;  // no separator before the first line of the file
  auto put = [&](std::string_view line) {
    out.append(line);
    out.push_back('\n');
    lastBlank = IsBlank(line);
  };
  for (const auto& line : content.Preamble) put(line);
  for (const auto& section : content.Sections) {
    if (!lastBlank) put("");
    out.push_back('[');
    put(section.Name + "]");
    for (const auto& pair : section.Pairs) {
      for (const auto& line : pair.Leading) put(line);
      out.append(pair.Key);
      out.push_back('=');
      put(pair.Value);
    }
    for (const auto& line : section.Trailing) put(line);
  }
  return out;
}

bool TIniFile::LoadFromText(std::string_view text) {
  TContent content;
  const bool ok = text.size() <= MaxFileSize && Parse(text, content);
  if (!ok) content = TContent{};
  TLockGuard guard(Lock);
  Content = std::move(content);
  return ok;
}

bool TIniFile::Load() {
  if (IniFileName.empty()) {
    Clear();
    return false;
  }
  const int fd = ::open(IniFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const bool missingFile = errno == ENOENT && IsFolder(FolderOf(IniFileName));
    Clear();
    return missingFile;
  }
  std::string text;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= MaxFileSize && ReadAll(fd, MaxFileSize, text);
  ::close(fd);
  if (!ok) {
    Clear();
    return false;
  }
  return LoadFromText(text);
}

std::string TIniFile::ToText() const {
  TLockGuard guard(Lock);
  return Render(Content);
}

bool TIniFile::Save() {
  if (IniFileName.empty()) return false;
  TLockGuard saveGuard(SaveLock);
  const std::string text = ToText();

  std::string reason;
  return WriteFileAtomically(
      IniFileName, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), reason);
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view section) const {
  auto found = Content.Index.find(UpperCaseAscii(NameOf(section)));
  return found == Content.Index.end() ? nullptr : &Content.Sections[found->second];
}

TIniFile::TSection* TIniFile::FindSection(std::string_view section) {
  return const_cast<TSection*>(static_cast<const TIniFile*>(this)->FindSection(section));
}

const TIniFile::TPair* TIniFile::FindPair(std::string_view section, std::string_view key) const {
  const TSection* s = FindSection(section);
  if (s == nullptr) return nullptr;
  auto found = s->Index.find(UpperCaseAscii(NameOf(key)));
  return found == s->Index.end() ? nullptr : &s->Pairs[found->second];
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
  TLockGuard guard(Lock);
  const TPair* pair = FindPair(section, key);
  return pair ? pair->Value : def;
}

bool TIniFile::ParseInteger(std::string_view text, int32_t& value) {
  std::string_view t = TrimTextView(text);
  if (!t.empty() && t.front() == '+') {
    t.remove_prefix(1);
    if (t.empty() || t.front() < '0' || t.front() > '9') return false;
  }
  if (t.empty()) return false;
  int32_t parsed = 0;
  const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), parsed, 10);
  if (ec != std::errc() || ptr != t.data() + t.size()) return false;
  value = parsed;
  return true;
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  TLockGuard guard(Lock);
  const TPair* pair = FindPair(section, key);
  int32_t value = def;
  if (pair == nullptr || !ParseInteger(pair->Value, value)) return def;
  return value;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::string keyName = NameOf(key);
  if (!IsStorableKey(keyName)) return;
  TLockGuard guard(Lock);
  TSection* s = FindSection(section);
  if (s == nullptr) {
    std::string name = NameOf(section);
    Content.Index.emplace(UpperCaseAscii(name), Content.Sections.size());
    Content.Sections.push_back(TSection{std::move(name), {}, {}, {}});
    s = &Content.Sections.back();
  }
  auto [it, added] = s->Index.emplace(UpperCaseAscii(keyName), s->Pairs.size());
  if (added) {
    s->Pairs.push_back(TPair{std::move(keyName), OneLine(value), {}});
  } else {
    s->Pairs[it->second].Value = OneLine(value);
  }
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(std::string_view section) const {
  TLockGuard guard(Lock);
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  TLockGuard guard(Lock);
  return FindPair(section, key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSections() const {
  TLockGuard guard(Lock);
  std::vector<std::string> names;
  names.reserve(Content.Sections.size());
  for (const auto& s : Content.Sections) names.push_back(s.Name);
  return names;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  TLockGuard guard(Lock);
  std::vector<std::string> keys;
  const TSection* s = FindSection(section);
  if (s == nullptr) return keys;
  for (size_t i = 0; i < s->Pairs.size(); ++i) {
    // A key named twice in the file is listed once, where it first appears.
    if (s->Index.at(UpperCaseAscii(s->Pairs[i].Key)) == i) keys.push_back(s->Pairs[i].Key);
  }
  return keys;
}

void TIniFile::EraseSection(std::string_view section) {
  TLockGuard guard(Lock);
  auto found = Content.Index.find(UpperCaseAscii(NameOf(section)));
  if (found == Content.Index.end()) return;
  Content.Sections.erase(Content.Sections.begin() + static_cast<ptrdiff_t>(found->second));
  Content.Index.clear();
  for (size_t i = 0; i < Content.Sections.size(); ++i) {
    Content.Index.emplace(UpperCaseAscii(Content.Sections[i].Name), i);
  }
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  TLockGuard guard(Lock);
  TSection* s = FindSection(section);
  if (s == nullptr) return;
  const std::string upper = UpperCaseAscii(NameOf(key));
  if (!s->Index.contains(upper)) return;
  // Every pair of that name goes; the comments above them stay in place.
  std::vector<TPair> kept;
  std::vector<std::string> carried;
  for (auto& pair : s->Pairs) {
    if (UpperCaseAscii(pair.Key) == upper) {
      for (auto& line : pair.Leading) carried.push_back(std::move(line));
      continue;
    }
    if (!carried.empty()) {
      pair.Leading.insert(pair.Leading.begin(), std::make_move_iterator(carried.begin()),
                          std::make_move_iterator(carried.end()));
      carried.clear();
    }
    kept.push_back(std::move(pair));
  }
  s->Trailing.insert(s->Trailing.begin(), std::make_move_iterator(carried.begin()),
                     std::make_move_iterator(carried.end()));
  s->Pairs = std::move(kept);
  s->Reindex();
}

void TIniFile::Clear() {
  TLockGuard guard(Lock);
  Content = TContent{};
}

}  // namespace vx
