#include "front/WindowOptions.h"

#include <stdexcept>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "run/Version.h"

std::string WindowUsage() {
  return "Usage: tptune [--bench [SCENARIO.json]] [--bench-speed FACTOR] [--records LOCATION|none]\n"
         "              [--operator NAME] [--work-order TEXT]\n"
         "\n"
         "Options:\n"
         "  --bench [SCENARIO.json]  also offer the emulated bench's ports (default scenario when no\n"
         "                           file is named); runs on them follow the bench's clock\n"
         "  --bench-speed FACTOR     how fast the bench's clock runs against wall time (default 1)\n" +
         std::string(kRecordsOptionsUsage) +
         "  --help                   show this text\n"
         "  --version                show the program's version and build date\n";
}

namespace {

// A speed factor in the C form ("2", "0.5", "1e3"), whatever the user's locale: finite and
// above 0, else 0.
double SpeedFactor(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return std::isfinite(value) && value > 0 ? value : 0;
}

}  // namespace

TWindowCommand ParseWindowCommand(const std::vector<std::string>& args,
                                  const std::vector<std::string>& ownOptions) {
  TWindowCommand c;
  for (const std::string& a : args) {
    if (a == "--help") {
      c.Ask = TWindowAsk::kHelp;
      c.Text = WindowUsage();
      return c;
    }
    if (a == "--version") {
      c.Ask = TWindowAsk::kVersion;
      c.Text = VersionLine("tptune") + "\n";
      return c;
    }
  }
  // why: the text after the program's name, with its line end.
  auto unusable = [&c](const std::string& why) {
    c.Ask = TWindowAsk::kUnusable;
    c.Text = "tptune: " + why;
    return c;
  };
  TWindowOptions& o = c.Options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // An option's value is the next argument unless that is an option itself.
    const bool hasValue = i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0;
    if (a == "--bench") {
      o.Bench = true;
      if (hasValue) o.Scenario = args[++i];
    } else if (a == "--bench-speed" && hasValue) {
      o.Speed = SpeedFactor(args[++i]);
      if (o.Speed == 0) return unusable("--bench-speed needs a factor above 0\n");
    } else if (a == "--records" && hasValue) {
      o.Records = args[++i];
    } else if (a == "--operator" && hasValue) {
      o.Operator = args[++i];
    } else if (a == "--work-order" && hasValue) {
      o.WorkOrder = args[++i];
    } else if (hasValue && std::find(ownOptions.begin(), ownOptions.end(), a) != ownOptions.end()) {
      o.Own[a] = args[++i];
    } else {
      return unusable("unknown option \"" + a + "\"\n\n" + WindowUsage());
    }
  }
  return c;
}

TWindowStart StartWindow(const TWindowOptions& options, const std::string& programPath) {
  TWindowStart s;
  if (options.Bench) {
    s.Bench = OpenBench(options.Scenario);
    s.Bench->SetPaced(options.Speed);
  }
  // An installed window keeps its records in the user's data folder, beside its settings file;
  // a window with the emulated bench marks its records as the bench's and keeps them apart from
  // the factory's.
  s.Setup = FrontEndSetup({programPath, s.Bench != nullptr, options.Records});
  s.Setup.Operator = options.Operator;
  s.Setup.WorkOrder = options.WorkOrder;
  // Before the first device: a location that cannot keep records is refused.
  const std::string problem = CheckRecordsLocation(s.Setup, &s.RecordsNote);
  if (!problem.empty()) throw std::runtime_error(problem);
  s.Records = OpenRecordSink(s.Setup);
  return s;
}
