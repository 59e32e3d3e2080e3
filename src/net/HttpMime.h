// File-extension to MIME type table: a built-in set, extended from the
// platform's mime.types files where they exist.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace vx {

class THTTPMIMETable {
 public:
  // Fills the built-in table.
  THTTPMIMETable();

  // Adds the types of a mime.types file ("type ext1 ext2 ..." per line, "#"
  // comments). Extensions already known keep their type. A missing or
  // unreadable file adds nothing; only the first MaxFileBytes are read.
  void LoadTypesFile(const std::string& path);
  // Loads "/etc/mime.types", "/etc/htdig/mime.types" and
  // "/etc/usr/share/webmin/mime.types", where present.
  void LoadPlatformTypes();

  // extension with or without the leading dot, any case.
  void Add(std::string_view extension, std::string_view type, bool replace);
  // The type for the file name's extension; "application/octet-stream" when
  // the extension is unknown or missing.
  std::string GetFileMIMEType(std::string_view fileName) const;
  size_t Count() const { return Types.size(); }

  static constexpr size_t MaxFileBytes = 4 * 1024 * 1024;

 private:
  std::unordered_map<std::string, std::string> Types;  // ".ext" lower case -> type
};

}  // namespace vx
