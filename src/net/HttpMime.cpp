#include "net/HttpMime.h"

#include <fstream>

#include "common/TextTools.h"
#include "net/HttpEncoding.h"

namespace vx {

namespace {

constexpr std::pair<const char*, const char*> BuiltInTypes[] = {
    {".htm", "text/html"},
    {".html", "text/html"},
    {".css", "text/css"},
    {".txt", "text/plain"},
    {".xml", "text/xml"},
    {".js", "text/javascript"},
    {".json", "application/json"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".png", "image/png"},
    {".bmp", "image/bmp"},
    {".ico", "image/x-icon"},
    {".svg", "image/svg+xml"},
    {".webp", "image/webp"},
    {".woff", "font/woff"},
    {".woff2", "font/woff2"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".gz", "application/gzip"},
    {".wav", "audio/wav"},
    {".mp3", "audio/mpeg"},
    {".ogg", "audio/ogg"},
    {".exe", "application/octet-stream"},
    {".bin", "application/octet-stream"},
};

bool IsTypeChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b > 0x20 && b < 0x7F;
}

}  // namespace

THTTPMIMETable::THTTPMIMETable() {
  for (const auto& [ext, type] : BuiltInTypes) Types.emplace(ext, type);
}

void THTTPMIMETable::Add(std::string_view extension, std::string_view type, bool replace) {
  if (extension.empty() || type.empty()) return;
  std::string key = LowerCaseAscii(extension);
  if (key[0] != '.') key.insert(key.begin(), '.');
  if (replace) {
    Types[key] = std::string(type);
  } else {
    Types.emplace(std::move(key), std::string(type));
  }
}

void THTTPMIMETable::LoadTypesFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::string line;
  size_t total = 0;
  while (total < MaxFileBytes && std::getline(in, line)) {
    total += line.size() + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    // Fields are separated by blanks or tabs: the type, then its extensions.
    std::string_view rest = line;
    std::string_view type;
    while (!rest.empty()) {
      size_t i = 0;
      while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t' || rest[i] == '\r')) ++i;
      rest.remove_prefix(i);
      size_t j = 0;
      while (j < rest.size() && IsTypeChar(rest[j])) ++j;
      if (j == 0) {
        if (!rest.empty()) rest.remove_prefix(1);  // a control byte: skip it
        continue;
      }
      const std::string_view field = rest.substr(0, j);
      rest.remove_prefix(j);
      if (type.empty()) {
        if (field.find('/') == std::string_view::npos || field.size() > 127) break;
        type = field;
      } else if (field.size() <= 32) {
        Add(field, type, false);
      }
    }
  }
}

void THTTPMIMETable::LoadPlatformTypes() {
  LoadTypesFile("/etc/mime.types");
  LoadTypesFile("/etc/htdig/mime.types");
  LoadTypesFile("/etc/usr/share/webmin/mime.types");
}

std::string THTTPMIMETable::GetFileMIMEType(std::string_view fileName) const {
  const size_t slash = fileName.find_last_of('/');
  const std::string_view base =
      slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string_view::npos) {
    const auto it = Types.find(LowerCaseAscii(base.substr(dot)));
    if (it != Types.end()) return it->second;
  }
  return "application/octet-stream";
}

}  // namespace vx
