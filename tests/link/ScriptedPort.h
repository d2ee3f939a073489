// Test doubles for the link: a clock whose sleeps only advance it, an operator bridge that
// records what the run showed, and port providers whose ports answer from a script and record
// everything the link did to them.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cerrno>

#include "run/DirectBridge.h"
#include "run/ByteText.h"
#include "run/Clock.h"
#include "serial/PortProvider.h"

class TFakeClock final : public Clock {
 public:
  Duration Now() override { return now_; }
  void Sleep(std::chrono::milliseconds duration) override { now_ += duration; }
  long long Ms() const { return std::chrono::duration_cast<std::chrono::milliseconds>(now_).count(); }

 private:
  Duration now_{0};
};

class TRecordingBridge final : public TDirectBridge {
 public:
  std::vector<std::string> Log;
  // "show:<text>", "handheld:<text>" (the wait for a handheld to be plugged in) and "hide" in
  // the order they came.
  std::vector<std::string> Status;
  // Runs when a status text is shown (an operator who reacts to it, Cancel for example).
  std::function<void()> OnShowStatus;

  void ShowLogLine(const ByteText& text) override { Log.push_back(text); }
  void ShowStatus(const ByteText& text) override {
    Status.push_back("show:" + text);
    if (OnShowStatus) OnShowStatus();
  }
  void ShowHandheldWait(const ByteText& text) override {
    Status.push_back("handheld:" + text);
    if (OnShowStatus) OnShowStatus();
  }
  void HideStatus() override { Status.push_back("hide"); }
};

// What stands behind one scripted port name.
struct TScriptedPeer {
  // The bytes the device puts into the input queue in answer to one written byte.
  std::function<ByteText(uint8_t)> answer = [](uint8_t) { return ByteText(); };
  // The DSR line at each ModemStatus call (the call's number counts from 0).
  std::function<bool(int)> dsr = [](int) { return true; };
  bool failWrites = false;
  bool failLines = false;  // the driver refuses DTR/RTS changes (as on a pseudo-terminal)
  int lateMs = 0;          // how late the port says its news of the lines may be

  ByteText written;
  ByteText input;
  int reads = 0;         // reads that reached the device
  int statusReads = 0;   // ModemStatus calls
  int opens = 0;
  bool open = false;
  // Line changes and purges with their virtual time: "300:DTR+", "400:purge".
  std::vector<std::string> events;
  int readConstant = 0;
};

// Answers the n-th written byte with answers[n] (-1: no answer); nothing after the list ends.
inline std::function<ByteText(uint8_t)> AnswerList(std::vector<int> answers) {
  auto next = std::make_shared<size_t>(0);
  return [answers = std::move(answers), next](uint8_t) {
    const size_t i = (*next)++;
    if (i >= answers.size() || answers[i] < 0) return ByteText();
    return ByteText(1, static_cast<char>(answers[i]));
  };
}

inline std::function<ByteText(uint8_t)> EchoEach() {
  return [](uint8_t b) { return ByteText(1, static_cast<char>(b)); };
}

class TScriptedProvider final : public TPortProvider {
 public:
  explicit TScriptedProvider(TFakeClock& clock) : clock_(clock) { RegisterPortProvider(this); }
  ~TScriptedProvider() override { UnregisterPortProvider(this); }

  TScriptedPeer& Peer(const std::string& name) { return peers_[name]; }

  bool Claims(const std::string& name) const override { return peers_.count(name) != 0; }
  void EnumPorts(std::vector<std::string>& names) const override {
    for (const auto& p : peers_) names.push_back(p.first);
  }
  std::unique_ptr<TPortBinding> CreateBinding(const std::string& name) override {
    return std::make_unique<Binding>(peers_.at(name), clock_);
  }

 private:
  class Binding final : public TPortBinding {
   public:
    Binding(TScriptedPeer& peer, TFakeClock& clock) : peer_(peer), clock_(clock) {}
    void Open(const std::string&) override {
      peer_.open = true;
      ++peer_.opens;
    }
    void Close() noexcept override { peer_.open = false; }
    void ApplyLineSettings(const TLineConfig& c) override {
      if (peer_.failLines && (c.dtr != dtr_ || c.rts != rts_))
        throw EComError(ENOTTY, "Inappropriate ioctl for device");
      if (c.dtr != dtr_) Event(c.dtr == dcEnable ? "DTR+" : "DTR-");
      if (c.rts != rts_) Event(c.rts == rcEnable ? "RTS+" : "RTS-");
      dtr_ = c.dtr;
      rts_ = c.rts;
    }
    void ApplyTimeouts(const TTimeoutConfig& c) override { peer_.readConstant = c.readConstant; }
    void ApplyBufferSizes(int32_t, int32_t) override {}
    size_t Read(unsigned char* buffer, size_t length) override {
      ++peer_.reads;
      size_t n = 0;
      while (n < length && !peer_.input.empty()) {
        buffer[n++] = static_cast<unsigned char>(peer_.input[0]);
        peer_.input.erase(0, 1);
      }
      if (n < length) clock_.Sleep(std::chrono::milliseconds(peer_.readConstant));
      return n;
    }
    size_t Write(const unsigned char* buffer, size_t length) override {
      if (peer_.failWrites) throw EComError(EIO, "Input/output error");
      for (size_t i = 0; i < length; ++i) {
        peer_.written += static_cast<char>(buffer[i]);
        peer_.input += peer_.answer(buffer[i]);
      }
      return length;
    }
    bool WaitWritten() override { return true; }
    int32_t InputCount() override { return static_cast<int32_t>(peer_.input.size()); }
    void PurgeInput() override {
      peer_.input.clear();
      Event("purge");
    }
    void PurgeOutput() override {}
    TModemStatus ModemStatus() override {
      return peer_.dsr(peer_.statusReads++) ? TModemStatus{msDSR} : TModemStatus{};
    }
    int ModemNewsLateMs() const override { return peer_.lateMs; }

   private:
    void Event(const std::string& what) {
      peer_.events.push_back(std::to_string(clock_.Ms()) + ":" + what);
    }
    TScriptedPeer& peer_;
    TFakeClock& clock_;
    TDTRControl dtr_ = dcDefault;
    TRTSControl rts_ = rcDefault;
  };

  TFakeClock& clock_;
  std::map<std::string, TScriptedPeer> peers_;
};
