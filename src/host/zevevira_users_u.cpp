#include "host/zevevira_users_u.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>

#include "common/Exceptions.h"
#include "common/TextN.h"
#include "host/TimeTools.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"

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
  // A failed save is reported by the database itself (LastError, OnError);
  // the account is stored and reaches the file at the next save.
  Database.Flush();
  return true;
}

bool TZeveViraUsers::StoreUser(std::string_view serverKey, const TClientObject& user) {
  return WithAccountKey(Database, serverKey, user.LogInName, false, [&](const std::string& key) {
    return Database.GetEntry(key, FBT_NODE) != nullptr && StoreLocked(key, user);
  });
}

bool TZeveViraUsers::AddUser(std::string_view serverKey, const TClientObject& user) {
  return WithAccountKey(Database, serverKey, user.LogInName, false, [&](const std::string& key) {
    if (Database.GetEntry(key, FBT_NODE) != nullptr) return false;
    return Database.CreateKey(key) != nullptr && StoreLocked(key, user);
  });
}

bool TZeveViraUsers::DeleteUser(std::string_view serverKey, std::string_view logInName) {
  return WithAccountKey(Database, serverKey, logInName, false, [&](const std::string& key) {
    TFBEntry* entry = Database.GetEntry(key, FBT_NODE);
    if (entry == nullptr) return false;
    Database.DeleteEntry(entry);
    Database.Flush();
    return true;
  });
}

}  // namespace vx
