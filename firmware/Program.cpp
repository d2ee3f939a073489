#include "firmware/Program.h"

#include <algorithm>

#include "link/Devices.h"
#include "link/Link.h"

namespace {

const ByteText kProgrammingTP = "Programming TallyPilot, please wait...";
const ByteText kProgrammingServer = "Programming server, please wait...";
const ByteText kProgrammingFailed = "Communication error, programming failed!";

// The bytes of image k that are actually programmed: never more than the image buffer holds.
size_t TPLength(const TRunRecord& run, int k) {
  return std::min<size_t>(run.TPImageLen[k], kTPImageSize);
}

// The row request of the server's program memory: row address, then four words, each as its
// high 6 bits and its low 8 bits. Words without data go out as 0x3FFF.
ByteText RowRequest(const std::array<uint16_t, kSrvLastWord + 1>& image, uint16_t row) {
  ByteText request;
  request.push_back(static_cast<char>(row >> 8));
  request.push_back(static_cast<char>(row & 0xFF));
  for (uint16_t a = row; a < row + 4; ++a) {
    request.push_back(static_cast<char>((image[a] >> 8) & 0x3F));
    request.push_back(static_cast<char>(image[a] & 0xFF));
  }
  return request;
}

bool IsDone(const ByteText& reply) { return reply == Bytes({SrvReplyDone}); }

}  // namespace

void ProgramTP(TRunRecord& run, int k) {
  if (run.Outcome != kOutcomeOk || run.Terminated() || k < 1 || k > 3) return;
  TComPort& port = *run.Main.SerIF1;
  const auto& image = run.TPImage[k];
  const size_t length = TPLength(run, k);

  AddLog(run, kProgrammingTP);
  ProgressStart(run);
  run.NewComp = 0;
  uint16_t done = 0;
  const uint16_t total = static_cast<uint16_t>(2 * length);

  auto going = [&run] { return run.LinkOk && !run.Terminated(); };

  // Byte 0 holds the hardware version the handheld starts by; it stays 0 until the whole image
  // has been written and read back, so a programming that stops part way is never taken for a
  // complete one.
  const ByteText start = Bytes({CmdAddrLo, 0x00, CmdAddrHi, 0x00, CmdWriteNext, 0x00});
  Exchange(run, port, start, start);
  for (size_t i = 1; i < length && going(); ++i) {
    const ByteText write = Bytes({CmdWriteNext, image[i]});
    Exchange(run, port, write, write);
    ProgressAdvance(run, done, total);
  }

  const ByteText rewind = Bytes({CmdAddrLo, 0x01, CmdAddrHi, 0x00});
  Exchange(run, port, rewind, rewind);
  for (size_t i = 1; i < length && going(); ++i) {
    Exchange(run, port, Bytes({CmdReadNext}), Bytes({image[i]}));
    ProgressAdvance(run, done, total);
  }

  const uint8_t b0 = image[0];
  Exchange(run, port,
           Bytes({CmdAddrLo, 0x00, CmdAddrHi, 0x00, CmdWriteNext, b0, CmdAddrLo, 0x00, CmdReadNext}),
           Bytes({CmdAddrLo, 0x00, CmdAddrHi, 0x00, CmdWriteNext, b0, CmdAddrLo, 0x00, b0}));
  ProgressEnd(run);

  if (run.Outcome == kOutcomeOk && !run.Terminated() && !run.LinkOk) {
    AddLog(run, kProgrammingFailed);
    run.Outcome = kOutcomeFailed;
  }
}

void ProgramServer(TRunRecord& run, int k) {
  if (run.Outcome != kOutcomeOk || !run.MayGoOn() || k < 1 || k > 2) return;
  const auto& image = run.SrvImage[k];

  AddLog(run, kProgrammingServer);
  // From the first row on, whatever the server ran is gone.
  run.SrvNeedsRestore = true;
  ProgressStart(run);
  run.NewComp = 0;
  uint16_t done = 0;
  uint16_t total = 0;

  // The first row of the program is overwritten with placeholder words before anything else and
  // gets its real words only as the very last row, so the server never starts a program whose
  // upper rows are still those of the previous firmware or only half written.
  const ByteText placeholder =
      Bytes({0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05});
  if (!IsDone(SrvTransact(run, placeholder, false))) run.LinkOk = false;

  // Pass 0 counts the rows (two units each: written and checked), pass 1 writes them, pass 2
  // has the server check them. Rows go from the top of program memory down to 0x0100; a row is
  // sent when at least one of its words holds data.
  for (int pass = 0; pass < 3; ++pass) {
    uint16_t a = kSrvLastWord;
    while (a >= kSrvFirstWord && run.LinkOk && run.MayGoOn()) {
      if (image[a] == kSrvNoData) {
        --a;
        continue;
      }
      const uint16_t row = a & 0xFFFC;
      a = row - 1;
      if (pass == 0) {
        done += 2;
        continue;
      }
      ByteText reply;
      if (pass == 1) {
        reply = SrvTransact(run, RowRequest(image, row), false);
      } else {
        ByteText check;
        check.push_back(static_cast<char>(SrvCheckRow));
        check += RowRequest(image, row);
        reply = SrvTransact(run, check, true);
      }
      if (!IsDone(reply)) run.LinkOk = false;
      ProgressAdvance(run, done, total);
    }
    if (pass == 0) {
      total = done;
      done = 0;
    }
  }
  ProgressEnd(run);

  if (run.Outcome == kOutcomeOk && !run.LinkOk && run.MayGoOn()) {
    AddLog(run, kProgrammingFailed);
    run.Outcome = kOutcomeFailed;
  }
}

void RestoreTPFirmware(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || run.Terminated()) return;
  auto going = [&run] { return run.LinkOk && !run.Terminated(); };
  auto failIfLinkLost = [&run](const ByteText& message) {
    if (run.Outcome == kOutcomeOk && !run.Terminated() && !run.LinkOk) {
      AddLog(run, message);
      run.Outcome = kOutcomeFailed;
    }
  };

  AddLog(run, "--- Restoring TallyPilot RF modem firmware" + run.ModemVer + " ---");
  ProgramTP(run, 1);

  if (going()) {
    AddLog(run, "Preparing to execute firmware update...");
    // The update run takes the image's 16-bit value at bytes 27 (low) and 28 (high) less 2.
    auto& modem = run.TPImage[1];
    const uint16_t value = static_cast<uint16_t>(modem[27] | (modem[28] << 8));
    const uint16_t lowered = static_cast<uint16_t>(value - 2);
    modem[27] = static_cast<uint8_t>(lowered & 0xFF);
    modem[28] = static_cast<uint8_t>(lowered >> 8);
    PrepareRun(run, 1, RunStart);
  }
  if (going()) {
    AddLog(run, "Waiting for firmware update to finish...");
    // The update may take a long time: up to 2500 DSR samples 50 ms apart.
    ResetHandheld(run, 2500);
  }
  failIfLinkLost("Communication error, firmware execution failed!");

  if (run.Outcome == kOutcomeOk && !run.Terminated()) {
    const uint8_t status = ReadReg(run, CmdReg);
    if (status != 0 || !run.LinkOk) {
      AddLog(run, "Modem firmare update failed!");
      run.Outcome = kOutcomeFailed;
    }
  }

  if (run.Outcome == kOutcomeOk && !run.Terminated()) {
    AddLog(run, "--- Restoring TallyPilot EEPROM firmware" + run.EepromVer + " ---");
    ProgramTP(run, 2);
    // The handheld must take this last value without answering it.
    WriteReg(run, CfgReg, 0, false);
    failIfLinkLost("Communication error, finalization failed!");
  }
}
