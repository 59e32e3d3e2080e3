#include "host/ZeveVira.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/ByteOrder.h"
#include "host/TimeTools.h"

namespace vx {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

TBytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Builds database file images byte by byte, independently of the writer.
struct TImage {
  TBytes Bytes;
  explicit TImage(std::string_view name = "Test", uint16_t headerSize = 64, uint16_t major = 1,
                  uint16_t minor = 0)
      : Bytes(64, 0) {
    std::memcpy(Bytes.data(), "RRFB", 4);
    PutLE16(&Bytes[4], headerSize);
    PutLE16(&Bytes[6], major);
    PutLE16(&Bytes[8], minor);
    PutLEDouble(&Bytes[10], 44000.25);
    PutLEDouble(&Bytes[18], 45000.5);
    std::memcpy(&Bytes[26], name.data(), name.size());
  }
  TImage& U8(uint8_t v) { return Raw({v}); }
  TImage& U32(uint32_t v) {
    return Raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  }
  TImage& Str(std::string_view s) {
    U32(uint32_t(s.size()));
    Bytes.insert(Bytes.end(), s.begin(), s.end());
    return *this;
  }
  TImage& Raw(std::initializer_list<uint8_t> bytes) {
    Bytes.insert(Bytes.end(), bytes);
    return *this;
  }
  TImage& Record(uint8_t type, std::string_view name, uint32_t flags = 0) {
    return U8(type).Str(name).U32(flags);
  }
  TImage& End() { return U8(0); }
};

// 1.5 and a negative signalling NaN with a payload, as x87 extended numbers.
const std::initializer_list<uint8_t> OnePointFive = {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F};
const std::initializer_list<uint8_t> OddNaN = {0x23, 0x01, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF};

// A file holding every entry type, nested keys, flags and header bytes that
// carry no meaning (after the name's terminator).
TBytes EveryTypeImage() {
  TImage image("My Database");
  std::memset(&image.Bytes[26 + 12], 0xEE, 20);
  PutLE32(&image.Bytes[58], 0x01020304);
  image.Record(FBT_NODE, "Servers", 7)
      .Record(FBT_NODE, "Alpha")
      .Record(FBT_INTEGER, "Port", 0x10)
      .U32(uint32_t(-8767))
      .Record(FBT_STRING, "Name")
      .Str("Zimmer \xE4")
      .Record(FBT_STRING, "Empty")
      .Str("")
      .Record(FBT_BINARY, "Blob", 0xFFFFFFFF)
      .Str(std::string_view("\x00\x01\xFF\x7F", 4))
      .Record(FBT_FLOAT, "Created")
      .Raw(OnePointFive)
      .Record(FBT_FLOAT, "Odd")
      .Raw(OddNaN)
      .Record(FBT_WIDESTRING, "Wide")
      .Str(std::string_view("W\0i\0d\0e\0", 8))
      .Record(FBT_NODE, "EmptyKey")
      .End()
      .End()
      .End()
      .Record(FBT_INTEGER, "Top")
      .U32(1)
      .End()
      .U8(0);
  return image.Bytes;
}

std::vector<std::string> ChildNames(TFBEntry* key) {
  std::vector<std::string> names;
  for (TFBEntry* e = key ? static_cast<TFBKey*>(key)->FirstChild : nullptr; e; e = e->Next) {
    names.push_back(std::to_string(e->EntryType) + ":" + e->Name);
  }
  return names;
}

class ZeveViraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zevevira-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string PathOf(const std::string& name) const { return (Dir / name).string(); }
  void Open(TZeveVira& db, const std::string& file, TFBOpenFlag flag = TFBOpenFlag::ReadWrite) {
    db.SetFileName(file);
    db.SetOpenFlag(flag);
    db.OnError = [this](TZeveVira&, int code) { Errors.push_back(code); };
    db.SetActive(true);
  }
  // LastError of opening a file holding these bytes.
  int OpenError(const TBytes& bytes) {
    WriteFile(PathOf("probe.db"), bytes);
    TZeveVira db;
    Open(db, PathOf("probe.db"), TFBOpenFlag::ReadOnly);
    const int error = db.LastError();
    EXPECT_EQ(db.Active(), error == 0);
    return error;
  }

