#include "app/ConsoleFrontEnd.h"

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>

#include "app/ConsolePlatform.h"
#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "front/MarshalledBridge.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "serial/PortAccess.h"
#include "serial/PortProvider.h"
#include "sim/Bench.h"
#include "tuning/SerThread.h"

namespace {

// Texts from the run break lines with a carriage return, some with CR LF: one line break each.
std::string ForTerminal(const ByteText& text) {
  std::string s;
  s.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      s += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      s += c;
    }
  }
  return s;
}

enum class TPrompt { None, Ok, YesNo };

// The console's side of the operator bridge, on the main thread: the run's calls reach it
// through a marshalled bridge that the main loop serves.
class TConsoleBridge final : public TOperatorBridge {
 public:
  TConsoleBridge(TCliIo& io) : io_(io) {}

  void ShowLogLine(const ByteText& text) override {
    ClearBar();
    io_.out << ForTerminal(text) << '\n' << std::flush;
  }
  void ProgressStart() override {
    shownTenth_ = -1;
    Progress(0);
  }
  void ProgressStep(int percent, bool) override { Progress(percent); }
  void ProgressEnd() override { ClearBar(); }
  void ShowStatus(const ByteText& text) override {
    io_.out << ForTerminal(text) << '\n' << std::flush;
  }
  void ShowHandheldWait(const ByteText& text) override {
    ShowStatus(text);
    // Decided before the worker goes on, so that the same input always gives the same run.
    handheldWait_ = true;
    if (onHandheldWait_) onHandheldWait_();
  }
  void HideStatus() override { handheldWait_ = false; }
  void ShowOkPrompt(const ByteText& text) override { Ask(text, TPrompt::Ok); }
  void ShowYesNoPrompt(const ByteText& text) override { Ask(text, TPrompt::YesNo); }
  // The worker's last call: after it the worker only returns, so the main loop need not wait for
  // another round of the queue to see its end.
  void EndRunUi() override { runEnded_ = true; }
  void RunOnUi(const std::function<void()>& work) override { work(); }

  // Called when the run starts waiting for a handheld to be plugged in.
  void OnHandheldWait(std::function<void()> handler) { onHandheldWait_ = std::move(handler); }
  // The run waits for a handheld to be plugged in.
  bool WaitingForHandheld() const { return handheldWait_; }
  bool RunEnded() const { return runEnded_; }
  TPrompt TakePrompt() {
    TPrompt p = prompt_;
    prompt_ = TPrompt::None;
    return p;
  }

 private:
  void Ask(const ByteText& text, TPrompt kind) {
    io_.out << '\n' << ForTerminal(text) << '\n' << std::flush;
    prompt_ = kind;
  }
  void Progress(int percent) {
    if (io_.progressBar) {
      const int filled = percent * 40 / 100;
      io_.err << "\r[" << std::string(filled, '#') << std::string(40 - filled, ' ') << "] "
              << percent << "%" << std::flush;
      barShown_ = true;
    } else if (percent / 10 > shownTenth_) {
      shownTenth_ = percent / 10;
      io_.err << "progress " << shownTenth_ * 10 << "%\n" << std::flush;
    }
  }
  void ClearBar() {
    if (barShown_) io_.err << "\r" << std::string(48, ' ') << "\r" << std::flush;
    barShown_ = false;
  }

  TCliIo& io_;
  std::function<void()> onHandheldWait_;
  bool handheldWait_ = false;
  bool runEnded_ = false;
  TPrompt prompt_ = TPrompt::None;
  int shownTenth_ = -1;
  bool barShown_ = false;
};

// The console's record sink: the store (if any) keeps the records, and with --json each finished
// device is also printed as one JSON line, on the main thread, after its result line.
class TConsoleRecords final : public TRecordSink {
 public:
  TConsoleRecords(TRecordSink* store, TOperatorBridge& bridge, TCliIo& io, bool json, bool bench)
      : store_(store), bridge_(bridge), io_(io), json_(json), bench_(bench) {}

