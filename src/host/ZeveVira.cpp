#include "host/ZeveVira.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "common/ByteOrder.h"
#include "common/TextTools.h"
#include "host/FileTools.h"
#include "host/TimeTools.h"
#include "host/zevevira_writer_u.h"

namespace vx {

namespace {

static_assert(std::numeric_limits<long double>::digits == 64 &&
                  std::numeric_limits<long double>::max_exponent == 16384 &&
                  sizeof(long double) >= 10,
              "float values are held as x87 80-bit extended numbers");

constexpr uint8_t Signature[4] = {'R', 'R', 'F', 'B'};
constexpr size_t NameOffset = 26;
constexpr size_t NameField = 32;
constexpr size_t MaxNameLength = NameField - 1;
constexpr size_t RootFlagsOffset = 58;
constexpr char NewDatabaseName[] = "unbenannt";
// Keys with more children than this get a name index.
constexpr size_t IndexThreshold = 16;

std::unique_ptr<TFBEntry> MakeEntry(uint8_t entryType) {
  switch (entryType) {
    case FBT_NODE:
      return std::make_unique<TFBNode>();
    case FBT_INTEGER:
      return std::make_unique<TFBInteger>();
    case FBT_STRING:
      return std::make_unique<TFBString>();
    case FBT_BINARY:
      return std::make_unique<TFBBinary>();
    case FBT_FLOAT:
      return std::make_unique<TFBFloat>();
    case FBT_WIDESTRING:
      return std::make_unique<TFBWideString>();
    default:
      return nullptr;
  }
}

// Reads a length field and checks that that many bytes are left; a length of
// 0 or less is an empty value.
bool ReadLength(TByteReader& reader, size_t& length) {
  int32_t value;
  if (!reader.I32(value)) return false;
  length = value > 0 ? size_t(value) : 0;
  return length <= reader.Remaining();
}

// Reads the whole file: 0, 3 (cannot be read) or 5 (too large to be ours).
int ReadWholeFile(const std::string& fileName, std::vector<uint8_t>& out) {
  // Non-blocking so that a FIFO in place of the file cannot hang the open.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 3;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return 3;
  }
  if (uint64_t(st.st_size) > TZeveVira::MaxFileSize) {
    ::close(fd);
    return 5;
  }
  out.clear();
  out.resize(size_t(st.st_size) + 1);  // one spare byte notices a file that grew
  size_t used = 0;
  int result = 0;
  for (;;) {
    if (used == out.size()) {
      if (out.size() > TZeveVira::MaxFileSize) {
        result = 5;
        break;
      }
      out.resize(std::min(out.size() * 2, TZeveVira::MaxFileSize + 1));
    }
    const ssize_t got = ::read(fd, out.data() + used, out.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result = 3;
      break;
    }
    if (got == 0) break;
    used += size_t(got);
  }
  ::close(fd);
  out.resize(used);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entries

long double TFBFloat::Value() const {
  long double value = 0;
  std::memcpy(&value, Raw.data(), Raw.size());
  return value;
}

void TFBFloat::SetValue(long double value) {
  std::memcpy(Raw.data(), &value, Raw.size());
}

// Index of a key's children by type and case-folded name. Each slot names the
// first matching child in stored order and counts the matches, so that
// deleting one of several same-named children of one type is still right.
struct TFBKey::TNameIndex {
  struct TView {
    uint8_t Type;
    std::string_view Name;
  };
  struct THash {
    using is_transparent = void;
    static size_t Of(uint8_t type, std::string_view name) {
      uint64_t h = 1469598103934665603ull ^ type;
      h *= 1099511628211ull;
      for (char c : name) {
        h ^= uint8_t(LowerAscii(c));
        h *= 1099511628211ull;
      }
      return size_t(h);
    }
    size_t operator()(const std::string& key) const {
      return Of(uint8_t(key[0]), std::string_view(key).substr(1));
    }
    size_t operator()(const TView& view) const { return Of(view.Type, view.Name); }
  };
  struct TEqual {
    using is_transparent = void;
    bool operator()(const std::string& a, const std::string& b) const { return a == b; }
    bool operator()(const TView& v, const std::string& key) const {
      return key.size() == v.Name.size() + 1 && uint8_t(key[0]) == v.Type &&
             SameTextAscii(v.Name, std::string_view(key).substr(1));
    }
    bool operator()(const std::string& key, const TView& v) const { return (*this)(v, key); }
  };
  struct TSlot {
    TFBEntry* First;
    size_t Count;
  };