  fs::path Dir;
  std::vector<int> Errors;
};

TEST_F(ZeveViraTest, EveryEntryTypeRoundTripsByteForByte) {
  const TBytes original = EveryTypeImage();
  WriteFile(PathOf("a.db"), original);
  TManualClock clock(TDateTime{45123.75});
  TClockOverride clockOverride(clock);
  TZeveVira db;
  Open(db, PathOf("a.db"));
  ASSERT_TRUE(db.Active());
  EXPECT_EQ(db.LastError(), 0);
  EXPECT_EQ(db.CurrentFileSize(), int64_t(original.size()));
  EXPECT_EQ(db.DatabaseName(), "My Database");
  EXPECT_EQ(db.GetEntry("", FBT_ROOT)->Flags, 0x01020304u);

  EXPECT_EQ(db.ReadInteger("\\Servers\\Alpha\\Port", 0), -8767);
  EXPECT_EQ(db.ReadString("\\Servers\\Alpha\\Name", ""), "Zimmer \xE4");
  EXPECT_EQ(db.ReadString("\\Servers\\Alpha\\Empty", "x"), "");
  EXPECT_EQ(db.ReadFloat("\\Servers\\Alpha\\Created", 0), 1.5L);
  EXPECT_TRUE(std::isnan(db.ReadFloat("\\Servers\\Alpha\\Odd", 0)));
  auto* blob = static_cast<TFBBinary*>(db.GetEntry("\\Servers\\Alpha\\Blob", FBT_BINARY));
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->Data, (TBytes{0, 1, 0xFF, 0x7F}));
  EXPECT_EQ(blob->Flags, 0xFFFFFFFFu);
  auto* wide = static_cast<TFBWideString*>(db.GetEntry("\\Servers\\Alpha\\Wide", FBT_WIDESTRING));
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->Value.size(), 8u);
  TFBEntry* alpha = db.GetEntry("\\Servers\\Alpha", FBT_NODE);
  EXPECT_EQ(ChildNames(alpha),
            (std::vector<std::string>{"2:Port", "3:Name", "3:Empty", "4:Blob", "5:Created", "5:Odd",
                                      "6:Wide", "1:EmptyKey"}));
  EXPECT_EQ(static_cast<TFBKey*>(alpha)->FirstChild->Prev, alpha);
  EXPECT_EQ(db.GetEntry("Servers", FBT_NODE)->Flags, 7u);

  ASSERT_TRUE(db.Flush());
  const TBytes saved = ReadFile(PathOf("a.db"));
  ASSERT_EQ(saved.size(), original.size());
  EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 18, original.begin()));
  EXPECT_TRUE(std::equal(saved.begin() + 26, saved.end(), original.begin() + 26));
  EXPECT_EQ(GetLEDouble(&saved[18]), 45123.75);
  EXPECT_EQ(db.CurrentFileSize(), int64_t(saved.size()));

  // Without the extra byte, or with bytes behind the root's list, the file
  // loads the same and is saved to the same bytes.
  TBytes shorter(original.begin(), original.end() - 1);
  TBytes longer = original;
  longer.insert(longer.end(), {1, 2, 3});
  for (const TBytes& variant : {shorter, longer}) {
    WriteFile(PathOf("b.db"), variant);
    TZeveVira other;
    Open(other, PathOf("b.db"));
    ASSERT_TRUE(other.Active());
    other.SetActive(false);
    EXPECT_EQ(ReadFile(PathOf("b.db")), saved);
  }

  // Floats written go through long double unchanged.
  db.WriteFloat("\\F\\Tenth", 0.1L);
  db.WriteFloat("\\F\\Date", static_cast<long double>(45123.123456789));
  EXPECT_EQ(db.ReadFloat("\\F\\Tenth", 0), 0.1L);
  EXPECT_EQ(double(db.ReadFloat("\\F\\Date", 0)), 45123.123456789);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(ZeveViraTest, EveryLastErrorCodeAndOnError) {
  TZeveVira db;
  std::vector<std::pair<TZeveVira*, int>> calls;
  db.OnError = [&calls](TZeveVira& sender, int code) { calls.emplace_back(&sender, code); };
  db.SetActive(true);  // no file name
  EXPECT_EQ(db.LastError(), 2);
  EXPECT_FALSE(db.Flush());
  EXPECT_EQ(db.LastError(), 6);
  db.SetActive(false);
  EXPECT_EQ(db.LastError(), 1);

  db.SetFileName(PathOf("nofolder/a.db"));
  db.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  db.SetActive(true);  // cannot be created
  EXPECT_EQ(db.LastError(), 3);
  db.SetFileName(Dir.string());  // a folder cannot be read
  db.SetOpenFlag(TFBOpenFlag::ReadWrite);
  db.SetActive(true);
  EXPECT_EQ(db.LastError(), 3);
  WriteFile(PathOf("junk.db"), TBytes(100, 'x'));
  db.SetFileName(PathOf("junk.db"));
  db.SetActive(true);
  EXPECT_EQ(db.LastError(), 5);
  EXPECT_FALSE(db.Active());

  // Missing file in a missing folder: opens empty, but cannot be saved.
  db.SetFileName(PathOf("nofolder/a.db"));
  db.SetActive(true);
  EXPECT_EQ(db.LastError(), 0);
  ASSERT_TRUE(db.Active());
  db.SetFileName(PathOf("other.db"));  // ignored while open
  db.SetOpenFlag(TFBOpenFlag::ReadOnly);
  EXPECT_EQ(db.FileName(), PathOf("nofolder/a.db"));
  EXPECT_EQ(db.OpenFlag(), TFBOpenFlag::ReadWrite);
  db.SetActive(true);
  EXPECT_EQ(db.LastError(), 1);
  EXPECT_FALSE(db.Flush());
  EXPECT_EQ(db.LastError(), 4);
  db.SetActive(false);
  EXPECT_EQ(db.LastError(), 4);
  EXPECT_FALSE(db.Active());

  db.SetFileName(PathOf("good.db"));
  db.SetActive(true);
  EXPECT_TRUE(db.Flush());
  db.SetActive(false);
  EXPECT_EQ(db.LastError(), 0);

  std::vector<int> codes;
  for (auto& [sender, code] : calls) {
    EXPECT_EQ(sender, &db);
    codes.push_back(code);
  }
  EXPECT_EQ(codes, (std::vector<int>{2, 6, 1, 3, 3, 5, 1, 4, 4}));
}

