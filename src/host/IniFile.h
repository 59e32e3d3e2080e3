// The configuration file: an INI text file held in memory.
//
// Sections and keys keep the order in which they were first read or created,
// names are matched without regard to ASCII case, and keys, comments and
// blank lines that the server does not know survive a save. Saving writes a
// temporary file in the same folder, syncs it and renames it over the old one
// (WriteFileAtomically: a symbolic link is followed, the mode kept).
// All methods may be called from several threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

class TIniFile {
 public:
  // Files larger than this, or with more lines than this, are not read.
  static constexpr size_t MaxFileSize = 16u * 1024u * 1024u;
  static constexpr size_t MaxLineCount = 1u << 20;

  explicit TIniFile(std::string fileName);
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return IniFileName; }

  // Reads the file into memory. A missing file is fine (empty, true) as long
  // as its folder exists; false when the file or its folder cannot be read
  // (then the object is empty).
  bool Load();
  // Parses text as if it were the file's content (used by Load and the fuzzer).
  bool LoadFromText(std::string_view text);
  // Writes the whole file: temporary file, fsync, rename. False on any
  // failure; the old file is then untouched.
  bool Save();
  // The text Save writes.
  std::string ToText() const;

  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // Decimal, surrounding blanks allowed, optional '+' or '-'; anything else,
  // and values outside the int32 range, read as the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // Read as an integer; non-zero is true.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Line breaks cannot be stored in the format: CR and LF in names and values
  // are written as blanks. Names are trimmed. A key that could not be read
  // back (empty, holding '=', or starting with ';', '#' or '[') is not written.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int64_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);  // "1" / "0"

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::vector<std::string> ReadSections() const;                         // section names in order
  std::vector<std::string> ReadSection(std::string_view section) const;  // key names in order
  void EraseSection(std::string_view section);
  void DeleteKey(std::string_view section, std::string_view key);
  void Clear();

  // Parses a decimal int32 as ReadInteger does; false when it is not one.
  static bool ParseInteger(std::string_view text, int32_t& value);

 private:
  struct TPair {
    std::string Key;
    std::string Value;
    std::vector<std::string> Leading;  // comment and other lines just above the key
  };
  struct TSection {
    std::string Name;
    std::vector<TPair> Pairs;
    std::vector<std::string> Trailing;              // lines after the last key
    std::unordered_map<std::string, size_t> Index;  // upper-case key -> first pair
    void Reindex();
  };
  struct TContent {
    std::vector<std::string> Preamble;  // lines before the first section
    std::vector<TSection> Sections;
    std::unordered_map<std::string, size_t> Index;  // upper-case name -> section
  };

  static bool Parse(std::string_view text, TContent& content);
  static std::string Render(const TContent& content);
  const TSection* FindSection(std::string_view section) const VX_REQUIRES(Lock);
  TSection* FindSection(std::string_view section) VX_REQUIRES(Lock);
  const TPair* FindPair(std::string_view section, std::string_view key) const VX_REQUIRES(Lock);

  const std::string IniFileName;
  mutable TMutex Lock;
  // One save at a time, so that the newest content lands last.
  TMutex SaveLock VX_ACQUIRED_BEFORE(Lock);
  TContent Content VX_GUARDED_BY(Lock);
};

}  // namespace vx
