// The database with 10,000 registered accounts: loading it, looking up
// account values by full path, and saving it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/ZeveVira.h"

namespace {

constexpr int AccountCount = 10000;

std::string AccountKey(int i) {
  return "\\Servers\\S\\Users\\login" + std::to_string(i) + "\\";
}

// A scratch folder for the run, removed at exit.
struct TScratchFolder {
  std::string Path;
  TScratchFolder() {
    Path = (std::filesystem::temp_directory_path() / "zevevira-bench-XXXXXX").string();
    if (!::mkdtemp(Path.data())) std::abort();
  }
  ~TScratchFolder() { std::filesystem::remove_all(Path); }
};

const std::string& ScratchFolder() {
  static const TScratchFolder folder;
  return folder.Path;
}

// A database file with 10,000 accounts, written once per run.
const std::string& AccountsFile() {
  static const std::string file = [] {
    const std::string path = ScratchFolder() + "/server.db";
    vx::TZeveVira db;
    db.SetFileName(path);
    db.SetActive(true);
    for (int i = 0; i < AccountCount; ++i) {
      const std::string key = AccountKey(i);
      db.WriteString(key + "LogInName", "login" + std::to_string(i));
      db.WriteString(key + "LogInPassWord", "secret" + std::to_string(i));
      db.WriteString(key + "NickName", "Player " + std::to_string(i));
      db.WriteInteger(key + "Priviliges", i % 2);
      db.WriteString(key + "RegisteredBy", "admin");
      db.WriteInteger(key + "Logins", i);
      db.WriteFloat(key + "Created", 45000.5L + i);
      db.WriteFloat(key + "LastChanged", 45100.25L + i);
    }
    db.SetActive(false);
    if (db.LastError() != 0) std::abort();
    return path;
  }();
  return file;
}

void BM_OpenAccounts(benchmark::State& state) {
  const std::string& file = AccountsFile();
  for (auto _ : state) {
    vx::TZeveVira db;
    db.SetFileName(file);
    db.SetOpenFlag(vx::TFBOpenFlag::ReadOnly);
    db.SetActive(true);
    if (!db.Active()) state.SkipWithError("open failed");
    state.PauseTiming();
    db.SetActive(false);  // read-only: discards the tree, writes nothing
    state.ResumeTiming();
  }
  state.counters["file_bytes"] = double(std::filesystem::file_size(file));
}
BENCHMARK(BM_OpenAccounts)->Unit(benchmark::kMillisecond);

void BM_LookupAccounts(benchmark::State& state) {
  vx::TZeveVira db;
  db.SetFileName(AccountsFile());
  db.SetOpenFlag(vx::TFBOpenFlag::ReadOnly);
  db.SetActive(true);
  std::vector<std::string> paths;
  for (int i = 0; i < AccountCount; ++i) paths.push_back(AccountKey(i) + "NickName");
  for (auto _ : state) {
    for (const std::string& path : paths) benchmark::DoNotOptimize(db.ReadString(path, ""));
  }
  state.SetItemsProcessed(state.iterations() * AccountCount);
}
BENCHMARK(BM_LookupAccounts)->Unit(benchmark::kMillisecond);

// Flush: build the image, write a temporary file, fsync, rename.
void BM_SaveAccounts(benchmark::State& state) {
  const std::string copy = ScratchFolder() + "/save.db";
  std::filesystem::copy_file(AccountsFile(), copy,
                             std::filesystem::copy_options::overwrite_existing);
  vx::TZeveVira db;
  db.SetFileName(copy);
  db.SetActive(true);
  for (auto _ : state) {
    if (!db.Flush()) state.SkipWithError("flush failed");
  }
}
BENCHMARK(BM_SaveAccounts)->Unit(benchmark::kMillisecond);

// The in-memory part of a save, without the file system.
void BM_BuildAccountsImage(benchmark::State& state) {
  vx::TZeveVira::THeader header{};
  std::vector<uint8_t> image = [] {
    std::vector<uint8_t> bytes(std::filesystem::file_size(AccountsFile()));
    std::FILE* f = std::fopen(AccountsFile().c_str(), "rb");
    if (!f || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
    return bytes;
  }();
  std::unique_ptr<vx::TFBRoot> root = vx::TZeveVira::ParseImage(image, header);
  if (!root) std::abort();
  for (auto _ : state) {
    vx::TZeveVira::BuildImage(*root, header, 45000.0, image);
    benchmark::DoNotOptimize(image.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_BuildAccountsImage)->Unit(benchmark::kMillisecond);

}  // namespace
