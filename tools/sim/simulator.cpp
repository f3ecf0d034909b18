#include "simulator.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "pty_endpoint.h"

namespace zevuvuri::sim {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Set by the signal handler, acted on by the loop.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int signal_number) { g_stop_signal = signal_number; }

// While the port is closed the master reports a hang-up at once, so poll for the reopen.
constexpr auto kClosedPortStep = std::chrono::milliseconds{5};
// A loader sending nonsense could flood the log; the count still covers everything.
constexpr unsigned kMaxViolationLines = 200;

class Log {
 public:
  Log(bool verbose, Clock::time_point origin) : verbose_(verbose), origin_(origin) {}

  void Line(const std::string& text) {
    if (verbose_) {
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - origin_).count();
      std::fprintf(stderr, "sim: [%10.3f] %s\n", ms, text.c_str());
    } else {
      std::fprintf(stderr, "sim: %s\n", text.c_str());
    }
  }

  void Violation(const std::string& text) {
    if (++violations_ <= kMaxViolationLines) {
      Line("violation: " + text);
    } else if (violations_ == kMaxViolationLines + 1) {
      Line("further violations not shown");
    }
  }

  bool Verbose() const { return verbose_; }

 private:
  bool verbose_;
  Clock::time_point origin_;
  unsigned violations_ = 0;
};

struct PendingOutput {
  std::vector<std::uint8_t> bytes;
  std::size_t written = 0;
  Micros not_before{0};
};

bool SaveFirmware(const fs::path& target, const std::vector<std::uint8_t>& firmware,
                  std::string* error) {
  // A reader never sees a half-written file: write beside it, then rename over it.
  fs::path temporary = target;
  temporary += ".part" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(firmware.data()),
              static_cast<std::streamsize>(firmware.size()));
    out.close();
    if (!out) {
      *error = "cannot write " + temporary.string();
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, target, ec);
  if (ec) {
    *error = "cannot rename " + temporary.string() + " to " + target.string() + ": " + ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

timespec ToTimespec(Micros wait) {
  if (wait < Micros{0}) wait = Micros{0};
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(wait.count() / 1'000'000);
  ts.tv_nsec = static_cast<long>(wait.count() % 1'000'000) * 1000;
  return ts;
}

class Simulator {
 public:
  explicit Simulator(const SimOptions& options)
      : options_(options), origin_(Clock::now()), log_(options.verbose, origin_),
        model_(options.model) {}

  int Run();

 private:
  Micros Now() const { return std::chrono::duration_cast<Micros>(Clock::now() - origin_); }
  int Finish(int reason);
  // Acts on what the model returned; false when the module must vanish now.
  bool Handle(Events&& ev);
  bool WriteDue(Micros t);  // false when a write would block
  void ReadAvailable();
  void PortClosed();

  const SimOptions& options_;
  Clock::time_point origin_;
  Log log_;
  ModuleModel model_;
  std::unique_ptr<PtyEndpoint> pty_;
  std::unique_ptr<PortLink> link_;
  std::deque<PendingOutput> queue_;
  bool slave_open_ = true;  // before the first open the master does not report a hang-up
  bool vanished_ = false;
  bool failed_ = false;
  std::optional<Micros> linger_until_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
};

bool Simulator::Handle(Events&& ev) {
  for (const auto& note : ev.notes) {
    if (!note.detail || log_.Verbose()) log_.Line(note.text);
  }
  for (const auto& text : ev.violations) log_.Violation(text);
  if (ev.wakeup_began) {
    // The loader sends the wake-up at 9600 baud; on a pty the rate is only a setting, and
    // the loader may switch back before we look, so this is a warning at most.
    const auto baud = pty_->SlaveBaud();
    if (baud && *baud != kWakeupBaudRate) {
      log_.Line("warning: wake-up while the port is set to " + std::to_string(*baud) +
                " baud, expected " + std::to_string(kWakeupBaudRate));
    }
  }
  for (auto& output : ev.outputs) queue_.push_back({std::move(output.bytes), 0, output.not_before});
  for (const auto& done : ev.completed) {
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "upgrade complete: %zu bytes in %u data frames, mode %s, type 0x%02x",
                  done.firmware.size(), done.data_frames, std::string(ModeName(done.mode)).c_str(),
                  done.type);
    log_.Line(summary);
    if (options_.save) {
      std::string error;
      if (!SaveFirmware(*options_.save, done.firmware, &error)) {
        log_.Line("error: " + error);
        failed_ = true;
      }
    }
  }
  if (!linger_until_ && model_.CompletedCount() >= options_.upgrades) {
    linger_until_ = Now() + std::chrono::duration_cast<Micros>(options_.linger);
  }
  return !ev.vanish;
}

