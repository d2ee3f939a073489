// tptune-soak: runs a series of generated bench cases through the console front end and checks
// that no fault ever turns into a false success.
//
//   tptune-soak N SEED [FIRST] [--jobs J]   cases FIRST .. FIRST+N-1 of the series SEED, in J
//                                           processes, with counts per fault kind and invariant
//   tptune-soak --case SEED I               case I alone, with its scenario, options and output
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Soak.h"

namespace fs = std::filesystem;

namespace {

std::string CaseText(const TSoakCase& c) {
  std::string t = "scenario: " + c.scenario.dump() + "\noptions:";
  if (c.goldHandheld) t += " --gold handheld";
  if (c.analysisOnly) t += " --analysis-only";
  if (c.restoreServer) t += " --restore-server";
  if (c.restoreHandheld) t += " --restore-handheld";
  t += " --answers ";
  for (size_t i = 0; i < c.answers.size(); ++i) t += (i ? "," : "") + c.answers[i];
  return t + "\n";
}

int Usage() {
  std::cerr << "usage: tptune-soak N SEED [FIRST] [--jobs J] | tptune-soak --case SEED INDEX\n";
  return 2;
}

// Runs cases [first, end) and writes the violations to out; returns the tally.
TSoakTally RunSeries(uint64_t seed, uint64_t first, uint64_t end, const fs::path& work,
                     std::ostream& out) {
  TSoakTally tally;
  for (uint64_t i = first; i < end; ++i) {
    const TSoakCase c = MakeSoakCase(seed, i);
    const TSoakOutput o = RunSoakCase(c, work.string(), DEMO_PACKAGES_DIR);
    const auto violations = CheckSoakRun(c, o);
    tally.Add(c, o, violations);
    if (violations.empty()) continue;
    out << "case " << i << ":\n";
    for (const auto& line : violations) out << "  VIOLATION " << line << "\n";
    out << CaseText(c) << "reproduce: " << SoakReproduction(c) << "\n" << std::flush;
  }
  return tally;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int jobs = 1;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--jobs") {
      jobs = std::max(1, std::atoi(args[i + 1].c_str()));
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  if (args.size() < 2) return Usage();
  const fs::path work = fs::temp_directory_path() / ("tptune-soak-" + std::to_string(::getpid()));

  if (args[0] == "--case") {
    if (args.size() != 3) return Usage();
    const TSoakCase c = MakeSoakCase(std::strtoull(args[1].c_str(), nullptr, 10),
                                     std::strtoull(args[2].c_str(), nullptr, 10));
    std::cout << CaseText(c);
    const TSoakOutput o = RunSoakCase(c, work.string(), DEMO_PACKAGES_DIR);
    std::cout << "--- output\n" << o.out << "--- exit status " << o.status << "\n--- report\n"
              << o.report.dump(1) << "\n";
    const auto violations = CheckSoakRun(c, o);
    for (const auto& line : violations) std::cout << "VIOLATION " << line << "\n";
    fs::remove_all(work);
    return violations.empty() ? 0 : 1;
  }

  if (args.size() > 3) return Usage();
  const uint64_t n = std::strtoull(args[0].c_str(), nullptr, 10);
  const uint64_t seed = std::strtoull(args[1].c_str(), nullptr, 10);
  const uint64_t first = args.size() == 3 ? std::strtoull(args[2].c_str(), nullptr, 10) : 0;

  // Each job takes an equal slice of the series in a process of its own (the bench's port names
  // are the process's), and leaves its tally in a file.
  fs::create_directories(work);
  TSoakTally tally;
  std::vector<pid_t> children;
  for (int j = 0; j < jobs; ++j) {
    const uint64_t from = first + n * static_cast<uint64_t>(j) / static_cast<uint64_t>(jobs);
    const uint64_t to = first + n * static_cast<uint64_t>(j + 1) / static_cast<uint64_t>(jobs);
    const fs::path jobWork = work / std::to_string(j);
    if (jobs == 1) {
      tally = RunSeries(seed, from, to, jobWork, std::cout);
      break;
    }
    const pid_t child = fork();
    if (child < 0) {
      std::perror("fork");
      return 2;
    }
    if (child == 0) {
      {
        std::ofstream out(work / ("violations-" + std::to_string(j)));
        const TSoakTally part = RunSeries(seed, from, to, jobWork, out);
        std::ofstream(work / ("tally-" + std::to_string(j))) << part.Json().dump();
      }
      std::_Exit(0);
    }
    children.push_back(child);
  }
  bool jobFailed = false;
  for (const pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    jobFailed = jobFailed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  }
  for (size_t j = 0; j < children.size(); ++j) {
    std::ifstream violations(work / ("violations-" + std::to_string(j)));
    std::cout << std::string(std::istreambuf_iterator<char>(violations), {});
    std::ifstream part(work / ("tally-" + std::to_string(j)));
    if (!part) {
      jobFailed = true;
      continue;
    }
    tally.Merge(TSoakTally::FromJson(nlohmann::json::parse(part)));
  }
  std::cout << tally.Text();
  fs::remove_all(work);
  if (jobFailed) std::cout << "a job ended without its tally (see above)\n";
  return jobFailed || !tally.perInvariant.empty() ? 1 : 0;
}