TEST_F(ZeveViraTest, PathRules) {
  TZeveVira db;
  EXPECT_EQ(db.ReadInteger("\\A", 7), 7);  // closed: defaults, nothing found or made
  db.WriteInteger("\\A", 1);
  EXPECT_EQ(db.GetEntry("", FBT_ROOT), nullptr);
  Open(db, PathOf("p.db"));
  ASSERT_TRUE(db.Active());

  db.WriteInteger("\\Servers\\A\\B", 1);
  for (const char* path :
       {"Servers\\A\\B", "\\\\Servers\\A\\B", "\\Servers\\\\A\\B", "\\SERVERS\\a\\b"}) {
    EXPECT_EQ(db.ReadInteger(path, 0), 1) << path;
  }
  EXPECT_EQ(db.GetEntry("\\Servers\\A\\B ", FBT_INTEGER), nullptr);  // lengths must match
  for (const char* path : {"\\Servers\\A\\B\\", "", "\\\\\\"}) {
    EXPECT_EQ(db.GetEntry(path, FBT_INTEGER), nullptr) << path;
    EXPECT_EQ(db.FindEntry(path, FBT_INTEGER, true), nullptr) << path;
  }
  EXPECT_EQ(static_cast<TFBKey*>(db.GetEntry("\\Servers", FBT_NODE))->ChildCount(), 1u);

  // Only ASCII letters fold; the same name holds entries of several types.
  db.WriteString("\\K\\\xC4", "upper");
  EXPECT_EQ(db.ReadString("\\K\\\xE4", "none"), "none");
  db.WriteString("\\K\\\xE4", "lower");
  EXPECT_EQ(db.ReadString("\\k\\\xC4", ""), "upper");
  db.WriteString("\\K\\Port", "s");
  db.WriteInteger("\\K\\port", 5);
  db.CreateKey("\\k\\PORT");
  db.CreateKey("\\k\\NewKey");
  EXPECT_EQ(db.ReadString("\\K\\Port", ""), "s");
  EXPECT_EQ(db.ReadInteger("\\K\\Port", 0), 5);
  EXPECT_EQ(db.ReadFloat("\\K\\Port", 2.5L), 2.5L);
  EXPECT_EQ(
      ChildNames(db.GetEntry("K", FBT_NODE)),
      (std::vector<std::string>{"3:\xC4", "3:\xE4", "3:Port", "2:port", "1:PORT", "1:NewKey"}));

  EXPECT_EQ(db.GetEntry("\\whatever", FBT_ROOT), db.GetEntry("", FBT_ROOT));
  EXPECT_EQ(db.FindEntry("\\K\\X", FBT_ROOT, true), nullptr);
  EXPECT_EQ(db.FindEntry("\\K\\X", 7, true), nullptr);

  // 64 nested keys are the most a path (and a file) may hold.
  std::string deep;
  for (int i = 0; i < 64; ++i) deep += "\\k" + std::to_string(i);
  EXPECT_NE(db.CreateKey(deep), nullptr);
  db.WriteInteger(deep + "\\Value", 64);
  EXPECT_EQ(db.CreateKey(deep + "\\k64"), nullptr);
  EXPECT_EQ(db.FindEntry(deep + "\\k64\\Value", FBT_INTEGER, true), nullptr);
  db.SetActive(false);
  TZeveVira reloaded;
  Open(reloaded, PathOf("p.db"));
  EXPECT_EQ(reloaded.ReadInteger(deep + "\\Value", 0), 64);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(ZeveViraTest, TruncationAtEveryOffsetFails) {
  const TBytes full = EveryTypeImage();
  for (size_t cut = 0; cut + 1 < full.size(); ++cut) {
    WriteFile(PathOf("t.db"), TBytes(full.begin(), full.begin() + long(cut)));
    TZeveVira db;
    Errors.clear();
    Open(db, PathOf("t.db"));
    EXPECT_FALSE(db.Active()) << cut;
    EXPECT_EQ(db.LastError(), 5) << cut;
    EXPECT_EQ(db.CurrentFileSize(), 0) << cut;
    EXPECT_EQ(Errors, std::vector<int>{5}) << cut;
  }
}

TEST_F(ZeveViraTest, MalformedFilesAreRefused) {
  EXPECT_EQ(OpenError(TBytes{'R', 'R', 'F', 'B', 64, 0, 1, 0}), 5);
  EXPECT_EQ(OpenError(TImage().End().Bytes), 0);
  TBytes wrongSignature = TImage().End().Bytes;
  wrongSignature[3] = 'C';
  EXPECT_EQ(OpenError(wrongSignature), 5);
  EXPECT_EQ(OpenError(TImage("x", 64, 2).End().Bytes), 5);
  EXPECT_EQ(OpenError(TImage("x", 64, 0, 7).End().Bytes), 0);
  for (uint16_t headerSize : {0, 8, 63, 65, 200}) {
    EXPECT_EQ(OpenError(TImage("x", headerSize).End().Bytes), 5) << headerSize;
  }
  // Lengths beyond the end of the file, unknown types.
  EXPECT_EQ(OpenError(TImage().U8(FBT_INTEGER).U32(0x7FFFFFFF).Raw({'a', 0, 0, 0, 0}).Bytes), 5);
  EXPECT_EQ(OpenError(TImage().Record(FBT_STRING, "s").U32(2).Raw({'a', 0}).Bytes), 5);
  EXPECT_EQ(OpenError(TImage().Record(FBT_BINARY, "b").U32(0x7FFFFFF0).End().End().Bytes), 5);
  EXPECT_EQ(OpenError(TImage().Record(FBT_WIDESTRING, "w").U32(0xFFFFFFF).End().Bytes), 5);
  EXPECT_EQ(OpenError(TImage().Record(7, "x").U32(0).End().Bytes), 5);

  // Keys nested 64 deep load, 65 deep do not.
  for (int depth : {64, 65}) {
    TImage image;
    for (int i = 0; i < depth; ++i) image.Record(FBT_NODE, "k");
    for (int i = 0; i <= depth; ++i) image.End();
    EXPECT_EQ(OpenError(image.Bytes), depth == 64 ? 0 : 5) << depth;
  }

  // A length of 0 or less is an empty value with no bytes behind it.
  TImage negative;
  negative.U8(FBT_STRING).U32(uint32_t(-1)).U32(9).U32(uint32_t(-5)).End();
  WriteFile(PathOf("n.db"), negative.Bytes);
  TZeveVira db;
  Open(db, PathOf("n.db"));
  TFBEntry* entry = db.GetEntry("", FBT_ROOT);
  ASSERT_NE(entry, nullptr);
  entry = static_cast<TFBKey*>(entry)->FirstChild;
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->Name, "");
  EXPECT_EQ(entry->Flags, 9u);
  EXPECT_EQ(static_cast<TFBString*>(entry)->Value, "");
}

