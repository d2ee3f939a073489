#include "sim/BenchServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "serial/PortProvider.h"
#include "serial/Rfc2217.h"
#include "sim/Bench.h"

using namespace rfc2217;

namespace {

using WallClock = std::chrono::steady_clock;

// The bench's operator model counts DSR polls. A client on the network does not poll (the
// protocol has no request for the modem state): the server's own looks at the lines, at a
// steady pace, are the polls the bench counts. Between them the server watches the line
// without counting and notifies a change at once, unless it plays a polling device server
// (notify interval), which tells only what its looks saw.
constexpr auto kOperatorLook = std::chrono::milliseconds(200);

// What the server holds per port, as a device server's fixed buffers: bytes from the client not
// yet on the line, and bytes for the client not yet taken by it. A client that sends faster than
// the line carries, or does not read, is held back by TCP, not by the server's memory.
constexpr size_t kToLineLimit = 4096;
constexpr size_t kToClientLimit = 64 * 1024;
// One read from a client per round, so that a flood on one port does not hold up the others.
constexpr size_t kReadChunk = 4096;

int Listen(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("cannot listen on " + host + ": host not found");
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 4) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    throw std::runtime_error("cannot listen on " + host + ":" + service + ": " + why);
  }
  freeaddrinfo(found);
  return fd;
}

int LocalPort(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

}  // namespace

struct TBenchServer::TImpl {
  struct TPort {
    std::string name;
    int listenFd = -1;
    int port = 0;
    int client = -1;
    std::unique_ptr<TPortBinding> binding;  // the bench port while a client is connected
    TParser parser{kServerSubnegotiationLimit};
    std::vector<uint8_t> out;  // waiting to go to the client
    uint8_t modemMask = 0;
    int lastModem = -1;  // last state notified (-1: none yet)
    bool dtr = false, rts = false;  // the echo port's lines
    bool breakOn = false;
    uint32_t rate = 9600;  // the line settings as the client set them
    uint8_t dataSize = 8, parity = kParityNone, stopSize = kStopOne;
    uint64_t fromClient = 0;
    WallClock::time_point nextLook{};    // the next look at the lines that the operator counts
    WallClock::time_point nextNotify{};  // with a notify interval: the next look that notifies
  };

  TBench* bench;
  TBenchServerOptions options;
  std::vector<TPort> ports;
  WallClock::time_point start = WallClock::now();

  int64_t VirtualNow() const {
    const auto wall = std::chrono::duration<double, std::micro>(WallClock::now() - start).count();
    return static_cast<int64_t>(wall * options.speedFactor);
  }