bool Simulator::WriteDue(Micros t) {
  while (slave_open_ && !queue_.empty() && queue_.front().not_before <= t) {
    auto& head = queue_.front();
    const ssize_t n = ::write(pty_->Fd(), head.bytes.data() + head.written,
                              head.bytes.size() - head.written);
    if (n > 0) {
      head.written += static_cast<std::size_t>(n);
      if (head.written == head.bytes.size()) queue_.pop_front();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return false;
    return true;  // the port has closed: the next read reports it
  }
  return true;
}

void Simulator::PortClosed() {
  // Replies still queued are for a loader that has gone.
  queue_.clear();
  slave_open_ = false;
  if (!Handle(model_.PortClosed())) vanished_ = true;
}

void Simulator::ReadAvailable() {
  for (;;) {
    const ssize_t n = ::read(pty_->Fd(), buffer_.data(), buffer_.size());
    if (n > 0) {
      auto bytes = std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n));
      if (!Handle(model_.Feed(bytes, Now(), !queue_.empty()))) vanished_ = true;
      return;  // answer at once; more input wakes the next poll
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    PortClosed();  // EIO: no slave side is open any more
    return;
  }
}

int Simulator::Finish(int reason) {
  const unsigned done = model_.CompletedCount();
  const unsigned violations = model_.ViolationCount();
  log_.Line(std::to_string(done) + " of " + std::to_string(options_.upgrades) +
            " upgrades complete, " + std::to_string(violations) + " violations, " +
            std::to_string(model_.Sessions()) + " sessions");
  link_.reset();
  pty_.reset();
  if (violations > 0) return kExitViolation;
  if (failed_) return kExitSystemError;
  if (done >= options_.upgrades) return kExitUpgraded;
  return reason;
}

int Simulator::Run() {
  // The stop signals stay blocked except inside ppoll, so none can slip in between the
  // check of the flag and the wait.
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::string error;
  pty_ = PtyEndpoint::Open(&error);
  if (!pty_) {
    log_.Line("error: " + error);
    return kExitSystemError;
  }
  if (options_.com) {
    std::string note;
    link_ = PortLink::Create(options_.port_dir, *options_.com, pty_->SlavePath(), &error, &note);
    if (!link_) {
      log_.Line("error: " + error);
      return kExitSystemError;
    }
    if (!note.empty()) log_.Line(note);
  }
  std::printf("%s\n", pty_->SlavePath().c_str());
  std::fflush(stdout);
  log_.Line("module ready on " + pty_->SlavePath() + (link_ ? " (" + link_->Path().string() + ")" : "") +
            ", mode " + std::string(ModeName(options_.model.mode)));

  const Micros deadline = options_.timeout ? Micros{*options_.timeout} : Micros::max();
  for (;;) {
    if (g_stop_signal != 0) {
      log_.Line(std::string("stopped by ") + (g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM"));
      return Finish(kExitInterrupted);
    }
    if (vanished_) return Finish(kExitVanished);
    if (failed_) return Finish(kExitSystemError);
    const Micros t = Now();
    if (t >= deadline) {
      log_.Line("timeout after " + std::to_string(options_.timeout->count()) + " ms");
      return Finish(kExitTimeout);
    }
    if (linger_until_ && queue_.empty() && (!slave_open_ || t >= *linger_until_)) {
      return Finish(kExitUpgraded);
    }

    const bool can_write = WriteDue(t);

    Micros wait = Micros::max();
    if (!queue_.empty() && can_write) wait = std::min(wait, queue_.front().not_before - t);
    wait = std::min(wait, deadline - t);
    if (linger_until_) wait = std::min(wait, *linger_until_ - t);

    pollfd pfd{pty_->Fd(), static_cast<short>(POLLIN | (can_write ? 0 : POLLOUT)), 0};
    if (!slave_open_) {
      // Sleep a step, then see whether a loader has opened the port again.
      const timespec step = ToTimespec(std::min(wait, Micros{kClosedPortStep}));
      ppoll(nullptr, 0, &step, &wait_mask);
      pfd.events = POLLIN;
      if (poll(&pfd, 1, 0) >= 0) {
        slave_open_ = (pfd.revents & POLLIN) != 0 || (pfd.revents & POLLHUP) == 0;
      }
      continue;
    }
    const timespec ts = ToTimespec(wait);
    const int ready = ppoll(&pfd, 1, wait == Micros::max() ? nullptr : &ts, &wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      log_.Line(std::string("error: ppoll: ") + std::strerror(errno));
      failed_ = true;
      continue;
    }
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadAvailable();
  }
}

}  // namespace

int RunSimulator(const SimOptions& options) {
  Simulator simulator(options);
  return simulator.Run();
}

}  // namespace zevuvuri::sim