  std::unordered_map<std::string, TSlot, THash, TEqual> Map;

  void Add(TFBEntry* entry) {
    std::string key(1, char(entry->EntryType));
    key.reserve(entry->Name.size() + 1);
    for (char c : entry->Name) key.push_back(LowerAscii(c));
    auto [it, inserted] = Map.try_emplace(std::move(key), TSlot{entry, 1});
    if (!inserted) ++it->second.Count;
  }

  TFBEntry* Find(std::string_view name, uint8_t entryType) const {
    const auto it = Map.find(TView{entryType, name});
    return it == Map.end() ? nullptr : it->second.First;
  }

  // Called while the entry is still linked. False when the index does not
  // match the children (it is then dropped and rebuilt when next needed).
  bool Remove(TFBEntry* entry) {
    const auto it = Map.find(TView{entry->EntryType, entry->Name});
    if (it == Map.end()) return false;
    TSlot& slot = it->second;
    if (slot.Count <= 1) {
      if (slot.First != entry) return false;
      Map.erase(it);
      return true;
    }
    if (slot.First == entry) {
      TFBEntry* next = entry->Next;
      while (next &&
             !(next->EntryType == entry->EntryType && SameTextAscii(next->Name, entry->Name))) {
        next = next->Next;
      }
      if (!next) return false;
      slot.First = next;
    }
    --slot.Count;
    return true;
  }
};

TFBEntry::~TFBEntry() {
  if (Parent) Parent->Unlink(this);
}

TFBKey::TFBKey(uint8_t entryType) : TFBEntry(entryType) {}

TFBKey::~TFBKey() {
  // Destroys the subtree without recursion: the children of every key met
  // are spliced into the chain being destroyed, right behind the key.
  TFBEntry* entry = FirstChild;
  FirstChild = Last = nullptr;
  Count = 0;
  Index.reset();
  while (entry) {
    TFBEntry* next = entry->Next;
    if (entry->IsKey()) {
      auto* key = static_cast<TFBKey*>(entry);
      if (key->FirstChild) {
        key->Last->Next = next;
        next = key->FirstChild;
      }
      key->FirstChild = key->Last = nullptr;
      key->Count = 0;
      key->Index.reset();
    }
    entry->Parent = nullptr;  // the whole chain goes; no unlinking one by one
    delete entry;
    entry = next;
  }
}

TFBEntry* TFBKey::AddChild(uint8_t entryType, std::string_view name) {
  std::unique_ptr<TFBEntry> owned = MakeEntry(entryType);
  if (!owned) return nullptr;
  owned->Name.assign(name);
  TFBEntry* entry = owned.release();  // from here the key owns it
  entry->Parent = this;
  if (Last) {
    Last->Next = entry;
    entry->Prev = Last;
  } else {
    FirstChild = entry;
    entry->Prev = this;
  }
  Last = entry;
  ++Count;
  if (Index) {
    try {
      Index->Add(entry);
    } catch (const std::bad_alloc&) {
      Index.reset();  // lookups fall back to the chain
    }
  }
  return entry;
}

TFBEntry* TFBKey::FindChild(std::string_view name, uint8_t entryType) {
  if (!Index && Count > IndexThreshold) {
    try {
      auto index = std::make_unique<TNameIndex>();
      index->Map.reserve(Count);
      for (TFBEntry* e = FirstChild; e; e = e->Next) index->Add(e);
      Index = std::move(index);
    } catch (const std::bad_alloc&) {
      // Lookups fall back to the chain.
    }
  }
  if (Index) return Index->Find(name, entryType);
  for (TFBEntry* e = FirstChild; e; e = e->Next) {
    if (e->EntryType == entryType && SameTextAscii(e->Name, name)) return e;
  }
  return nullptr;
}

void TFBKey::Unlink(TFBEntry* child) {
  if (Index && !Index->Remove(child)) Index.reset();
  TFBEntry* next = child->Next;
  if (FirstChild == child) {
    FirstChild = next;
    if (next) next->Prev = this;
    if (Last == child) Last = nullptr;
  } else {
    TFBEntry* prev = child->Prev;
    prev->Next = next;
    if (next) next->Prev = prev;
    if (Last == child) Last = prev;
  }
  --Count;
  child->Prev = child->Next = nullptr;
  child->Parent = nullptr;
}

// ---------------------------------------------------------------------------
// File image

std::unique_ptr<TFBRoot> TZeveVira::ParseImage(std::span<const uint8_t> image, THeader& header) {
  if (image.size() <= 8 || image.size() < HeaderSize) return nullptr;
  if (std::memcmp(image.data(), Signature, 4) != 0) return nullptr;
  if (GetLE16(image.data() + 4) != HeaderSize) return nullptr;
  if (GetLE16(image.data() + 6) > 1) return nullptr;
  std::memcpy(header.data(), image.data(), HeaderSize);

  auto root = std::make_unique<TFBRoot>();
  const char* name = reinterpret_cast<const char*>(header.data() + NameOffset);
  root->Name.assign(name, strnlen(name, NameField));
  root->Flags = GetLE32(header.data() + RootFlagsOffset);

  const std::span<const uint8_t> body = image.subspan(HeaderSize);
  TByteReader reader(body);
  // A length-prefixed block: a name or a value.
  std::span<const uint8_t> block;
  const auto readBlock = [&body, &reader, &block] {
    size_t length;
    if (!ReadLength(reader, length)) return false;
    block = body.subspan(reader.Position(), length);
    reader.Skip(length);
    return true;
  };
  const auto blockText = [&block] {
    return std::string_view(reinterpret_cast<const char*>(block.data()), block.size());
  };
  TFBKey* parent = root.get();
  int depth = 0;
  for (;;) {
    uint8_t entryType;
    if (!reader.U8(entryType)) return nullptr;
    if (entryType == 0) {  // end of the current list
      if (depth == 0) return root;
      parent = parent->Parent;
      --depth;
      continue;
    }
    if (entryType > FBT_WIDESTRING) return nullptr;
    uint32_t flags;
    if (!readBlock() || !reader.U32(flags)) return nullptr;
    TFBEntry* entry = parent->AddChild(entryType, blockText());
    entry->Flags = flags;
    switch (entryType) {
      case FBT_NODE:
        if (depth >= MaxKeyDepth) return nullptr;
        parent = static_cast<TFBNode*>(entry);
        ++depth;
        break;
      case FBT_INTEGER:
        if (!reader.I32(static_cast<TFBInteger*>(entry)->Value)) return nullptr;
        break;
      case FBT_STRING:
        if (!readBlock()) return nullptr;
        static_cast<TFBString*>(entry)->Value.assign(blockText());
        break;
      case FBT_BINARY:
      case FBT_WIDESTRING: {
        if (!readBlock()) return nullptr;
        std::vector<uint8_t>& bytes = entryType == FBT_BINARY
                                          ? static_cast<TFBBinary*>(entry)->Data
                                          : static_cast<TFBWideString*>(entry)->Value;
        bytes.assign(block.begin(), block.end());
        break;
      }
      case FBT_FLOAT:
        if (!reader.Bytes(static_cast<TFBFloat*>(entry)->Raw.data(), 10)) return nullptr;
        break;
    }
  }
}

bool TZeveVira::BuildImage(TFBRoot& root, THeader& header, double saveTime,
                           std::vector<uint8_t>& out) {
  std::string& name = root.Name;
  const size_t zero = name.find('\0');
  if (zero != std::string::npos) name.resize(zero);
  if (name.size() > MaxNameLength) name.resize(MaxNameLength);
  uint8_t* h = header.data();
  std::memcpy(h, Signature, 4);
  PutLE16(h + 4, uint16_t(HeaderSize));
  PutLE16(h + 6, 1);
  PutLE16(h + 8, 0);
  PutLEDouble(h + 18, saveTime);
  std::memcpy(h + NameOffset, name.data(), name.size());
  h[NameOffset + name.size()] = 0;
  PutLE32(h + RootFlagsOffset, root.Flags);
  h[62] = h[63] = 0;

  out.assign(header.begin(), header.end());
  TByteWriter writer(out);
  // Room for a value of that many bytes plus the records still to come.
  const auto fits = [&out](size_t size) {
    return out.size() < MaxFileSize && size < MaxFileSize - out.size();
  };
  const auto putBytes = [&](const void* data, size_t size) {
    if (!fits(size)) return false;
    writer.I32(int32_t(size));
    writer.Bytes(data, size);
    return true;
  };

  // Walks the tree in file order without recursion; a finished list goes on
  // with the next sibling of its key.
  TFBKey* parent = &root;
  TFBEntry* entry = root.FirstChild;
  int depth = 0;
  for (;;) {
    if (!entry) {
      writer.U8(0);
      if (parent == &root) break;
      entry = parent->Next;
      parent = parent->Parent;
      --depth;
      continue;
    }
    writer.U8(entry->EntryType);
    if (!putBytes(entry->Name.data(), entry->Name.size())) return false;
    writer.U32(entry->Flags);
    switch (entry->EntryType) {
      case FBT_NODE:
        // A deeper tree would be written but could never be loaded again.
        if (++depth > MaxKeyDepth) return false;
        parent = static_cast<TFBNode*>(entry);
        entry = parent->FirstChild;
        continue;
      case FBT_INTEGER:
        writer.I32(static_cast<TFBInteger*>(entry)->Value);
        break;
      case FBT_STRING: {
        const std::string& value = static_cast<TFBString*>(entry)->Value;
        if (!putBytes(value.data(), value.size())) return false;
        break;
      }
      case FBT_BINARY:
      case FBT_WIDESTRING: {
        const std::vector<uint8_t>& bytes = entry->EntryType == FBT_BINARY
                                                ? static_cast<TFBBinary*>(entry)->Data
                                                : static_cast<TFBWideString*>(entry)->Value;
        if (!putBytes(bytes.data(), bytes.size())) return false;
        break;
      }
      case FBT_FLOAT:
        writer.Bytes(static_cast<TFBFloat*>(entry)->Raw.data(), 10);
        break;
      default:
        return false;
    }
    if (!fits(0)) return false;
    entry = entry->Next;
  }
  writer.U8(0);  // the extra byte behind the root's list
  return out.size() <= MaxFileSize;
}

// ---------------------------------------------------------------------------
// The database object

TZeveVira::TZeveVira() : SaveWriter(std::make_unique<TZeveViraWriter>(*this)) {}

TZeveVira::~TZeveVira() {
  SaveWriter->Stop();
  TLockGuard guard(Lock);
  if (!Root) return;
  Close();
  try {
    Report(LastErrorValue);
  } catch (...) {
    // A handler's failure cannot leave a destructor.
  }
}

bool TZeveVira::Active() const {
  TLockGuard guard(Lock);
  return Root != nullptr;
}

void TZeveVira::SetActive(bool value) {
  if (!value) SaveWriter->Stop();  // what it holds is saved before the file closes
  int code;
  {
    TLockGuard guard(Lock);
    if (value == (Root != nullptr)) {
      LastErrorValue = 1;
    } else if (value) {
      Open();
    } else {
      Close();
    }
    code = LastErrorValue;
  }
  Report(code);
}

const std::string& TZeveVira::FileName() const {
  TLockGuard guard(Lock);
  return FileNameValue;
}

void TZeveVira::SetFileName(const std::string& fileName) {
  TLockGuard guard(Lock);
  if (!Root) FileNameValue = fileName;
}

TFBOpenFlag TZeveVira::OpenFlag() const {
  TLockGuard guard(Lock);
  return OpenFlagValue;
}

void TZeveVira::SetOpenFlag(TFBOpenFlag flag) {
  TLockGuard guard(Lock);
  if (!Root) OpenFlagValue = flag;
}

int64_t TZeveVira::CurrentFileSize() const {
  TLockGuard guard(Lock);
  return FileSize;
}

int TZeveVira::LastError() const {
  TLockGuard guard(Lock);
  return LastErrorValue;
}

std::string TZeveVira::LastErrorText() const {
  TLockGuard guard(Lock);
  return ErrorText;
}

void TZeveVira::Report(int errorCode) {
  if (errorCode != 0 && OnError) OnError(*this, errorCode);
}

void TZeveVira::Open() {
  LastErrorValue = 0;
  FileSize = 0;
  if (FileNameValue.empty()) {
    LastErrorValue = 2;
    return;
  }
  struct stat st;
  // Anything but "no such file" means there is something we must read.
  const bool exists = ::stat(FileNameValue.c_str(), &st) == 0 || errno != ENOENT;
  if (!exists && OpenFlagValue == TFBOpenFlag::CreateNotExists) {
    const int fd = ::open(FileNameValue.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      LastErrorValue = 3;
      return;
    }
    ::close(fd);
  }
  if (!exists) {
    const double now = TDateTime::Now().Value;
    Header.fill(0);
    std::memcpy(Header.data(), Signature, 4);
    PutLE16(Header.data() + 4, uint16_t(HeaderSize));
    PutLE16(Header.data() + 6, 1);
    PutLEDouble(Header.data() + 10, now);
    PutLEDouble(Header.data() + 18, now);
    std::memcpy(Header.data() + NameOffset, NewDatabaseName, sizeof NewDatabaseName);
    Root = std::make_unique<TFBRoot>();
    Root->Name = NewDatabaseName;
    return;
  }
  try {
    std::vector<uint8_t> image;
    LastErrorValue = ReadWholeFile(FileNameValue, image);
    if (LastErrorValue != 0) return;
    THeader header;
    std::unique_ptr<TFBRoot> root = ParseImage(image, header);
    if (!root) {
      LastErrorValue = 5;
      return;
    }
    Header = header;
    Root = std::move(root);
    FileSize = int64_t(image.size());
  } catch (const std::bad_alloc&) {
    LastErrorValue = 5;  // too large for this machine to hold
  }
}

int TZeveVira::BuildImageLocked(TImage& image, std::string& reason) {
  if (!Root) {
    reason = "the database is closed";
    return 6;
  }
  if (OpenFlagValue == TFBOpenFlag::ReadOnly) {
    reason = "the database is open for reading only";
    return 4;
  }
  try {
    if (!BuildImage(*Root, Header, TDateTime::Now().Value, image.Bytes)) {
      reason = "the database is too large for its file";
      return 4;
    }
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
    return 4;
  }
  image.FileName = FileNameValue;
  image.Generation = ++ImageGeneration;
  return 0;
}

bool TZeveVira::WriteImageFile(const TImage& image, std::string& reason) {
  TLockGuard guard(WriteLock);
  if (image.Generation <= WrittenGeneration) return true;  // a newer image is on disk
  if (!WriteFileAtomically(image.FileName, image.Bytes, reason)) return false;
  WrittenGeneration = image.Generation;
  return true;
}

bool TZeveVira::TakeImage(TImage& image, std::string& reason) {
  int code;
  {
    TLockGuard guard(Lock);
    code = BuildImageLocked(image, reason);
    if (code != 0) {
      LastErrorValue = code;
      ErrorText = reason;
    }
  }
  Report(code);
  return code == 0;
}

bool TZeveVira::WriteImage(const TImage& image, std::string& reason) {
  const bool written = WriteImageFile(image, reason);
  int code;
  {
    TLockGuard guard(Lock);
    code = written ? 0 : 4;
    LastErrorValue = code;
    ErrorText = written ? std::string() : reason;
    if (written && Root) FileSize = int64_t(image.Bytes.size());
  }
  Report(code);
  return written;
}

void TZeveVira::Close() {
  TImage image;
  std::string reason;
  const bool saved = BuildImageLocked(image, reason) == 0 && WriteImageFile(image, reason);
  LastErrorValue = saved ? 0 : 4;
  ErrorText = saved ? std::string() : reason;
  Root.reset();  // the tree goes whether or not it was saved
  FileSize = 0;
}

bool TZeveVira::Flush() {
  // The lock is held throughout, so that nothing changes between the image
  // and the file.
  TLockGuard guard(Lock);
  TImage image;
  std::string reason;
  return TakeImage(image, reason) && WriteImage(image, reason);
}

TFBEntry* TZeveVira::FindEntry(std::string_view path, uint8_t entryType, bool create) {
  TLockGuard guard(Lock);
  if (!Root || entryType < FBT_NODE || entryType > FBT_WIDESTRING) return nullptr;
  if (path.empty() || path.back() == '\\') return nullptr;
  std::array<std::string_view, MaxKeyDepth + 1> parts;
  size_t count = 0;
  for (size_t i = 0; i < path.size();) {
    if (path[i] == '\\') {
      ++i;
      continue;
    }
    size_t end = path.find('\\', i);
    if (end == std::string_view::npos) end = path.size();
    if (count == parts.size()) return nullptr;  // deeper than any entry can be
    parts[count++] = path.substr(i, end - i);
    i = end;
  }
  if (count == 0) return nullptr;
  const size_t keyLevels = count - 1 + (entryType == FBT_NODE ? 1 : 0);
  if (keyLevels > size_t(MaxKeyDepth)) return nullptr;

  TFBKey* key = Root.get();
  for (size_t i = 0; i + 1 < count; ++i) {
    TFBEntry* child = key->FindChild(parts[i], FBT_NODE);
    if (!child) {
      if (!create) return nullptr;
      child = key->AddChild(FBT_NODE, parts[i]);
    }
    key = static_cast<TFBNode*>(child);
  }
  TFBEntry* entry = key->FindChild(parts[count - 1], entryType);
  if (!entry && create) entry = key->AddChild(entryType, parts[count - 1]);
  return entry;
}

TFBEntry* TZeveVira::GetEntry(std::string_view path, uint8_t entryType) {
  TLockGuard guard(Lock);
  if (entryType == FBT_ROOT) return Root.get();
  return FindEntry(path, entryType, false);
}

TFBEntry* TZeveVira::CreateKey(std::string_view path) {
  return FindEntry(path, FBT_NODE, true);
}

int32_t TZeveVira::ReadInteger(std::string_view path, int32_t def) {
  TLockGuard guard(Lock);
  TFBEntry* entry = FindEntry(path, FBT_INTEGER, false);
  return entry ? static_cast<TFBInteger*>(entry)->Value : def;
}

void TZeveVira::WriteInteger(std::string_view path, int32_t value) {
  TLockGuard guard(Lock);
  if (TFBEntry* entry = FindEntry(path, FBT_INTEGER, true)) {
    static_cast<TFBInteger*>(entry)->Value = value;
  }
}

std::string TZeveVira::ReadString(std::string_view path, const std::string& def) {
  TLockGuard guard(Lock);
  TFBEntry* entry = FindEntry(path, FBT_STRING, false);
  return entry ? static_cast<TFBString*>(entry)->Value : def;
}

void TZeveVira::WriteString(std::string_view path, const std::string& value) {
  TLockGuard guard(Lock);
  if (TFBEntry* entry = FindEntry(path, FBT_STRING, true)) {
    static_cast<TFBString*>(entry)->Value = value;
  }
}

long double TZeveVira::ReadFloat(std::string_view path, long double def) {
  TLockGuard guard(Lock);
  TFBEntry* entry = FindEntry(path, FBT_FLOAT, false);
  return entry ? static_cast<TFBFloat*>(entry)->Value() : def;
}

void TZeveVira::WriteFloat(std::string_view path, long double value) {
  TLockGuard guard(Lock);
  if (TFBEntry* entry = FindEntry(path, FBT_FLOAT, true)) {
    static_cast<TFBFloat*>(entry)->SetValue(value);
  }
}

std::string TZeveVira::DatabaseName() const {
  TLockGuard guard(Lock);
  return Root ? Root->Name : std::string();
}

void TZeveVira::SetDatabaseName(const std::string& name) {
  TLockGuard guard(Lock);
  if (Root) Root->Name = name;  // cut to fit the header at the next save
}

void TZeveVira::DeleteEntry(TFBEntry* entry) {
  TLockGuard guard(Lock);
  if (!entry || !Root || entry == Root.get()) return;
  // Only entries of this tree; the parent chain is at most MaxKeyDepth + 1 long.
  const TFBEntry* top = entry;
  for (int hops = 0; top->Parent; ++hops) {
    if (hops > MaxKeyDepth + 1) return;
    top = top->Parent;
  }
  if (top != Root.get()) return;
  delete entry;  // destroys the subtree and unlinks it from its key
}

}  // namespace vx
