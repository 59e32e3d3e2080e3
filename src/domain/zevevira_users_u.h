// The registered user accounts of the virtual servers, kept in the database
// under \Servers\(ServerKey)\Users\(login name)\. An account is exchanged with
// callers as a TClientObject that uses only its account fields.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/clientobject_u.h"
#include "host/zevevira_writer_u.h"

namespace vx {

class TZeveVira;

enum class TAccountStatus {
  Saved,     // the change is on disk
  Refused,   // nothing changed: the account exists (add) or is missing
             // (store, delete), a name is unusable or the database closed
  NotSaved,  // the file could not be written; the change was undone
};

struct TAccountResult {
  TAccountStatus Status = TAccountStatus::Refused;
  std::string Reason;  // why the file could not be written
  explicit operator bool() const { return Status == TAccountStatus::Saved; }
};

// Every operation holds the database's lock for its whole duration, catches
// whatever is raised inside it and then returns a neutral result (none or
// false; the list built so far). A closed database makes every operation fail.
//
// Server keys and login names that are empty or contain a backslash name no
// account (a backslash would reach into other keys of the database); login
// names are cut to 29 characters like the record's field.
//
// A change is made in the tree and saved by the database's writer; it is
// confirmed only once it is on disk, and undone when it cannot be saved.
// The forms that return a result wait for the save: not for threads that
// serve players, and never with the database's lock held. The forms taking
// `done` return at once: false when refused (`done` never runs); otherwise
// `done` learns the outcome on the writer's thread.
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
  // record's LogInName) and stamps "Created" on the first store and
  // "LastChanged" after that. Refused when the account is missing.
  TAccountResult StoreUser(std::string_view serverKey, const TClientObject& user);
  bool StoreUser(std::string_view serverKey, const TClientObject& user, TSaveDone done);

  // Creates the account key and stores the record; refused when it exists.
  TAccountResult AddUser(std::string_view serverKey, const TClientObject& user);
  bool AddUser(std::string_view serverKey, const TClientObject& user, TSaveDone done);

  // Removes the account key with all its values; refused when it is missing.
  TAccountResult DeleteUser(std::string_view serverKey, std::string_view logInName);
  bool DeleteUser(std::string_view serverKey, std::string_view logInName, TSaveDone done);

 private:
  bool StoreLocked(const std::string& userKey, const TClientObject& user);
  // Runs the change on the account key under the database's lock and, when
  // it made one, hands the save over with the way back.
  template <typename TChange>
  bool Change(std::string_view serverKey, std::string_view logInName, TChange&& change,
              TSaveDone done);

  TZeveVira& Database;
};

}  // namespace vx
