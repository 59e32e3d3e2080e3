// vxload: logs players in to a virtual server on this machine, lets some of
// them speak and measures what the server relays. See bench/README.md.
//
//   vxload [SCENARIO] [--key=value ...]     run a scenario (S1, S2, ...)
//   vxload make-db --db=PATH --section=NAME --channels=C [--channel-prefix=load-]
//                  [--accounts=N]
//   vxload register --port=N [--register-rate=10] [--register-delay=SEC] [--duration=SEC]
//   vxload density --port=BASE --servers=N [--every=10] [--idle=SEC] [--server-pid=PID]
#include <cstdio>
#include <string>
#include <vector>

#include "vxload/LoadDensity.h"
#include "vxload/LoadEngine.h"
#include "vxload/LoadRegistrations.h"
#include "vxload/LoadReport.h"
#include "vxload/LoadScenario.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vxload [S1|S2|S3|S4-10|S4-50|S4-200|S5|saturation|smoke] [--key=value ...]\n"
               "       vxload make-db --db=PATH --section=NAME --channels=C "
               "[--channel-prefix=load-] [--accounts=N]\n"
               "       vxload register --port=N [--register-rate=PER_S] [--register-delay=SEC] "
               "[--duration=SEC]\n"
               "       vxload density --port=BASE --servers=N [--every=10] [--idle=SEC] "
               "[--server-pid=PID]\n%s",
               vx::load::ArgumentHelp().c_str());
  return 2;
}

std::string Value(const std::vector<std::string>& args, const std::string& key) {
  for (const std::string& a : args)
    if (a.rfind("--" + key + "=", 0) == 0) return a.substr(key.size() + 3);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vx::load;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    }
  }
  try {
    if (!args.empty() && args[0] == "make-db") {
      args.erase(args.begin());
      TScenario s;
      const std::vector<std::string> rest = ApplyArguments(s, args);
      const std::string db = Value(rest, "db");
      const std::string section = Value(rest, "section");
      if (db.empty() || section.empty()) return Usage();
      StoreChannels(db, section, s.Channels, s.ChannelPrefix, s.Accounts);
      return 0;
    }
    if (!args.empty() && args[0] == "register") {
      args.erase(args.begin());
      TScenario s;
      const std::vector<std::string> rest = ApplyArguments(s, args);
      if (!rest.empty()) return Usage();
      s.Validate();
      const TRegistrationResult result = RunRegistrations(s);
      std::fputs(FormatRegistrations(s, result).c_str(), stdout);
      return result.Aborted.empty() ? 0 : 1;
    }
    if (!args.empty() && args[0] == "density") {
      args.erase(args.begin());
      TScenario s;
      s.IdleS = 60;
      TDensitySettings d;
      std::vector<std::string> rest = ApplyArguments(s, args);
      for (const std::string& a : rest) {
        if (a.rfind("--servers=", 0) == 0) {
          d.Servers = uint32_t(std::stoul(a.substr(10)));
        } else if (a.rfind("--every=", 0) == 0) {
          d.Every = uint32_t(std::stoul(a.substr(8)));
        } else {
          std::fprintf(stderr, "vxload: unknown argument %s\n", a.c_str());
          return Usage();
        }
      }
      if (d.Servers == 0 || d.Every == 0 || s.Port + d.Servers - 1 > 65535) return Usage();
      const TDensityResult result = RunDensity(s, d);
      std::fputs(FormatDensity(s, d, result).c_str(), stdout);
      return result.Failed == 0 ? 0 : 1;
    }
    TScenario scenario;
    if (!args.empty() && args[0].rfind("--", 0) != 0) {
      const auto named = NamedScenario(args[0]);
      if (!named) return Usage();
      scenario = *named;
      args.erase(args.begin());
    }
    const std::vector<std::string> rest = ApplyArguments(scenario, args);
    if (!rest.empty()) {
      std::fprintf(stderr, "vxload: unknown argument %s\n", rest.front().c_str());
      return Usage();
    }
    TLoadEngine engine(scenario);
    const TRunResult result = engine.Run();
    std::fputs(FormatTable(result).c_str(), stdout);
    std::printf("%s\n", FormatJson(result).c_str());
    return result.Aborted.empty() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vxload: %s\n", e.what());
    return 2;
  }
}
