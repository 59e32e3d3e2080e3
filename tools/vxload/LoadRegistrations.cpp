#include "vxload/LoadRegistrations.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <sstream>

#include "client/Client.h"
#include "common/TextN.h"
#include "domain/permissions_u.h"
#include "domain/playercommands_u.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"

namespace vx::load {

namespace {

using TClock = std::chrono::steady_clock;

int64_t MicrosSince(TClock::time_point since) {
  return std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - since).count();
}

// Takes the answers to the registrations among the delivered commands; the
// server answers them in the order they were sent. Notices about other
// players are of no interest here.
void TakeAnswers(client::TClient& c, std::deque<TClock::time_point>& waiting,
                 TRegistrationResult& result) {
  for (const TPacket& packet : c.Session().Delivered()) {
    const int16_t code = client::CommandCode(packet);
    const bool confirmed = code == cmd::CMD_sc_PlayerAdminRegisteredOK;
    if ((!confirmed && code >= 0) || waiting.empty()) continue;
    (confirmed ? result.Confirmed : result.Refused) += 1;
    result.ConfirmUs.Add(uint64_t(MicrosSince(waiting.front())));
    waiting.pop_front();
  }
  c.Session().Delivered().clear();
}

}  // namespace

TRegistrationResult RunRegistrations(const TScenario& s) {
  TRegistrationResult result;
  client::TClient c;
  c.Open(s.Host, s.Port);
  client::TLoginRequest request;
  request.ClientName = "vxload";
  request.LogInName = LoadAdminLogin;
  request.PassWord = LoadAdminPassword;
  request.NickName = s.NickPrefix + "registrar";
  const auto reply = c.Login(request, 5000);
  if (!reply || reply->Result != LOGIN_ACCEPTED || !c.EnterServer({}, 5000)) {
    result.Aborted = "the registering client could not log in";
    return result;
  }
  c.WaitFor([] { return false; }, int(s.RegisterDelayS * 1000));

  const auto start = TClock::now();
  const auto end = start + std::chrono::duration<double>(s.DurationS);
  const auto interval = std::chrono::duration<double>(s.RegisterRate > 0 ? 1 / s.RegisterRate : 1);
  std::deque<TClock::time_point> waiting;
  for (auto due = start; due < end;) {
    if (TClock::now() >= due) {
      std::vector<uint8_t> payload(PlayerAdminRegisterSize - CommandHeaderSize);
      const std::string login = s.NickPrefix + "reg" + std::to_string(result.Sent);
      PutTextN(payload.data() + TPlayerRegisterLayout::LogInName - CommandHeaderSize, ShortTextSize,
               login);
      PutTextN(payload.data() + TPlayerRegisterLayout::PassWord - CommandHeaderSize, ShortTextSize,
               "pw");
      c.SendCommand(cmd::CMD_cs_PlayerAdminRegister, payload);
      waiting.push_back(TClock::now());
      ++result.Sent;
      due = start + std::chrono::duration_cast<TClock::duration>(interval * result.Sent);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - TClock::now());
    c.Pump(int(std::max<int64_t>(0, std::min<int64_t>(left.count(), 10))));
    TakeAnswers(c, waiting, result);
  }
  c.WaitFor(
      [&] {
        TakeAnswers(c, waiting, result);
        return waiting.empty();
      },
      5000);
  if (!waiting.empty())
    result.Aborted = std::to_string(waiting.size()) + " registrations unanswered";
  c.Quit(2000);
  return result;
}

std::string FormatRegistrations(const TScenario& s, const TRegistrationResult& r) {
  std::ostringstream out;
  out << "registrations: " << r.Sent << " sent at " << s.RegisterRate << "/s, " << r.Confirmed
      << " confirmed, " << r.Refused << " refused; confirmed after p50 "
      << r.ConfirmUs.Percentile(0.5) << " us, p99 " << r.ConfirmUs.Percentile(0.99) << " us, max "
      << r.ConfirmUs.Max() << " us" << (r.Aborted.empty() ? "" : "; " + r.Aborted) << "\n";
  out << "{\"registrations\":" << r.Sent << ",\"rate\":" << s.RegisterRate
      << ",\"confirmed\":" << r.Confirmed << ",\"refused\":" << r.Refused
      << ",\"confirm_p50_us\":" << r.ConfirmUs.Percentile(0.5)
      << ",\"confirm_p99_us\":" << r.ConfirmUs.Percentile(0.99)
      << ",\"confirm_max_us\":" << r.ConfirmUs.Max() << "}\n";
  return out.str();
}

void StoreAccounts(TZeveVira& database, const std::string& section, uint32_t count,
                   const std::string& prefix) {
  database.Writer().Start();
  TZeveViraUsers users(database);
  TClientObject account;
  account.RegisteredBy = "vxload";
  bool stored = true;
  {
    // One hold of the lock: the writer saves all of them at once.
    std::scoped_lock lock(database.Mutex());
    for (uint32_t i = 0; i < count && stored; ++i) {
      account.LogInName = account.NickName = prefix + std::to_string(i);
      account.LogInPassWord = "pw";
      stored = users.AddUser(section, account, {});
    }
    account.LogInName = account.NickName = LoadAdminLogin;
    account.LogInPassWord = LoadAdminPassword;
    account.Priviliges = SERVERPRIV_ADMIN;
    stored = stored && users.AddUser(section, account, {});
  }
  if (!stored) throw ELoad("cannot store the accounts");
  const TSaveResult saved = database.Writer().Commit();
  database.Writer().Stop();
  if (!saved.Saved) throw ELoad("cannot save the accounts: " + saved.Reason);
}

}  // namespace vx::load
