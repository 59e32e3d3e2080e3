#include "domain/zevevira_users_u.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <future>
#include <limits>
#include <mutex>
#include <utility>
#include <variant>

#include "common/Exceptions.h"
#include "common/TextN.h"
#include "host/TimeTools.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "host/zevevira_writer_u.h"

namespace vx {

namespace {

constexpr size_t TextSize = TClientObject::TextFieldSize;

// A key name taken from outside must stay one path component.
bool IsKeyName(std::string_view name) {
  return !name.empty() && name.find('\\') == std::string_view::npos;
}

std::string UsersKey(std::string_view serverKey) {
  std::string key = "\\Servers\\";
  key += serverKey;
  key += "\\Users";
  return key;
}

std::string UserKey(std::string_view serverKey, std::string_view logInName) {
  return UsersKey(serverKey) + "\\" + CutText(logInName, TextSize);
}

std::string ValuePath(const std::string& key, std::string_view value) {
  return key + "\\" + std::string(value);
}

// A stored float that a double cannot hold (or that is not a number) is read
// as 0 rather than converted with undefined results.
TDateTime ToDateTime(long double value) {
  if (!std::isfinite(value) || fabsl(value) > static_cast<long double>(DBL_MAX)) return {};
  return TDateTime{static_cast<double>(value)};
}

// Runs body with the path of the account key, under the database lock and
// only while the database is open and both names are usable. Whatever body
// raises is logged and turns into the failed result.
template <typename TResult, typename TBody>
TResult WithAccountKey(TZeveVira& database, std::string_view serverKey, std::string_view logInName,
                       TResult failed, TBody&& body) {
  try {
    std::scoped_lock lock(database.Mutex());
    if (!database.Active() || !IsKeyName(serverKey) || !IsKeyName(logInName)) return failed;
    return body(UserKey(serverKey, logInName));
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, "USERS", "Exception: " + ExceptionClassName(e));
  } catch (...) {
    Log(LMTERROR, LMDALL, "USERS", "Exception: unknown");
  }
  return failed;
}

// The values of an account key, in the order a first store creates them.
struct TAccountValue {
  const char* Name;
  uint8_t Type;
};
constexpr std::array<TAccountValue, 8> AccountValues = {{{"LogInName", FBT_STRING},
                                                         {"LogInPassWord", FBT_STRING},
                                                         {"NickName", FBT_STRING},
                                                         {"Priviliges", FBT_INTEGER},
                                                         {"RegisteredBy", FBT_STRING},
                                                         {"Logins", FBT_INTEGER},
                                                         {"Created", FBT_FLOAT},
                                                         {"LastChanged", FBT_FLOAT}}};

// An account key as it was before a change, to be put back when the change
// cannot be saved. Floats keep their stored bytes.
class TAccountImage {
 public:
  TAccountImage(TZeveVira& database, const std::string& key)
      : Key(key), Existed(database.GetEntry(key, FBT_NODE) != nullptr) {
    if (!Existed) return;
    for (size_t i = 0; i < AccountValues.size(); ++i) {
      TFBEntry* entry =
          database.GetEntry(ValuePath(Key, AccountValues[i].Name), AccountValues[i].Type);
      if (entry == nullptr) continue;
      switch (entry->EntryType) {
        case FBT_STRING:
          Values[i] = static_cast<TFBString*>(entry)->Value;
          break;
        case FBT_INTEGER:
          Values[i] = static_cast<TFBInteger*>(entry)->Value;
          break;
        default:
          Values[i] = static_cast<TFBFloat*>(entry)->Raw;
          break;
      }
    }
  }