  void Put(const TTuningRecord& record) override {
    if (store_) store_->Put(Stamped(record));
  }
  void PutOpen(const TTuningRecord& record) override {
    if (store_) store_->PutOpen(Stamped(record));
  }
  void SetWho(std::string operatorName, std::string workOrder) {
    operator_ = std::move(operatorName);
    workOrder_ = std::move(workOrder);
  }
  // After the device's result line, and after its record was kept.
  void Shown(const TTuningRecord& record) override {
    if (json_) {
      const std::string line = RecordJson(Stamped(record), false).dump(
          -1, ' ', false, nlohmann::json::error_handler_t::replace);
      bridge_.RunOnUi([&] { io_.out << line << '\n' << std::flush; });
    }
  }
  std::optional<TTuningRecord> LatestCompleted(const std::string& mac) override {
    return store_ ? store_->LatestCompleted(mac) : std::nullopt;
  }
  TTunedBefore LookUpTuned(const std::string& mac) override {
    return store_ ? store_->LookUpTuned(mac) : TTunedBefore{true, std::nullopt};
  }
  std::vector<std::string> TakeMessages() override {
    return store_ ? store_->TakeMessages() : std::vector<std::string>{};
  }
  void Flush() override {
    if (store_) store_->Flush();
  }
  bool WaitDelivered(std::chrono::milliseconds patience) override {
    return store_ ? store_->WaitDelivered(patience) : true;
  }
  int Waiting() override { return store_ ? store_->Waiting() : 0; }
  int Unsaved() override { return store_ ? store_->Unsaved() : 0; }
  std::string SpoolFolder() const override { return store_ ? store_->SpoolFolder() : ""; }
  bool Bench() const override { return bench_; }

 private:
  TTuningRecord Stamped(const TTuningRecord& record) const {
    TTuningRecord r = record;
    if (r.Operator.empty()) r.Operator = operator_;
    if (r.WorkOrder.empty()) r.WorkOrder = workOrder_;
    return r;
  }

  TRecordSink* store_;
  TOperatorBridge& bridge_;
  TCliIo& io_;
  bool json_, bench_;
  std::string operator_, workOrder_;
};

// Answers: the command line's list first, then one word a line from a file descriptor. End of
// input means Cancel (Ctrl-C and SIGTERM do too, through the interrupted flag).
class TAnswers {
 public:
  TAnswers(const std::vector<std::string>& list, TCliIo& io) : list_(list), io_(io) {}

  // Nothing more will ever come: the list is used up and standard input has ended. Looks at
  // standard input without waiting; what it reads is kept for the next prompt.
  bool AtEnd() {
    if (next_ < list_.size() || !buffer_.empty()) return false;
    if (!eof_) Fill(0);
    return eof_ && buffer_.empty();
  }

  std::string Next() {
    if (next_ < list_.size()) {
      io_.out << "> " << list_[next_] << '\n' << std::flush;
      return list_[next_++];
    }
    io_.out << "[answer] " << std::flush;
    std::string line;
    if (!ReadLine(line)) {
      io_.out << '\n' << std::flush;
      return "cancel";
    }
    return line;
  }

 private:
  bool Interrupted() const { return io_.interrupted && io_.interrupted->load(); }

  bool ReadLine(std::string& line) {
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        return true;
      }
      if (eof_ || Interrupted()) {
        if (buffer_.empty()) return false;
        line.swap(buffer_);
        buffer_.clear();
        return true;
      }
      Fill(100);
    }
  }

  // Waits up to timeoutMs for input and adds what came to the buffer; notes the end of input.
  void Fill(int timeoutMs) {
    if (ReadAvailableInput(io_.answerFd, buffer_, timeoutMs) == TInputResult::kEnd) eof_ = true;
  }

  const std::vector<std::string>& list_;
  TCliIo& io_;
  size_t next_ = 0;
  std::string buffer_;
  bool eof_ = false;
};

void FillPortSelector(TComboModel& combo, const std::vector<std::string>& ports,
                      const std::string& choice) {
  combo.Clear();
  combo.Add("Auto detect");
  for (const auto& p : ports) combo.Add(p);
  if (choice == "auto") {
    combo.Select(0);
    return;
  }
  SelectComboItem(combo, choice);
  if (combo.ItemIndex == 0) {
    // A port the list does not show (a pseudo-terminal, say) is still a port to try.
    combo.Add(choice);
    combo.Select(static_cast<int>(combo.Items.size()) - 1);
  }
}