TEST_F(ZeveViraTest, ReadOnlyNeverWrites) {
  const TBytes original = EveryTypeImage();
  WriteFile(PathOf("r.db"), original);
  TZeveVira db;
  Open(db, PathOf("r.db"), TFBOpenFlag::ReadOnly);
  ASSERT_TRUE(db.Active());
  db.WriteInteger("\\New", 1);
  EXPECT_FALSE(db.Flush());
  EXPECT_EQ(db.LastError(), 4);
  db.SetActive(false);
  EXPECT_EQ(db.LastError(), 4);
  EXPECT_FALSE(db.Active());
  EXPECT_EQ(Errors, (std::vector<int>{4, 4}));
  EXPECT_EQ(ReadFile(PathOf("r.db")), original);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

TEST_F(ZeveViraTest, NewDatabasesAndTheirName) {
  {
    TZeveVira db;
    Open(db, PathOf("c.db"), TFBOpenFlag::CreateNotExists);
    ASSERT_TRUE(db.Active());
    EXPECT_EQ(db.DatabaseName(), "unbenannt");
    EXPECT_EQ(db.CurrentFileSize(), 0);
    ASSERT_TRUE(fs::exists(PathOf("c.db")));
    EXPECT_EQ(fs::file_size(PathOf("c.db")), 0u);
    // Before the first save, the zero-length file is not a database.
    TZeveVira second;
    Open(second, PathOf("c.db"), TFBOpenFlag::ReadOnly);
    EXPECT_EQ(second.LastError(), 5);
    EXPECT_EQ(Errors, std::vector<int>{5});
    Errors.clear();
  }  // closing saves
  EXPECT_EQ(fs::file_size(PathOf("c.db")), 66u);

  TZeveVira db;
  Open(db, PathOf("w.db"));
  ASSERT_TRUE(db.Active());
  EXPECT_FALSE(fs::exists(PathOf("w.db")));  // made at the first flush only
  const std::string forty = "0123456789012345678901234567890123456789";
  db.SetDatabaseName(forty);
  ASSERT_TRUE(db.Flush());
  EXPECT_EQ(db.DatabaseName(), forty.substr(0, 31));
  const TBytes saved = ReadFile(PathOf("w.db"));
  ASSERT_EQ(saved.size(), 66u);
  // Account passwords live in the file: a new one is for its owner only, an
  // existing one keeps the mode the operator gave it.
  EXPECT_EQ(fs::status(PathOf("w.db")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(PathOf("c.db")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(PathOf("w.db"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(db.Flush());
  EXPECT_EQ(fs::status(PathOf("w.db")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(db.CurrentFileSize(), 66);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&saved[26])), forty.substr(0, 31));
  EXPECT_EQ(saved[64], 0);
  EXPECT_EQ(saved[65], 0);
  TZeveVira reloaded;
  Open(reloaded, PathOf("w.db"));
  EXPECT_EQ(reloaded.DatabaseName(), forty.substr(0, 31));
  // The creation time is carried, the save time renewed.
  db.SetActive(false);
  EXPECT_EQ(GetLE64(&ReadFile(PathOf("w.db"))[10]), GetLE64(&saved[10]));
  // Through a symbolic link the file it points to is saved; the link stays.
  fs::create_symlink("w.db", PathOf("l.db"));
  TZeveVira linked;
  Open(linked, PathOf("l.db"));
  linked.SetDatabaseName("linked");
  ASSERT_TRUE(linked.Flush());
  EXPECT_TRUE(fs::is_symlink(PathOf("l.db")));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ReadFile(PathOf("w.db"))[26])), "linked");
  EXPECT_EQ(fs::status(PathOf("w.db")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(ZeveViraTest, FailedSaveKeepsTheOldFile) {
  const std::string path = PathOf("s.db");
  {
    TZeveVira db;
    Open(db, path);
    db.WriteString("\\Servers\\S\\Users\\admin\\NickName", "Admin");
  }
  const TBytes old = ReadFile(path);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Writing past the size limit fails instead of killing the process.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{old.size() + 100, old.size() + 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    TZeveVira db;
    int reported = 0;
    db.SetFileName(path);
    db.OnError = [&reported](TZeveVira&, int code) { reported = code; };
    db.SetActive(true);
    for (int i = 0; i < 200; ++i) {
      db.WriteString("\\Servers\\S\\Users\\u" + std::to_string(i) + "\\NickName", "Nick");
    }
    const bool failedAsExpected = !db.Flush() && db.LastError() == 4 && reported == 4;
    ::_exit(failedAsExpected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
  TZeveVira db;
  Open(db, path);
  EXPECT_EQ(db.ReadString("\\Servers\\S\\Users\\admin\\NickName", ""), "Admin");
}

TEST_F(ZeveViraTest, EnumerationAndDeletion) {
  // Duplicate names of one type only come from files; the first one counts.
  TImage image;
  image.Record(FBT_NODE, "Dup");
  for (int i = 0; i < 20; ++i) image.Record(FBT_INTEGER, "n" + std::to_string(i)).U32(0);
  image.Record(FBT_INTEGER, "same").U32(1).Record(FBT_INTEGER, "SAME").U32(2);
  image.Record(FBT_STRING, "same").Str("text").End().End();
  WriteFile(PathOf("e.db"), image.Bytes);
  TZeveVira db;
  Open(db, PathOf("e.db"));
  ASSERT_TRUE(db.Active());
  std::lock_guard lock(db.Mutex());
  EXPECT_EQ(db.ReadInteger("\\Dup\\Same", 0), 1);
  db.DeleteEntry(db.GetEntry("\\Dup\\same", FBT_INTEGER));
  EXPECT_EQ(db.ReadInteger("\\Dup\\Same", 0), 2);
  db.DeleteEntry(db.GetEntry("\\Dup\\same", FBT_INTEGER));
  EXPECT_EQ(db.ReadInteger("\\Dup\\Same", 0), 0);
  EXPECT_EQ(db.ReadString("\\Dup\\Same", ""), "text");

  // Many siblings: stored order, links and lookups stay right under deletion.
  for (int i = 0; i < 100; ++i)
    db.WriteInteger("\\Users\\user" + std::to_string(i) + "\\Logins", i);
  auto* users = static_cast<TFBKey*>(db.GetEntry("\\Users", FBT_NODE));
  for (int i : {0, 50, 99})
    db.DeleteEntry(db.GetEntry("\\Users\\USER" + std::to_string(i), FBT_NODE));
  db.WriteInteger("\\Users\\user50\\Logins", -50);
  std::vector<std::string> expected;
  for (int i = 1; i < 99; ++i) {
    if (i != 50) expected.push_back("1:user" + std::to_string(i));
  }
  expected.push_back("1:user50");
  EXPECT_EQ(ChildNames(users), expected);
  EXPECT_EQ(users->ChildCount(), 98u);
  EXPECT_EQ(users->LastChild()->Name, "user50");
  EXPECT_EQ(users->FirstChild->Prev, users);
  for (TFBEntry* e = users->FirstChild; e->Next; e = e->Next) EXPECT_EQ(e->Next->Prev, e);
  EXPECT_EQ(db.ReadInteger("\\Users\\user0\\Logins", -1), -1);
  EXPECT_EQ(db.ReadInteger("\\Users\\user51\\Logins", -1), 51);
  EXPECT_EQ(db.ReadInteger("\\Users\\user50\\Logins", -1), -50);

  // The root and entries of another database are left alone.
  TZeveVira other;
  Open(other, PathOf("o.db"));
  other.WriteInteger("\\X", 1);
  db.DeleteEntry(other.GetEntry("\\X", FBT_INTEGER));
  db.DeleteEntry(db.GetEntry("", FBT_ROOT));
  EXPECT_EQ(other.ReadInteger("\\X", 0), 1);
  EXPECT_NE(db.GetEntry("\\Users", FBT_NODE), nullptr);

  // Long sibling chains are destroyed without deep recursion, whole keys too.
  for (int i = 0; i < 10000; ++i) db.CreateKey("\\Big\\a" + std::to_string(i) + "\\b");
  db.DeleteEntry(db.GetEntry("\\Big", FBT_NODE));
  EXPECT_EQ(db.GetEntry("\\Big\\a5", FBT_NODE), nullptr);
  for (int i = 0; i < 10000; ++i) db.WriteInteger("\\Big\\v" + std::to_string(i), i);

  // What is left reloads in the same order.
  ASSERT_TRUE(db.Flush());
  TZeveVira reloaded;
  Open(reloaded, PathOf("e.db"));
  EXPECT_EQ(ChildNames(reloaded.GetEntry("\\Users", FBT_NODE)), expected);
  EXPECT_EQ(ChildNames(reloaded.GetEntry("Dup", FBT_NODE)).size(), 21u);
  EXPECT_EQ(reloaded.ReadInteger("\\Big\\V9999", 0), 9999);
}

TEST_F(ZeveViraTest, ConcurrentWritersAreSerialised) {
  TZeveVira db;
  Open(db, PathOf("m.db"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&db, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string path = "\\T\\k" + std::to_string(t) + "_" + std::to_string(i);
        db.WriteInteger(path, i);
        if (i % 50 == 0) db.Flush();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(static_cast<TFBKey*>(db.GetEntry("\\T", FBT_NODE))->ChildCount(), 2000u);
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(db.ReadInteger("\\T\\k" + std::to_string(t) + "_499", 0), 499);
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace vx