  // Runs under the database's lock.
  void Restore(TZeveVira& database) const {
    if (!Existed) {
      if (TFBEntry* added = database.GetEntry(Key, FBT_NODE)) database.DeleteEntry(added);
      return;
    }
    database.CreateKey(Key);
    for (size_t i = 0; i < AccountValues.size(); ++i) {
      const std::string path = ValuePath(Key, AccountValues[i].Name);
      const uint8_t type = AccountValues[i].Type;
      if (std::holds_alternative<std::monostate>(Values[i])) {
        if (TFBEntry* added = database.GetEntry(path, type)) database.DeleteEntry(added);
        continue;
      }
      TFBEntry* entry = database.FindEntry(path, type, true);
      if (entry == nullptr) continue;
      if (const auto* text = std::get_if<std::string>(&Values[i]))
        static_cast<TFBString*>(entry)->Value = *text;
      else if (const auto* number = std::get_if<int32_t>(&Values[i]))
        static_cast<TFBInteger*>(entry)->Value = *number;
      else
        static_cast<TFBFloat*>(entry)->Raw = std::get<std::array<uint8_t, 10>>(Values[i]);
    }
  }

 private:
  using TValue = std::variant<std::monostate, std::string, int32_t, std::array<uint8_t, 10>>;
  std::string Key;
  bool Existed;
  std::array<TValue, AccountValues.size()> Values;
};

// Runs one of the handing-over forms and waits for the outcome.
template <typename TStart>
TAccountResult AwaitSaved(TStart&& start) {
  std::promise<TSaveResult> saved;
  std::future<TSaveResult> outcome = saved.get_future();
  if (!start([&saved](const TSaveResult& result) { saved.set_value(result); })) return {};
  const TSaveResult result = outcome.get();
  if (result.Saved) return {TAccountStatus::Saved, {}};
  return {TAccountStatus::NotSaved, result.Reason};
}

}  // namespace

std::optional<std::vector<std::string>> TZeveViraUsers::ListUsers(std::string_view serverKey) {
  std::optional<std::vector<std::string>> result;
  try {
    std::scoped_lock lock(Database.Mutex());
    if (!Database.Active() || !IsKeyName(serverKey)) return result;
    auto* users = static_cast<TFBKey*>(Database.GetEntry(UsersKey(serverKey), FBT_NODE));
    if (users == nullptr) return result;
    result.emplace();
    for (TFBEntry* child = users->FirstChild; child != nullptr; child = child->Next) {
      // Only keys are accounts; a value loaded from the file beside them is
      // not. The value is looked up in the key itself rather than by path, so
      // that a loaded key name holding a backslash cannot lead elsewhere.
      if (child->EntryType != FBT_NODE) continue;
      auto* name =
          static_cast<TFBString*>(static_cast<TFBKey*>(child)->FindChild("LogInName", FBT_STRING));
      result->push_back(name != nullptr ? CutText(name->Value, TextSize) : std::string());
    }
  } catch (...) {
    // Listing stays silent and returns what it has built so far.
  }
  return result;
}

std::unique_ptr<TClientObject> TZeveViraUsers::GetUser(std::string_view serverKey,
                                                       std::string_view logInName,
                                                       bool countLogin) {
  return WithAccountKey(
      Database, serverKey, logInName, std::unique_ptr<TClientObject>(),
      [&](const std::string& key) -> std::unique_ptr<TClientObject> {
        if (Database.GetEntry(key, FBT_NODE) == nullptr) return nullptr;
        auto user = std::make_unique<TClientObject>();
        user->LogInName = CutText(Database.ReadString(ValuePath(key, "LogInName"), ""), TextSize);
        user->LogInPassWord =
            CutText(Database.ReadString(ValuePath(key, "LogInPassWord"), ""), TextSize);
        user->NickName = CutText(Database.ReadString(ValuePath(key, "NickName"), ""), TextSize);
        user->Priviliges =
            static_cast<uint16_t>(Database.ReadInteger(ValuePath(key, "Priviliges"), 0));
        user->RegisteredBy =
            CutText(Database.ReadString(ValuePath(key, "RegisteredBy"), ""), TextSize);
        user->Logins = Database.ReadInteger(ValuePath(key, "Logins"), 0);
        user->LastChanged = ToDateTime(Database.ReadFloat(ValuePath(key, "LastChanged"), 0));
        user->Created = ToDateTime(Database.ReadFloat(ValuePath(key, "Created"), 0));

        if (countLogin) {
          // The counter stops at its largest value instead of overflowing.
          const int32_t logins =
              user->Logins == std::numeric_limits<int32_t>::max() ? user->Logins : user->Logins + 1;
          Database.WriteInteger(ValuePath(key, "Logins"), logins);
          Database.WriteFloat(ValuePath(key, "LastChanged"), TDateTime::Now().Value);
        }
        return user;
      });
}