std::vector<std::string> PortList() {
  std::vector<std::string> ports;
  EnumAllPorts(ports);
  return ports;
}

}  // namespace

std::string CliUsage() {
  return "Usage: tptune-cli [options]\n"
         "Fine-tunes the crystal offset compensation of TallyPilot handhelds or the server.\n"
         "\n"
         "Options:\n"
         "  --gold server|handheld   golden reference (default: server)\n"
         "  --analysis-only          measure only, do not change the compensation setting\n"
         "  --restore-server         restore the server firmware after the test\n"
         "  --restore-handheld       restore the handheld firmware after the test\n"
         "  --dongle PORT|auto       port of the dongle (default: auto detect)\n"
         "  --server PORT|auto       port of the server (default: auto detect)\n"
         "  --rf-modem FILE          RF modem firmware package\n"
         "  --eeprom FILE            TallyPilot (EEPROM) firmware package\n"
         "  --server-firmware FILE   server firmware package\n"
         "  --bench [SCENARIO.json]  run against the emulated bench (virtual time)\n"
         "  --bench-report FILE      write the bench's final device states as JSON\n"
         "  --trace FILE             write the error log (run trace) here\n"
         "  --answers A,B,...        answers to the prompts in order: ok, yes, no, cancel;\n"
         "                           then standard input, one a line; end of input: cancel\n"
         "                           (also while waiting for a handheld); Ctrl-C, SIGTERM: cancel\n" +
         std::string(kRecordsOptionsUsage) +
         "  --json                   print each finished device as one JSON line, and at the\n"
         "                           end how many records still wait for the store (kept on\n"
         "                           the disk) and how many were kept nowhere\n"
         "  --list-ports             list the serial ports and exit\n"
         "  --help                   show this text\n"
         "  --version                show the program's version and build date\n"
         "\n"
         "Exit status: 0 when the last attempt on every device tuned ended\n"
         "\"Completed successfully!\", 1 otherwise, 2 for unusable options or a records\n"
         "location that cannot keep records, 3 when a device's record could be kept nowhere\n"
         "(\"Record NOT kept\"; the run then asks for no further handheld).\n";
}

std::optional<std::string> NoOptionsHelp(const std::vector<std::string>& args,
                                         bool ownConsole) {
  if (!args.empty() || !ownConsole) return std::nullopt;
  return "tptune-cli runs the fine-tuning from a command line: it needs the firmware packages\n"
         "and the ports as options. Start it from a command prompt:\n"
         "  tptune-cli --help                 lists the options\n"
         "  tptune-cli --bench --rf-modem ... tries a run on the emulated bench\n"
         "The window (tptune) asks for the same things itself.\n";
}

std::optional<std::string> ParseCliOptions(const std::vector<std::string>& args,
                                           TCliOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> std::optional<std::string> {
      if (i + 1 >= args.size() || args[i + 1].empty())
        return "option " + a + " needs a value";
      into = args[++i];
      return std::nullopt;
    };
    std::optional<std::string> problem;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--list-ports") {
      o.listPorts = true;
    } else if (a == "--gold") {
      std::string g;
      problem = value(g);
      if (!problem && g != "server" && g != "handheld")
        problem = "--gold takes server or handheld, not \"" + g + "\"";
      o.goldHandheld = g == "handheld";
    } else if (a == "--analysis-only") {
      o.analysisOnly = true;
    } else if (a == "--restore-server") {
      o.restoreServer = true;
    } else if (a == "--restore-handheld") {
      o.restoreHandheld = true;
    } else if (a == "--dongle") {
      problem = value(o.dongle);
    } else if (a == "--server") {
      problem = value(o.server);
    } else if (a == "--rf-modem") {
      problem = value(o.rfModem);
    } else if (a == "--eeprom") {
      problem = value(o.eeprom);
    } else if (a == "--server-firmware") {
      problem = value(o.serverFirmware);
    } else if (a == "--bench") {
      o.bench = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) o.benchScenario = args[++i];
    } else if (a == "--bench-report") {
      problem = value(o.benchReport);
    } else if (a == "--trace") {
      problem = value(o.trace);
    } else if (a == "--records") {
      problem = value(o.records);
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--operator") {
      problem = value(o.operatorName);
    } else if (a == "--work-order") {
      problem = value(o.workOrder);
    } else if (a == "--answers") {
      std::string list;
      problem = value(list);
      size_t start = 0;
      while (!problem && start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string word = list.substr(start, comma - start);
        if (word != "ok" && word != "yes" && word != "no" && word != "cancel")
          problem = "--answers takes ok, yes, no and cancel, not \"" + word + "\"";
        o.answers.push_back(word);
        start = comma + 1;
      }
    } else {
      problem = "unknown option \"" + a + "\"";
    }
    if (problem) return problem;
  }
  if (!o.benchReport.empty() && !o.bench) return "--bench-report needs --bench";
  return std::nullopt;
}

