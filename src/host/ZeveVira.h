// The hierarchical key/value database file ("RRFB"): a tree of keys and
// values held in memory while the database is open, read from one file when
// it is opened and written back in full on every flush and on close.
//
// File layout (all integers little-endian, lengths signed 32-bit, a length of
// 0 or less meaning an empty value):
//   header, 64 bytes: "RRFB", header size 64, major 1, minor 0, creation
//   time (double), save time (double), database name (32 bytes,
//   zero-terminated, at most 31 characters), root flags, 2 reserved bytes;
//   then the root's entry list, then one extra zero byte.
//   An entry list is zero or more records ended by a zero byte. A record is:
//   type (1 byte, 1..6), name length + name, flags (4 bytes), value:
//   key = its own entry list, integer = 4 bytes, string / binary / wide
//   string = length + bytes, float = 10 bytes x87 extended precision.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

enum TFBEntryType : uint8_t {
  FBT_ROOT = 0,
  FBT_NODE = 1,
  FBT_INTEGER = 2,
  FBT_STRING = 3,
  FBT_BINARY = 4,
  FBT_FLOAT = 5,
  FBT_WIDESTRING = 6
};

enum class TFBOpenFlag : int { ReadWrite = 0, CreateNotExists = 1, ReadOnly = 2 };

class TFBKey;

// Base of every entry. A key owns its children; an entry is destroyed with
// DeleteEntry (or by deleting it, which does the same without the lock): the
// destructor destroys a key's whole subtree and unlinks the entry from its
// parent. Callers treat Name and the links as read-only: renaming or
// relinking an entry that sits in a tree would bypass the key's name index.
class TFBEntry {
 public:
  virtual ~TFBEntry();
  TFBEntry(const TFBEntry&) = delete;
  TFBEntry& operator=(const TFBEntry&) = delete;

  uint8_t EntryType;
  std::string Name;
  TFBEntry* Prev = nullptr;  // previous sibling; for a first child, the parent key itself
  TFBEntry* Next = nullptr;  // next sibling, or none
  uint32_t Flags = 0;        // carried unchanged; 0 for entries the server creates
  TFBKey* Parent = nullptr;  // the key holding this entry; none for the root or a detached entry

  bool IsKey() const { return EntryType == FBT_ROOT || EntryType == FBT_NODE; }

 protected:
  explicit TFBEntry(uint8_t entryType) : EntryType(entryType) {}
};

// What the root and the keys have in common: an ordered list of children.
// Children keep the order in which they were added (the file order).
class TFBKey : public TFBEntry {
 public:
  ~TFBKey() override;

  TFBEntry* FirstChild = nullptr;

  TFBEntry* LastChild() const { return Last; }
  size_t ChildCount() const { return Count; }
  // Appends a new child of type 1..6 with the given name; none for other codes.
  TFBEntry* AddChild(uint8_t entryType, std::string_view name);
  // The first child (in stored order) of that type whose name matches,
  // comparing ASCII letters without regard to case.
  TFBEntry* FindChild(std::string_view name, uint8_t entryType);

 protected:
  explicit TFBKey(uint8_t entryType);

 private:
  friend class TFBEntry;
  struct TNameIndex;
  void Unlink(TFBEntry* child);
  void IndexRemove(TFBEntry* child);

  TFBEntry* Last = nullptr;
  size_t Count = 0;
  // Built once a key holds many children, so that a lookup among thousands
  // of siblings (accounts, channels) is not a linear scan.
  std::unique_ptr<TNameIndex> Index;
};

class TFBRoot final : public TFBKey {
 public:
  TFBRoot() : TFBKey(FBT_ROOT) {}
};

class TFBNode final : public TFBKey {
 public:
  TFBNode() : TFBKey(FBT_NODE) {}
};

class TFBInteger final : public TFBEntry {
 public:
  TFBInteger() : TFBEntry(FBT_INTEGER) {}
  int32_t Value = 0;
};

class TFBString final : public TFBEntry {
 public:
  TFBString() : TFBEntry(FBT_STRING) {}
  std::string Value;  // bytes, 8-bit characters
};

class TFBBinary final : public TFBEntry {
 public:
  TFBBinary() : TFBEntry(FBT_BINARY) {}
  std::vector<uint8_t> Data;
  int32_t Size() const { return int32_t(Data.size()); }
};

// An 80-bit x87 extended number. The 10 file bytes are kept as they are, so
// that any loaded bit pattern is written back unchanged.
class TFBFloat final : public TFBEntry {
 public:
  TFBFloat() : TFBEntry(FBT_FLOAT) {}
  std::array<uint8_t, 10> Raw{};
  long double Value() const;
  void SetValue(long double value);
};

// Wide-string values are neither created nor interpreted: the bytes read are
// the bytes written back.
class TFBWideString final : public TFBEntry {
 public:
  TFBWideString() : TFBEntry(FBT_WIDESTRING) {}
  std::vector<uint8_t> Value;
};

class TZeveViraWriter;

class TZeveVira {
 public:
  static constexpr size_t HeaderSize = 64;
  using THeader = std::array<uint8_t, HeaderSize>;
  // Deepest nesting of keys in a path or a file.
  static constexpr int MaxKeyDepth = 64;
  // Largest database file that is loaded or written.
  static constexpr size_t MaxFileSize = size_t(1) << 30;

