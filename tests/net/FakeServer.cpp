#include "FakeServer.h"

#include <chrono>

#include "serial/Rfc2217.h"

using namespace rfc2217;

TFakeServer::TFakeServer(TFakeBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  listener_ = fake_socket::ListenLoopback(port_);
  thread_ = std::thread([this] { Serve(); });
}

TFakeServer::~TFakeServer() {
  thread_.join();
  fake_socket::Close(listener_);
}

std::string TFakeServer::Name(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::vector<uint8_t>> TFakeServer::Orders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orders_;
}

// Serves one client until it leaves (or 15 s pass, so that a test that never connects ends).
void TFakeServer::Serve() {
  const intptr_t s = fake_socket::Accept(listener_, 15000);
  if (s < 0) return;
  TParser parser;
  bool dataSeen = false;
  bool speedAnswered = false;
  for (;;) {
    bool gone = false;
    const std::vector<uint8_t> in = fake_socket::Receive(s, 15000, gone);
    if (gone || in.empty()) break;
    std::vector<uint8_t> out, data;
    if (behaviour_.telnet) {
      std::vector<TEvent> events;
      parser.Feed(in.data(), in.size(), data, events);
      for (const TEvent& e : events) {
        if (behaviour_.negotiation == TFakeBehaviour::kSilent) continue;
        if (e.kind == TEvent::kNegotiation && e.verb == kWill) {
          const bool agree = behaviour_.negotiation == TFakeBehaviour::kAgree || e.option != kOptComPort;
          AppendNegotiation(out, agree ? kDo : kDont, e.option);
        } else if (e.kind == TEvent::kNegotiation && e.verb == kDo) {
          AppendNegotiation(out, kWill, e.option);
        } else if (e.kind == TEvent::kSubnegotiation && !e.payload.empty()) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            orders_.push_back(e.payload);
          }
          std::vector<uint8_t> value(e.payload.begin() + 1, e.payload.end());
          if (e.payload[0] == kSetBaudRate && behaviour_.answerSpeed != 0)
            value = BaudValue(behaviour_.answerSpeed);
          if (e.payload[0] == kSetBaudRate) {
            value.insert(value.end(), behaviour_.speedAnswerTail.begin(),
                         behaviour_.speedAnswerTail.end());
            if (!speedAnswered && behaviour_.firstSpeedAnswerLateMs > 0) {
              // Everything the client sends meanwhile waits in the connection.
              fake_socket::Send(s, out);
              out.clear();
              std::this_thread::sleep_for(std::chrono::milliseconds(behaviour_.firstSpeedAnswerLateMs));
            }
            speedAnswered = true;
          }
          AppendComPort(out, static_cast<uint8_t>(e.payload[0] + kServerOffset), value);
        }
      }
      AppendData(out, data.data(), data.size());
    } else {
      data = in;
      out = in;
    }
    if (!data.empty() && !dataSeen) {
      dataSeen = true;
      if (behaviour_.pauseOnFirstDataMs > 0) {
        std::vector<uint8_t> pause;
        AppendComPort(pause, kFlowControlSuspend + kServerOffset, {});
        pause.insert(pause.end(), out.begin(), out.end());
        fake_socket::Send(s, pause);
        std::this_thread::sleep_for(std::chrono::milliseconds(behaviour_.pauseOnFirstDataMs));
        out.clear();
        AppendComPort(out, kFlowControlResume + kServerOffset, {});
      }
      if (!behaviour_.onFirstData.empty() || behaviour_.closeOnFirstData) {
        out = behaviour_.onFirstData;
        fake_socket::Send(s, out);
        if (behaviour_.closeOnFirstData) break;
        continue;
      }
    }
    if (!out.empty()) fake_socket::Send(s, out);
  }
  fake_socket::Close(s);
}