int RunCli(const TCliOptions& options, const std::string& programPath, TCliIo& io) {
  std::unique_ptr<TBench> bench;
  if (options.bench) {
    try {
      bench = OpenBench(options.benchScenario);
    } catch (const std::exception& e) {
      io.err << "tptune-cli: " << e.what() << '\n';
      return 2;
    }
  }

  if (options.listPorts) {
    // One port a line: its name, then its adapter and why the user may not open it.
    const std::map<std::string, std::string> adapters = PortAdapterNames();
    for (const auto& p : PortList()) {
      const auto adapter = adapters.find(p);
      io.out << PortListLine(p, adapter == adapters.end() ? "" : adapter->second,
                             PortAccessMark(PortAccess(p)))
             << '\n';
    }
    return 0;
  }

  TComPort port1, port2;
  SetUpPortObject(port1, 0);
  SetUpPortObject(port2, 1);

  TMainFields fields;
  fields.GoldTP = options.goldHandheld;
  fields.AnalysisOnly = options.analysisOnly;
  fields.RestoreSrv = options.restoreServer;
  fields.RestoreTP = options.restoreHandheld;
  // Beside the program, or for an installed program its data folder and the user's own; the
  // window and the records program of the same installation work these out alike.
  const TFrontEndSetup setup =
      FrontEndSetup({programPath, bench != nullptr, options.records});
  fields.ProgDir = setup.Files.ProgDir;
  fields.IniName = setup.Files.IniName;
  fields.TraceName = options.trace;
  fields.SerIF1 = &port1;
  fields.SerIF2 = &port2;
  // On the emulated bench only its own ports are probed: a run there never touches the
  // machine's serial devices.
  const std::vector<std::string> ports = WithFallbackPorts(bench ? bench->PortNames() : PortList());
  FillPortSelector(fields.COM1Combo, ports, options.dongle);
  FillPortSelector(fields.COM2Combo, ports, options.server);
  fields.File1Combo.Text = options.rfModem;
  fields.File2Combo.Text = options.eeprom;
  fields.File3Combo.Text = options.serverFirmware;

  // A program file that carries a firmware bundle takes its packages from it, and the bundle may
  // fix the golden reference and the analysis-only choice.
  if (setup.Bundle.Status == TEmbeddedBundle::TStatus::kHeaderUnreadable) {
    io.err << "tptune-cli: cannot read the program file " << programPath << '\n';
    return 1;
  }
  if (setup.Choices) {
    const TBundleChoices& choices = *setup.Choices;
    fields.EmbPkg = setup.Bundle.Bytes;
    ApplyBundleChoices(choices, fields);
    io.err << "Using the embedded firmware bundle"
           << (choices.title ? " \"" + *choices.title + "\"" : std::string()) << '\n';
  }

  if (!fields.EmbPkg) {
    // The run's own line names the packages it could not read; say here which option is missing.
    auto missing = [&](const std::string& value, const char* what, const char* option) {
      if (value.empty())
        io.err << "tptune-cli: no " << what << " package given; use " << option << " FILE\n";
    };
    if (fields.RestoreTP || !fields.GoldTP) {
      missing(options.rfModem, "RF modem firmware", "--rf-modem");
      missing(options.eeprom, "TallyPilot (EEPROM) firmware", "--eeprom");
    }
    if (fields.RestoreSrv || fields.GoldTP)
      missing(options.serverFirmware, "server firmware", "--server-firmware");
  }

  // Before the first device: a location that cannot keep records is refused, so no handheld is
  // tuned without its record.
  std::string recordsNote;
  const std::string recordsProblem = CheckRecordsLocation(setup, &recordsNote);
  if (!recordsProblem.empty()) {
    io.err << "tptune-cli: " << recordsProblem << '\n';
    return 2;
  }
  if (!recordsNote.empty()) io.err << recordsNote << '\n';

  TConsoleBridge console(io);
  // The main loop serves the run's calls itself: no wake-up needed.
  TMarshalledBridge bridge(console);
  TAnswers answers(options.answers, io);
  const std::unique_ptr<TRecordSink> store = OpenRecordSink(setup);
  TConsoleRecords records(store.get(), bridge, io, options.json, bench != nullptr);
  records.SetWho(options.operatorName, options.workOrder);

  // The worker starts at once; cancel reaches it once it exists.
  std::atomic<TSerThread*> running{nullptr};
  Clock* clock = bench ? &bench->VirtualClock() : &RealClock();
  if (bench && io.wrapBenchClock)
    clock = &io.wrapBenchClock(*clock, [&running] {
      if (TSerThread* worker = running.load()) worker->RequestTermination();
    });
  bool cancelled = false;
  auto cancel = [&] {
    TSerThread* worker = running.load();
    if (cancelled || worker == nullptr) return;
    cancelled = true;
    io.err << "Cancelling...\n" << std::flush;
    worker->RequestTermination();
  };
  // Waiting for a handheld with no answer left to give: nobody is there to plug it in. Nor on
  // the emulated bench once every handheld of its scenario has been plugged in, whatever answers
  // are left: the wait would never end, and on the bench's clock its polls would spin on a core.
  // The worker is blocked in this call, so the bench may be looked at.
  console.OnHandheldWait([&] {
    if (answers.AtEnd() || (bench && bench->CurrentHandheld() >= bench->HandheldCount()))
      cancel();
  });
  TSerThread worker(fields, bridge, *clock, &records);
  running.store(&worker);

  while (!worker.Ended() && !console.RunEnded()) {
    bridge.Serve(std::chrono::milliseconds(50));
    if (io.interrupted && io.interrupted->load()) cancel();
    if (console.WaitingForHandheld() && answers.AtEnd()) cancel();
    const TPrompt prompt = console.TakePrompt();
    if (prompt == TPrompt::None) continue;
    for (;;) {
      const std::string a = cancelled ? "cancel" : answers.Next();
      if (a == "cancel") {
        cancel();
      } else if (a == "ok" || (a == "yes" && prompt == TPrompt::YesNo)) {
        worker.ReleaseOperator(false);
      } else if (a == "no" && prompt == TPrompt::YesNo) {
        worker.ReleaseOperator(true);
      } else {
        io.out << (prompt == TPrompt::Ok ? "Please answer ok or cancel.\n"
                                         : "Please answer yes or no (or cancel).\n");
        continue;
      }
      break;
    }
  }
  worker.Join();

  if (bench && !options.benchReport.empty()) {
    try {
      bench->WriteReport(options.benchReport);
    } catch (const std::exception& e) {
      io.err << "tptune-cli: " << e.what() << '\n';
    }
  }

  // With --json the run's last line says how many records still wait for their store (on the
  // disk) and how many were kept nowhere.
  if (options.json && store)
    io.out << nlohmann::json{{"records_waiting", store->Waiting()},
                             {"records_unsaved", store->Unsaved()},
                             {"spool", store->SpoolFolder()}}
                  .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
           << '\n'
           << std::flush;

  if (!worker.TraceError().empty())
    io.err << "tptune-cli: warning: the error log file " << worker.TraceName()
           << " could not be written: " << worker.TraceError() << '\n';

  if (worker.Tally().NotKept > 0) return kExitRecordNotKept;
  return worker.Tally().EveryDeviceCompleted ? 0 : 1;
}