  void Accept(TPort& p) {
    const int fd = accept4(p.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // A client that has just closed its connection may not have been noticed yet: what it
    // sent last is taken now, and its end frees the port for the new one.
    if (p.client >= 0) {
      bool alive = true;
      try {
        for (int chunk = 0; chunk < 64 && alive; ++chunk) {
          pollfd old{p.client, POLLIN, 0};
          if (poll(&old, 1, 0) <= 0) break;
          alive = FromClient(p);
        }
        if (alive) alive = Flush(p);
      } catch (const std::exception&) {
        alive = false;
      }
      if (!alive) Disconnect(p);
    }
    if (p.client >= 0) {
      // Busy, as a serial port with an opener is.
      close(fd);
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!options.echo) {
      try {
        p.binding = CreatePortBinding(p.name);
        p.binding->Open(p.name);
        TTimeoutConfig immediate;
        immediate.readInterval = -1;  // reads take what has arrived
        p.binding->ApplyTimeouts(immediate);
      } catch (const std::exception&) {
        p.binding.reset();
        close(fd);
        return;
      }
    }
    p.client = fd;
    p.parser = TParser(kServerSubnegotiationLimit);
    p.out.clear();
    p.modemMask = 0xFF;  // a client hears of every modem line until it sets a mask
    p.lastModem = -1;
    p.dtr = p.rts = true;  // opened: both lines up, as a terminal raises them
    p.breakOn = false;
    p.rate = 9600;
    p.dataSize = 8;
    p.parity = kParityNone;
    p.stopSize = kStopOne;
    p.fromClient = 0;
    p.nextLook = p.nextNotify = WallClock::now();
  }

  void Disconnect(TPort& p) {
    if (p.client < 0) return;
    close(p.client);
    p.client = -1;
    if (p.binding) {
      p.binding->Close();
      p.binding.reset();
    }
    p.out.clear();
  }

  // How many bytes from the client the port takes now.
  size_t RoomFromClient(const TPort& p) const {
    if (p.out.size() >= kToClientLimit) return 0;  // answers and echoes need room to go
    if (options.echo || !p.binding) return std::min(kReadChunk, (kToClientLimit - p.out.size()) / 2);
    const size_t queued = bench->QueuedToLine(p.name);
    return queued >= kToLineLimit ? 0 : std::min(kReadChunk, kToLineLimit - queued);
  }

  bool Polling() const { return options.notifyInterval > 0; }
  WallClock::duration NotifyEvery() const {
    return std::chrono::duration_cast<WallClock::duration>(
        std::chrono::duration<double>(options.notifyInterval));
  }
  WallClock::duration LookEvery() const {
    return std::max<WallClock::duration>(kOperatorLook, NotifyEvery());
  }

  // The lines as they are now; with poll, read as a DSR poll the bench's operator counts.
  uint8_t ModemState(TPort& p, bool poll = false) {
    if (options.echo) return static_cast<uint8_t>((p.dtr ? kModemDsr : 0) | (p.rts ? kModemCts : 0));
    if (poll) return p.binding->ModemStatus().Contains(msDSR) ? kModemDsr : 0;
    return bench->DsrNow(p.name) ? kModemDsr : 0;
  }

  // A change of the lines as the client hears of it: at once, or at the next look of a
  // polling server.
  void LinesMayHaveChanged(TPort& p) {
    if (!Polling()) NotifyModem(p, ModemState(p), false);
  }

  // The server's looks at the lines that are due at wall time now: the operator's polls, and
  // a polling server's notifications.
  void Look(TPort& p, WallClock::time_point now) {
    if (p.client < 0) return;
    if (p.binding && now >= p.nextLook) {
      const uint8_t state = ModemState(p, true);
      p.nextLook = now + LookEvery();
      if (Polling() && now >= p.nextNotify) {
        NotifyModem(p, state, false);
        p.nextNotify = now + NotifyEvery();
      }
    }
    if (Polling() && now >= p.nextNotify) {
      NotifyModem(p, ModemState(p), false);
      p.nextNotify = now + NotifyEvery();
    }
  }

  // Tells the client of a change of the lines it asked to hear about.
  void NotifyModem(TPort& p, uint8_t state, bool force) {
    if (p.modemMask == 0) return;
    if (!force && p.lastModem == state) return;
    uint8_t delta = 0;
    if (p.lastModem >= 0 && ((p.lastModem ^ state) & kModemDsr)) delta |= kModemDeltaDsr;
    if (p.lastModem >= 0 && ((p.lastModem ^ state) & kModemCts)) delta |= 0x01;
    p.lastModem = state;
    AppendComPort(p.out, kNotifyModemState + kServerOffset,
                  {static_cast<uint8_t>((state | delta) & p.modemMask)});
  }

  void SetLines(TPort& p) {
    if (!p.binding) return;
    TLineConfig c;
    c.dtr = p.dtr ? dcEnable : dcDisable;
    c.rts = p.rts ? rcEnable : rcDisable;
    p.binding->ApplyLineSettings(c);
  }

  void Answer(TPort& p, uint8_t command, std::vector<uint8_t> value) {
    AppendComPort(p.out, static_cast<uint8_t>(command + kServerOffset), value);
  }

  void OnComPort(TPort& p, const std::vector<uint8_t>& payload) {
    if (payload.empty()) return;
    const uint8_t command = payload[0];
    const std::vector<uint8_t> value(payload.begin() + 1, payload.end());
    const int v = value.empty() ? -1 : value[0];
    switch (command) {
      case kSignature:
        // Without text the client asks for ours; with text it tells its own, which needs no
        // answer.
        if (value.empty()) Answer(p, command, {options.signature.begin(), options.signature.end()});
        break;
      case kSetBaudRate: {
        // 0 asks for the rate in use.
        const uint32_t rate = BaudFrom(value);
        if (rate != 0) {
          if (p.binding) {
            TLineConfig c;
            c.baudRate = brCustom;
            c.customBaudRate = static_cast<int>(rate);
            p.binding->ApplyLineSettings(c);
          }
          p.rate = rate;
        }
        Answer(p, command, BaudValue(p.rate));
        break;
      }
      // The bench carries bytes, not bits: every framing a UART has is taken; 0 (and a value no
      // UART has) asks for the one in use.
      case kSetDataSize:
        if (v >= 5 && v <= 8) p.dataSize = static_cast<uint8_t>(v);
        Answer(p, command, {p.dataSize});
        break;
      case kSetParity:
        if (v >= 1 && v <= 5) p.parity = static_cast<uint8_t>(v);
        Answer(p, command, {p.parity});
        break;
      case kSetStopSize:
        if (v >= 1 && v <= 3) p.stopSize = static_cast<uint8_t>(v);
        Answer(p, command, {p.stopSize});
        break;
      case kSetControl: {
        // Each answer is the setting in use after the order: the lines as set, no flow control
        // either way (the only one here), BREAK as asked.
        uint8_t answer = static_cast<uint8_t>(std::max(v, 0));
        switch (v) {
          case kDtrOn: case kDtrOff: p.dtr = v == kDtrOn; SetLines(p); break;
          case kRtsOn: case kRtsOff: p.rts = v == kRtsOn; SetLines(p); break;
          case kDtrAsk: answer = p.dtr ? kDtrOn : kDtrOff; break;
          case kRtsAsk: answer = p.rts ? kRtsOn : kRtsOff; break;
          case kBreakOn: case kBreakOff: p.breakOn = v == kBreakOn; break;
          case kBreakAsk: answer = p.breakOn ? kBreakOn : kBreakOff; break;
          case kFlowAsk: case kFlowNone: case kFlowXonXoff: case kFlowHardware:
          case 17: case 19:  // DCD or DSR flow control, outbound
            answer = kFlowNone;
            break;
          case kFlowInAsk: case kFlowInNone: case kFlowInXonXoff: case kFlowInHardware:
          case 18:  // DTR flow control, inbound
            answer = kFlowInNone;
            break;
          default: break;
        }
        Answer(p, command, {answer});
        LinesMayHaveChanged(p);
        break;
      }
      case kSetLineStateMask: Answer(p, command, value); break;
      case kSetModemStateMask:
        p.modemMask = static_cast<uint8_t>(std::max(v, 0));
        Answer(p, command, value);
        NotifyModem(p, ModemState(p), true);
        break;
      case kPurgeData:
        if (p.binding && (v == kPurgeReceive || v == kPurgeBoth)) p.binding->PurgeInput();
        if (p.binding && (v == kPurgeTransmit || v == kPurgeBoth)) p.binding->PurgeOutput();
        Answer(p, command, value);
        break;
      default: break;  // notifications and flow control suspend/resume need no answer
    }
  }

  void OnNegotiation(TPort& p, const TEvent& e) {
    const uint8_t o = e.option;
    // We take binary and unbuffered transfer both ways and the client's COM port control.
    if (e.verb == kWill) {
      const bool ok = o == kOptComPort || o == kOptBinary || o == kOptSuppressGoAhead;
      AppendNegotiation(p.out, ok ? kDo : kDont, o);
      // The lines as they are, for a client that reads them before any of them changes.
      if (o == kOptComPort) NotifyModem(p, ModemState(p), true);
    } else if (e.verb == kDo) {
      const bool ok = o == kOptBinary || o == kOptSuppressGoAhead;
      AppendNegotiation(p.out, ok ? kWill : kWont, o);
    }
  }

  // What came from the client; false when the connection is to be closed.
  bool FromClient(TPort& p) {
    uint8_t chunk[kReadChunk];
    const size_t room = RoomFromClient(p);
    if (room == 0) return true;
    const ssize_t n = recv(p.client, chunk, room, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    std::vector<uint8_t> data;
    std::vector<TEvent> events;
    p.parser.Feed(chunk, static_cast<size_t>(n), data, events);
    for (const TEvent& e : events) {
      if (e.kind == TEvent::kNegotiation) OnNegotiation(p, e);
      else if (e.kind == TEvent::kSubnegotiation && e.option == kOptComPort) OnComPort(p, e.payload);
    }
    if (!data.empty()) {
      bool drop = false;
      if (options.dropAfter > 0 && p.name == options.dropPort &&
          p.fromClient + data.size() >= options.dropAfter) {
        data.resize(static_cast<size_t>(options.dropAfter - p.fromClient));
        drop = true;
      }
      p.fromClient += data.size();
      if (options.echo)
        AppendData(p.out, data.data(), data.size());
      else if (!data.empty())
        p.binding->Write(data.data(), data.size());
      if (drop) return false;
    }
    return !p.parser.Failed();
  }

  // Sends what waits for the client; false when the client is gone.
  bool Flush(TPort& p) {
    while (!p.out.empty()) {
      const ssize_t n = send(p.client, p.out.data(), p.out.size(), MSG_NOSIGNAL);
      if (n > 0) {
        p.out.erase(p.out.begin(), p.out.begin() + n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    return true;
  }

  // Moves the bench to the present and hands on what has arrived at its ports.
  void Settle(int64_t now) {
    if (!bench) return;
    bench->AdvanceTo(Clock::Duration(now));
    for (TPort& p : ports) {
      if (p.client < 0 || !p.binding) continue;
      try {
        const size_t room = kToClientLimit - std::min(kToClientLimit, p.out.size());
        const int32_t count = std::min<int32_t>(p.binding->InputCount(), static_cast<int32_t>(room / 2));
        if (count > 0) {
          std::vector<uint8_t> data(static_cast<size_t>(count));
          data.resize(p.binding->Read(data.data(), data.size()));
          AppendData(p.out, data.data(), data.size());
        }
        LinesMayHaveChanged(p);
      } catch (const std::exception&) {
        Disconnect(p);
      }
    }
  }
};

TBenchServer::TBenchServer(TBench* bench, const TBenchServerOptions& options)
    : impl_(std::make_unique<TImpl>()) {
  impl_->bench = bench;
  impl_->options = options;
  if (impl_->options.speedFactor <= 0) impl_->options.speedFactor = 1.0;
  std::vector<std::string> names;
  if (options.echo || !bench) names = {"ECHO"};
  else names = bench->PortNames();
  int next = options.firstPort;
  for (const std::string& name : names) {
    TImpl::TPort p;
    p.name = name;
    p.listenFd = Listen(options.host, next);
    p.port = LocalPort(p.listenFd);
    if (next != 0) ++next;
    impl_->ports.push_back(std::move(p));
  }
}

TBenchServer::~TBenchServer() {
  for (auto& p : impl_->ports) {
    impl_->Disconnect(p);
    if (p.listenFd >= 0) close(p.listenFd);
  }
}

std::vector<std::string> TBenchServer::Endpoints() const {
  std::vector<std::string> list;
  const std::string& h = impl_->options.host;
  const std::string host = h.find(':') != std::string::npos ? "[" + h + "]" : h;
  for (const auto& p : impl_->ports)
    list.push_back(p.name + " rfc2217://" + host + ":" + std::to_string(p.port));
  return list;
}

void TBenchServer::Run(const std::atomic<bool>& stop) {
  TImpl& s = *impl_;
  s.start = WallClock::now();
  std::vector<pollfd> fds;
  while (!stop.load()) {
    const int64_t now = s.VirtualNow();
    s.Settle(now);
    const WallClock::time_point wallNow = WallClock::now();
    for (auto& p : s.ports) {
      try {
        s.Look(p, wallNow);
      } catch (const std::exception&) {
        s.Disconnect(p);
      }
      if (p.client >= 0 && !s.Flush(p)) s.Disconnect(p);
    }

    // Wake for the next arrival on a line; while a client is there, every 5 ms to watch its
    // lines, and for the server's next look at them; else at the latest in 100 ms.
    const int64_t next = s.bench ? s.bench->NextArrival().count() : INT64_MAX;
    int64_t waitUs = 100'000;
    for (const auto& p : s.ports) {
      if (p.client < 0) continue;
      if (s.bench) waitUs = std::min<int64_t>(waitUs, 5'000);
      for (const WallClock::time_point at : {p.binding ? p.nextLook : WallClock::time_point::max(),
                                             s.Polling() ? p.nextNotify : WallClock::time_point::max()}) {
        if (at == WallClock::time_point::max()) continue;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - wallNow).count();
        waitUs = std::clamp<int64_t>(us + 1, 0, waitUs);
      }
    }
    if (next != INT64_MAX) {
      const double wall = static_cast<double>(next - now) / s.options.speedFactor;
      waitUs = std::clamp<int64_t>(static_cast<int64_t>(wall) + 1, 0, waitUs);
    }
    fds.clear();
    for (const auto& p : s.ports) {
      fds.push_back({p.listenFd, POLLIN, 0});
      // A client is read only while its port has room; else TCP holds it back.
      const short in = p.client >= 0 && s.RoomFromClient(p) > 0 ? POLLIN : 0;
      fds.push_back({p.client, static_cast<short>(in | (p.out.empty() ? 0 : POLLOUT)), 0});
    }
    const timespec ts{static_cast<time_t>(waitUs / 1'000'000), static_cast<long>(waitUs % 1'000'000) * 1000};
    const int r = ppoll(fds.data(), fds.size(), &ts, nullptr);
    if (r <= 0) continue;
    s.Settle(s.VirtualNow());  // bytes from a client are written at the present virtual time
    for (size_t i = 0; i < s.ports.size(); ++i) {
      TImpl::TPort& p = s.ports[i];
      if (fds[2 * i].revents & POLLIN) s.Accept(p);
      const short ev = fds[2 * i + 1].revents;
      if (p.client < 0 || fds[2 * i + 1].fd < 0) continue;
      bool alive = true;
      try {
        if ((ev & (POLLHUP | POLLERR)) && s.RoomFromClient(p) == 0)
          alive = false;  // gone, and what it sent last has no room to go anyway
        else if (ev & (POLLIN | POLLHUP | POLLERR))
          alive = s.FromClient(p);
      } catch (const std::exception&) {
        alive = false;
      }
      if (alive) alive = s.Flush(p);
      if (!alive) s.Disconnect(p);
    }
  }
}
