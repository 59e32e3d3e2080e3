// The registered user accounts of the virtual servers, kept in the database
// under \Servers\(ServerKey)\Users\(login name)\. An account is exchanged with
// callers as a TClientObject that uses only its account fields.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/clientobject_u.h"

namespace vx {

class TZeveVira;

// Every operation holds the database's lock for its whole duration, catches
// whatever is raised inside it and then returns a neutral result (none or
// false; the list built so far). A closed database makes every operation fail.
//
// Server keys and login names that are empty or contain a backslash name no
// account (a backslash would reach into other keys of the database); login
// names are cut to 29 characters like the record's field.
class TZeveViraUsers {
 public:
  explicit TZeveViraUsers(TZeveVira& database) : Database(database) {}

  // The "LogInName" of every account key of the server, in stored order;
  // none when the server has no "Users" key, empty when that key is empty.
  std::optional<std::vector<std::string>> ListUsers(std::string_view serverKey);

  // The account as stored (missing values read as empty or 0), or nullptr.
  // With countLogin the stored "Logins" is raised by one and "LastChanged"
  // set to now; the returned record keeps the values read before that, and
  // the database is not flushed.
  std::unique_ptr<TClientObject> GetUser(std::string_view serverKey, std::string_view logInName,
                                         bool countLogin);

  // Writes the account fields of an existing account (the key named by the
  // record's LogInName), stamps "Created" on the first store and
  // "LastChanged" after that, and flushes. False when the account is missing.
  bool StoreUser(std::string_view serverKey, const TClientObject& user);

  // Creates the account key and stores the record; false when it exists.
  bool AddUser(std::string_view serverKey, const TClientObject& user);

  // Removes the account key with all its values and flushes at once.
  bool DeleteUser(std::string_view serverKey, std::string_view logInName);

 private:
  bool StoreLocked(const std::string& userKey, const TClientObject& user);

  TZeveVira& Database;
};

}  // namespace vx