bool TZeveViraUsers::StoreLocked(const std::string& key, const TClientObject& user) {
  Database.WriteString(ValuePath(key, "LogInName"), CutText(user.LogInName, TextSize));
  Database.WriteString(ValuePath(key, "LogInPassWord"), CutText(user.LogInPassWord, TextSize));
  Database.WriteString(ValuePath(key, "NickName"), CutText(user.NickName, TextSize));
  Database.WriteInteger(ValuePath(key, "Priviliges"), user.Priviliges);
  Database.WriteString(ValuePath(key, "RegisteredBy"), CutText(user.RegisteredBy, TextSize));
  Database.WriteInteger(ValuePath(key, "Logins"), user.Logins);
  const long double now = TDateTime::Now().Value;
  if (Database.ReadFloat(ValuePath(key, "Created"), 0) == 0)
    Database.WriteFloat(ValuePath(key, "Created"), now);
  else
    Database.WriteFloat(ValuePath(key, "LastChanged"), now);
  return true;
}

template <typename TChange>
bool TZeveViraUsers::Change(std::string_view serverKey, std::string_view logInName,
                            TChange&& change, TSaveDone done) {
  return WithAccountKey(Database, serverKey, logInName, false, [&](const std::string& key) {
    TAccountImage before(Database, key);
    if (!change(key)) return false;
    // The writer outlives no database, so the undo may hold on to it.
    TZeveVira& database = Database;
    database.Writer().Submit(std::move(done),
                             [&database, before = std::move(before)] { before.Restore(database); });
    return true;
  });
}

bool TZeveViraUsers::StoreUser(std::string_view serverKey, const TClientObject& user,
                               TSaveDone done) {
  return Change(
      serverKey, user.LogInName,
      [&](const std::string& key) {
        return Database.GetEntry(key, FBT_NODE) != nullptr && StoreLocked(key, user);
      },
      std::move(done));
}

bool TZeveViraUsers::AddUser(std::string_view serverKey, const TClientObject& user,
                             TSaveDone done) {
  return Change(
      serverKey, user.LogInName,
      [&](const std::string& key) {
        if (Database.GetEntry(key, FBT_NODE) != nullptr) return false;
        return Database.CreateKey(key) != nullptr && StoreLocked(key, user);
      },
      std::move(done));
}

bool TZeveViraUsers::DeleteUser(std::string_view serverKey, std::string_view logInName,
                                TSaveDone done) {
  return Change(
      serverKey, logInName,
      [&](const std::string& key) {
        TFBEntry* entry = Database.GetEntry(key, FBT_NODE);
        if (entry == nullptr) return false;
        Database.DeleteEntry(entry);
        return true;
      },
      std::move(done));
}

TAccountResult TZeveViraUsers::StoreUser(std::string_view serverKey, const TClientObject& user) {
  return AwaitSaved([&](TSaveDone done) { return StoreUser(serverKey, user, std::move(done)); });
}

TAccountResult TZeveViraUsers::AddUser(std::string_view serverKey, const TClientObject& user) {
  return AwaitSaved([&](TSaveDone done) { return AddUser(serverKey, user, std::move(done)); });
}

TAccountResult TZeveViraUsers::DeleteUser(std::string_view serverKey, std::string_view logInName) {
  return AwaitSaved(
      [&](TSaveDone done) { return DeleteUser(serverKey, logInName, std::move(done)); });
}

}  // namespace vx
