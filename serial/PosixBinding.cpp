// The POSIX terminal binding: an operating-system serial device driven through termios.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "serial/PlatformError.h"
#include "serial/PortProvider.h"
#include "serial/PosixSpeed.h"
#include "serial/PosixTermios.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, rounded up, never negative.
int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

class TPosixBinding final : public TPortBinding {
 public:
  ~TPosixBinding() override { Close(); }

  void Open(const std::string& deviceName) override {
    Close();
    const int fd = ::open(deviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) RaisePlatformError(errno);
    // Exclusive use. The lock comes first: a second opener that fails here must not touch the
    // terminal's exclusive mode, which belongs to the first. TIOCEXCL alone does not stop a
    // privileged process; the lock stops everyone who takes it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;  // EWOULDBLOCK: the device is in use
      ::close(fd);
      RaisePlatformError(err);
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
      const int err = errno;  // ENOTTY: not a terminal at all
      flock(fd, LOCK_UN);
      ::close(fd);
      RaisePlatformError(err);
    }
    fd_ = fd;
    linesSet_ = false;
    SetLowLatency();
  }

  void Close() noexcept override {
    if (fd_ < 0) return;
    if (rs485On_) SetRs485(false);
    // Without TIOCNXCL the terminal stays exclusive for its next user (a pseudo-terminal keeps
    // the mode even after its last close). Errors (a hung-up line) change nothing here.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    rs485On_ = false;
    linesSet_ = false;
    writePending_ = false;
  }

  // Applies the composed settings (see PosixTermios.h), then checks that the driver kept the
  // character framing and hardware flow control it was given: drivers that cannot do a framing
  // (a pseudo-terminal always runs 8 bits without parity, some UARTs lack mark/space parity)
  // quietly substitute their own, which would garble every byte. Such a refusal is EINVAL and
  // the previous settings are put back.
  void ApplyLineSettings(const TLineConfig& c) override {
    termios old{};
    if (tcgetattr(fd_, &old) != 0) RaisePlatformError(errno);
    termios t = old;
    int arbitraryRate = 0;
    if (const int err = ComposeTermios(c, t, arbitraryRate)) RaisePlatformError(err);

    auto restore = [&](int err) {
      tcsetattr(fd_, TCSANOW, &old);
      RaisePlatformError(err);
    };
    if (tcsetattr(fd_, TCSANOW, &t) != 0) restore(errno);
    termios now{};
    if (tcgetattr(fd_, &now) != 0) restore(errno);
    constexpr tcflag_t kKept = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if ((now.c_cflag & kKept) != (t.c_cflag & kKept)) restore(EINVAL);
    if (arbitraryRate != 0) {
      if (const int err = SetArbitrarySpeed(fd_, arbitraryRate)) restore(err);
    }
    discardNulls_ = c.options.Contains(opDiscardNullBytes);

    // DTR and RTS at once. dcHandshake raises DTR (hardware flow control is in the settings).
    // The first settings after opening are the open sequence's: a device without modem lines
    // is usable without them. Later, a changed DTR or RTS is an order for that line (a reset
    // pulse, say), and a driver that refuses it raises its error; the refusal is reported once,
    // by the change that asked for it. Unchanged lines set again with other settings keep the
    // open sequence's tolerance. A line is taken as set only once the driver has set it, so a
    // refused order leaves the line as it was, as the port object's setting is then put back.
    const bool opening = !linesSet_;
    const bool dtrOrdered = !opening && c.dtr != dtr_;
    const bool rtsOrdered = !opening && c.rts != rts_;
    linesSet_ = true;
    switch (c.dtr) {
      case dcDefault: break;
      case dcDisable: SetModemLine(TIOCM_DTR, false, dtrOrdered); break;
      case dcEnable:
      case dcHandshake: SetModemLine(TIOCM_DTR, true, dtrOrdered); break;
    }
    dtr_ = c.dtr;
    switch (c.rts) {
      case rcDefault: break;
      case rcDisable: LeaveToggle(); SetModemLine(TIOCM_RTS, false, rtsOrdered); break;
      case rcEnable: LeaveToggle(); SetModemLine(TIOCM_RTS, true, rtsOrdered); break;
      case rcHandshake: LeaveToggle(); break;
      case rcToggle:
        // RTS raised while sending: the driver's RS-485 mode, where it has one.
        if (!rs485On_) {
          if (const int err = SetRs485(true)) RaisePlatformError(err);
        }
        break;
    }
    rts_ = c.rts;
  }

  void ApplyTimeouts(const TTimeoutConfig& config) override { timeouts_ = config; }

  // The terminal driver sizes its own queues; the sizes are accepted and unused.
  void ApplyBufferSizes(int32_t, int32_t) override {}

  // Waits with poll() until the requested bytes came, the total time-out
  // (readMultiplier x length + readConstant) passed, or the gap after a received byte
  // exceeded readInterval. All three 0: no time-out. A negative readInterval with the other two
  // 0 returns at once with what is queued (the original platform's MAXDWORD interval).
  size_t Read(unsigned char* buffer, size_t length) override {
    if (length == 0) return 0;
    const TTimeoutConfig& to = timeouts_;
    const bool immediate = to.readInterval < 0 && to.readMultiplier == 0 && to.readConstant == 0;
    const bool hasTotal = to.readMultiplier > 0 || to.readConstant > 0;
    const auto start = Clock::now();
    const auto totalDeadline =
        start + std::chrono::milliseconds(static_cast<long long>(std::max(0, to.readMultiplier)) *
                                              static_cast<long long>(length) +
                                          std::max(0, to.readConstant));
    Clock::time_point gapDeadline{};
    size_t got = 0;
    for (;;) {
      int waitMs = -1;
      if (immediate) {
        waitMs = 0;
      } else {
        if (hasTotal) waitMs = MillisecondsUntil(totalDeadline);
        if (got > 0 && to.readInterval > 0) {
          const int gap = MillisecondsUntil(gapDeadline);
          waitMs = waitMs < 0 ? gap : std::min(waitMs, gap);
        }
      }
      pollfd p{fd_, POLLIN, 0};
      const int r = poll(&p, 1, waitMs);
      if (r < 0) {
        if (errno == EINTR) continue;
        RaisePlatformError(errno);
      }
      if (r == 0) return got;  // a time-out ended the read
      if (p.revents & POLLNVAL) RaisePlatformError(EBADF);
      const ssize_t n = ::read(fd_, buffer + got, length - got);
      if (n > 0) {
        got += DropNulls(buffer + got, static_cast<size_t>(n));
        if (got == length) return got;
        if (to.readInterval > 0)
          gapDeadline = Clock::now() + std::chrono::milliseconds(to.readInterval);
        continue;
      }
      if (n == 0) RaisePlatformError(EIO);  // hang-up: the line is gone
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Readable without data: only a hang-up or an error condition does that.
        if (p.revents & (POLLHUP | POLLERR)) RaisePlatformError(EIO);
        if (immediate) return got;
        continue;
      }
      RaisePlatformError(errno);
    }
  }

  // Hands the bytes to the driver; when its queue is full, waits for room within the write
  // time-outs (writeMultiplier x length + writeConstant, both 0: no limit).
  size_t Write(const unsigned char* buffer, size_t length) override {
    if (!writePending_) {
      writePending_ = true;
      writeStart_ = Clock::now();
      writeBytes_ = 0;
    }
    writeBytes_ += length;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::write(fd_, buffer + done, length - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) RaisePlatformError(errno);
      const auto deadline = WriteDeadline();
      const int waitMs = deadline ? MillisecondsUntil(*deadline) : -1;
      if (waitMs == 0) break;
      pollfd p{fd_, POLLOUT, 0};
      const int r = poll(&p, 1, waitMs);
      if (r < 0) {
        if (errno == EINTR) continue;
        RaisePlatformError(errno);
      }
      if (r == 0) break;
      if (p.revents & POLLNVAL) RaisePlatformError(EBADF);
      if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLOUT)) RaisePlatformError(EIO);
    }
    return done;
  }

  // Finishes the writes since the last wait. How the write time-outs map onto the terminal:
  //  - None (writeMultiplier and writeConstant 0): a write is complete once the driver has taken
  //    all of its bytes, which Write has already waited for (as an overlapped write completes).
  //    Nothing more is waited for and no system call is made, so a byte-by-byte writer pays
  //    no drain per byte; in the lock-step link the previous byte has even been answered.
  //  - Set: the bytes must have gone out within writeMultiplier x length + writeConstant of
  //    the first write. The driver's queue is watched until it is empty, a time-out when the
  //    deadline comes first, and tcdrain then waits for the last few bytes in the UART.
  bool WaitWritten() override {
    const auto deadline = WriteDeadline();
    writePending_ = false;
    if (!deadline) return true;
    for (;;) {
      int queued = 0;
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0) {
        if (errno != ENOTTY && errno != EINVAL) RaisePlatformError(errno);
        break;  // no queue count here: tcdrain decides
      }
      if (queued == 0) break;
      const int left = MillisecondsUntil(*deadline);
      if (left == 0) return false;
      poll(nullptr, 0, std::min(left, 2));
    }
    while (tcdrain(fd_) != 0) {
      if (errno != EINTR) RaisePlatformError(errno);
    }
    return true;
  }

  int32_t InputCount() override {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) RaisePlatformError(errno);
    return count;
  }

  void PurgeInput() override {
    if (tcflush(fd_, TCIFLUSH) != 0) RaisePlatformError(errno);
  }

  void PurgeOutput() override {
    if (tcflush(fd_, TCOFLUSH) != 0) RaisePlatformError(errno);
  }

  // The modem input lines as the driver reports them. A device without modem lines (a
  // pseudo-terminal) fails with its error number; no line state is invented.
  TModemStatus ModemStatus() override {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) RaisePlatformError(errno);
    TModemStatus s;
    if (lines & TIOCM_CTS) s.Include(msCTS);
    if (lines & TIOCM_DSR) s.Include(msDSR);
    if (lines & TIOCM_RNG) s.Include(msRing);
    if (lines & TIOCM_CAR) s.Include(msRLSD);
    return s;
  }

 private:
  // DTR or RTS on or off at once. Unless the line was ordered, a device without modem lines
  // (a pseudo-terminal answers ENOTTY or EINVAL) has nothing to set, which is no failure.
  void SetModemLine(int line, bool on, bool ordered) {
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return;
    if (!ordered && (errno == ENOTTY || errno == EINVAL)) return;
    RaisePlatformError(errno);
  }

  void LeaveToggle() {
    if (!rs485On_) return;
    if (const int err = SetRs485(false)) RaisePlatformError(err);
  }

  // RS-485 mode with RTS raised while sending; returns 0 or the error number.
  int SetRs485(bool on) noexcept {
    serial_rs485 rs{};
    if (on) rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd_, TIOCSRS485, &rs) != 0) return errno;
    rs485On_ = on;
    return 0;
  }

  // USB serial adapters hold received bytes back for up to several milliseconds unless told
  // otherwise; the lock-step byte exchange suffers from that. Drivers that refuse are fine.
  void SetLowLatency() noexcept {
    serial_struct ss{};
    if (ioctl(fd_, TIOCGSERIAL, &ss) != 0) return;
    if (ss.flags & ASYNC_LOW_LATENCY) return;
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd_, TIOCSSERIAL, &ss);
  }

  std::optional<Clock::time_point> WriteDeadline() const {
    if (timeouts_.writeMultiplier <= 0 && timeouts_.writeConstant <= 0) return std::nullopt;
    const long long ms = static_cast<long long>(std::max(0, timeouts_.writeMultiplier)) *
                             static_cast<long long>(writeBytes_) +
                         std::max(0, timeouts_.writeConstant);
    return writeStart_ + std::chrono::milliseconds(ms);
  }

  // Removes null bytes from a freshly read chunk when opDiscardNullBytes is set; returns how
  // many bytes remain.
  size_t DropNulls(unsigned char* data, size_t count) const {
    if (!discardNulls_) return count;
    return static_cast<size_t>(std::remove(data, data + count, 0) - data);
  }

  int fd_ = -1;
  TTimeoutConfig timeouts_;
  bool discardNulls_ = false;
  bool rs485On_ = false;
  // Whether the open sequence's line settings were applied, and the DTR and RTS settings last
  // asked for.
  bool linesSet_ = false;
  TDTRControl dtr_ = dcDefault;
  TRTSControl rts_ = rcDefault;
  // Bytes written since the last WaitWritten, for the write time-out.
  bool writePending_ = false;
  Clock::time_point writeStart_{};
  size_t writeBytes_ = 0;
};

}  // namespace

std::unique_ptr<TPortBinding> CreatePosixBinding() { return std::make_unique<TPosixBinding>(); }
