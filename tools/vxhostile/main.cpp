// vxhostile: plays the hostile clients against a virtual server on this
// machine and reports what the server did meanwhile. See bench/README.md.
//
//   vxhostile wedge|crowd|amplify|guess --port=P [--key=value ...]
#include <cstdio>
#include <string>
#include <vector>

#include "vxhostile/HostileScenarios.h"

int main(int argc, char** argv) {
  using namespace vx::hostile;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fprintf(stderr, "usage: vxhostile wedge|crowd|amplify|guess [--key=value ...]\n%s",
                 ArgumentHelp().c_str());
    return args.empty() ? 2 : 0;
  }
  TSettings settings;
  settings.Scenario = args[0];
  args.erase(args.begin());
  const std::vector<std::string> rest = ApplyArguments(settings, args);
  if (!rest.empty()) {
    std::fprintf(stderr, "vxhostile: unknown argument %s\n%s", rest.front().c_str(),
                 ArgumentHelp().c_str());
    return 2;
  }
  try {
    const TReport report = RunScenario(settings);
    std::fputs(FormatTable(report).c_str(), stdout);
    std::printf("%s\n", FormatJson(report).c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vxhostile: %s\n", e.what());
    return 1;
  }
}