  TZeveVira();
  ~TZeveVira();  // stops the writer, then closes (and so saves) an open database
  TZeveVira(const TZeveVira&) = delete;
  TZeveVira& operator=(const TZeveVira&) = delete;

  bool Active() const;
  // true opens the file; false stops the writer, then saves and closes the
  // file (LastError / OnError report).
  void SetActive(bool value);
  const std::string& FileName() const;
  void SetFileName(const std::string& fileName);  // ignored while Active
  TFBOpenFlag OpenFlag() const;
  void SetOpenFlag(TFBOpenFlag flag);  // ignored while Active
  int64_t CurrentFileSize() const;
  int LastError() const;
  // The system's reason for the last failed save; empty after a good one.
  std::string LastErrorText() const;
  // Called after an open, close or flush that ends with a LastError other
  // than 0 (assign it before the database is shared between threads).
  std::function<void(TZeveVira& sender, int errorCode)> OnError;

  // Paths: names separated by backslashes; leading and repeated backslashes
  // are ignored; an empty path or one ending in a backslash names nothing.
  // Every component but the last is a key; the last names an entry of the
  // given type. The pointers stay valid until the entry is deleted or the
  // database closed; hold Mutex() while using them when other threads may
  // delete.
  TFBEntry* FindEntry(std::string_view path, uint8_t entryType, bool create);
  TFBEntry* GetEntry(std::string_view path, uint8_t entryType);  // type 0: the root
  TFBEntry* CreateKey(std::string_view path);

  int32_t ReadInteger(std::string_view path, int32_t def);
  void WriteInteger(std::string_view path, int32_t value);
  std::string ReadString(std::string_view path, const std::string& def);
  void WriteString(std::string_view path, const std::string& value);
  long double ReadFloat(std::string_view path, long double def);
  void WriteFloat(std::string_view path, long double value);

  std::string DatabaseName() const;  // empty while closed
  void SetDatabaseName(const std::string& name);
  // Saves now, on the caller's thread; false with LastError 6 when closed, 4
  // when the file could not be written (the previous file then stays as it
  // was).
  bool Flush();

  // A save in two steps, so that the file can be written without holding
  // the lock: TakeImage builds the file image of the tree as it is now,
  // WriteImage writes it; each sets LastError and reports a failure as
  // Flush does, and fills in the reason. Images are written in the order
  // they were taken: an image older than one already written is not
  // written again, as the newer file holds all of it.
  struct TImage {
    std::vector<uint8_t> Bytes;
    std::string FileName;
    uint64_t Generation = 0;
  };
  bool TakeImage(TImage& image, std::string& reason);
  bool WriteImage(const TImage& image, std::string& reason);

  // The thread that saves changes (see zevevira_writer_u.h); its owner
  // starts it once the database is shared.
  TZeveViraWriter& Writer() { return *SaveWriter; }
  // Destroys the entry with its whole subtree and unlinks it. Does nothing
  // for the root or for an entry that is not in this database's tree.
  void DeleteEntry(TFBEntry* entry);

  // Serialises every operation; callers hold it across an enumeration or a
  // delete.
  TRecursiveMutex& Mutex() const VX_RETURN_CAPABILITY(Lock) { return Lock; }

  // Parses a whole file image. Returns the tree and fills the header image,
  // or returns none when the image is not a valid database.
  static std::unique_ptr<TFBRoot> ParseImage(std::span<const uint8_t> image, THeader& header);
  // Builds the file image as a save writes it: fills the header image (name
  // from the root, cut to 31 characters in the root as well, root flags,
  // version 1.0, the given save time) and appends the tree. False when the
  // tree does not fit the format.
  static bool BuildImage(TFBRoot& root, THeader& header, double saveTime,
                         std::vector<uint8_t>& out);

 private:
  void Open() VX_REQUIRES(Lock);
  void Close() VX_REQUIRES(Lock);
  // 0, or the LastError of a save that cannot begin (4, 6).
  int BuildImageLocked(TImage& image, std::string& reason) VX_REQUIRES(Lock);
  bool WriteImageFile(const TImage& image, std::string& reason);
  // Called without the lock: the handler may use the database.
  void Report(int errorCode);

  mutable TRecursiveMutex Lock VX_ACQUIRED_BEFORE(WriteLock);
  std::string ErrorText VX_GUARDED_BY(Lock);
  uint64_t ImageGeneration VX_GUARDED_BY(Lock) = 0;
  // Serialises the file writes; never held while taking Lock.
  TMutex WriteLock;
  uint64_t WrittenGeneration VX_GUARDED_BY(WriteLock) = 0;
  std::string FileNameValue VX_GUARDED_BY(Lock);
  TFBOpenFlag OpenFlagValue VX_GUARDED_BY(Lock) = TFBOpenFlag::ReadWrite;
  int64_t FileSize VX_GUARDED_BY(Lock) = 0;
  int LastErrorValue VX_GUARDED_BY(Lock) = 0;
  THeader Header VX_GUARDED_BY(Lock){};
  std::unique_ptr<TFBRoot> Root VX_GUARDED_BY(Lock);
  std::unique_ptr<TZeveViraWriter> SaveWriter;
};

}  // namespace vx
