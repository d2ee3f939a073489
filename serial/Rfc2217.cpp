#include "serial/Rfc2217.h"

namespace rfc2217 {

void TParser::Feed(const uint8_t* input, size_t length, std::vector<uint8_t>& data,
                   std::vector<TEvent>& events) {
  for (size_t i = 0; i < length && state_ != kStopped; ++i) {
    const uint8_t b = input[i];
    switch (state_) {
      case kData:
        if (b == kIac)
          state_ = kAfterIac;
        else
          data.push_back(b);
        break;
      case kAfterIac:
        if (b == kIac) {
          data.push_back(kIac);
          state_ = kData;
        } else if (b == kSb) {
          pending_ = TEvent{TEvent::kSubnegotiation, kSb, 0, {}};
          state_ = kSbOption;
        } else if (b >= kWill) {  // WILL, WONT, DO, DONT take an option byte
          pending_ = TEvent{TEvent::kNegotiation, b, 0, {}};
          state_ = kVerb;
        } else {
          events.push_back(TEvent{TEvent::kCommand, b, 0, {}});
          state_ = kData;
        }
        break;
      case kVerb:
        pending_.option = b;
        events.push_back(std::move(pending_));
        state_ = kData;
        break;
      case kSbOption:
        pending_.option = b;
        state_ = kSbData;
        break;
      case kSbData:
        if (b == kIac) {
          state_ = kSbAfterIac;
        } else if (pending_.payload.size() >= max_) {
          error_ = "malformed subnegotiation: longer than " + std::to_string(max_) + " bytes";
          state_ = kStopped;
        } else {
          pending_.payload.push_back(b);
        }
        break;
      case kSbAfterIac:
        if (b == kSe) {
          events.push_back(std::move(pending_));
          state_ = kData;
        } else if (b == kIac && pending_.payload.size() < max_) {
          pending_.payload.push_back(kIac);
          state_ = kSbData;
        } else if (b == kIac) {
          error_ = "malformed subnegotiation: longer than " + std::to_string(max_) + " bytes";
          state_ = kStopped;
        } else {
          error_ = "malformed subnegotiation: IAC " + std::to_string(b) + " inside it";
          state_ = kStopped;
        }
        break;
      case kStopped: break;
    }
  }
}

TAnswerMatcher::TTicket TAnswerMatcher::Sent(uint8_t command) {
  std::deque<TOrder>& open = open_[command];
  if (open.size() >= kOpenOrdersKept) {
    answers_.erase(open.front().ticket);
    open.pop_front();
  }
  open.push_back(TOrder{next_, true});
  return next_++;
}

void TAnswerMatcher::GiveUp(TTicket ticket) {
  answers_.erase(ticket);
  for (std::deque<TOrder>& open : open_)
    for (TOrder& o : open)
      if (o.ticket == ticket) o.wanted = false;
}

bool TAnswerMatcher::Answered(uint8_t command, std::vector<uint8_t> value) {
  std::deque<TOrder>& open = open_[command];
  if (open.empty()) return false;
  const TOrder order = open.front();
  open.pop_front();
  if (!order.wanted) return false;
  answers_[order.ticket] = std::move(value);
  return true;
}

std::optional<std::vector<uint8_t>> TAnswerMatcher::Take(TTicket ticket) {
  const auto it = answers_.find(ticket);
  if (it == answers_.end()) return std::nullopt;
  std::vector<uint8_t> value = std::move(it->second);
  answers_.erase(it);
  return value;
}

void TAnswerMatcher::Clear() {
  for (std::deque<TOrder>& open : open_) open.clear();
  answers_.clear();
}

void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) out.push_back(kIac);
  }
}

void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const std::vector<uint8_t>& value) {
  out.insert(out.end(), {kIac, kSb, kOptComPort});
  AppendData(out, &command, 1);
  AppendData(out, value.data(), value.size());
  out.insert(out.end(), {kIac, kSe});
}

std::vector<uint8_t> BaudValue(uint32_t rate) {
  return {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
          static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
}

uint32_t BaudFrom(const std::vector<uint8_t>& value) {
  if (value.size() != 4) return 0;
  return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
         uint32_t{value[3]};
}

std::string OptionName(uint8_t option) {
  switch (option) {
    case kOptBinary: return "BINARY";
    case kOptEcho: return "ECHO";
    case kOptSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
    case kOptComPort: return "COM-PORT-OPTION";
    default: return "option " + std::to_string(option);
  }
}

}  // namespace rfc2217
