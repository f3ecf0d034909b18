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

extern "C" void onStopSignal(int signal_number) { g_stop_signal = signal_number; }

// While the port is closed the master reports a hang-up at once, so poll for the reopen.
constexpr auto kClosedPortStep = std::chrono::milliseconds{5};
// A loader sending nonsense could flood the log; the count still covers everything.
constexpr unsigned kMaxViolationLines = 200;

class Log {
 public:
  Log(bool verbose, Clock::time_point origin) : verbose_(verbose), origin_(origin) {}

  void line(const std::string& text) {
    if (verbose_) {
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - origin_).count();
      std::fprintf(stderr, "sim: [%10.3f] %s\n", ms, text.c_str());
    } else {
      std::fprintf(stderr, "sim: %s\n", text.c_str());
    }
  }

  void violation(const std::string& text) {
    if (++violations_ <= kMaxViolationLines) {
      line("violation: " + text);
    } else if (violations_ == kMaxViolationLines + 1) {
      line("further violations not shown");
    }
  }

  bool verbose() const { return verbose_; }

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

bool saveFirmware(const fs::path& target, const std::vector<std::uint8_t>& firmware,
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

timespec toTimespec(Micros wait) {
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

  int run();

 private:
  Micros now() const { return std::chrono::duration_cast<Micros>(Clock::now() - origin_); }
  int finish(int reason);
  // Acts on what the model returned; false when the module must vanish now.
  bool handle(Events&& ev);
  bool writeDue(Micros t);  // false when a write would block
  void readAvailable();
  void portClosed();

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

bool Simulator::handle(Events&& ev) {
  for (const auto& note : ev.notes) {
    if (!note.detail || log_.verbose()) log_.line(note.text);
  }
  for (const auto& text : ev.violations) log_.violation(text);
  if (ev.wakeup_began) {
    // The loader sends the wake-up at 9600 baud; on a pty the rate is only a setting, and
    // the loader may switch back before we look, so this is a warning at most.
    const auto baud = pty_->slaveBaud();
    if (baud && *baud != kWakeupBaudRate) {
      log_.line("warning: wake-up while the port is set to " + std::to_string(*baud) +
                " baud, expected " + std::to_string(kWakeupBaudRate));
    }
  }
  for (auto& output : ev.outputs) queue_.push_back({std::move(output.bytes), 0, output.not_before});
  for (const auto& done : ev.completed) {
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "upgrade complete: %zu bytes in %u data frames, mode %s, type 0x%02x",
                  done.firmware.size(), done.data_frames, std::string(modeName(done.mode)).c_str(),
                  done.type);
    log_.line(summary);
    if (options_.save) {
      std::string error;
      if (!saveFirmware(*options_.save, done.firmware, &error)) {
        log_.line("error: " + error);
        failed_ = true;
      }
    }
  }
  if (!linger_until_ && model_.completedCount() >= options_.upgrades) {
    linger_until_ = now() + std::chrono::duration_cast<Micros>(options_.linger);
  }
  return !ev.vanish;
}

bool Simulator::writeDue(Micros t) {
  while (slave_open_ && !queue_.empty() && queue_.front().not_before <= t) {
    auto& head = queue_.front();
    const ssize_t n = ::write(pty_->fd(), head.bytes.data() + head.written,
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

void Simulator::portClosed() {
  // Replies still queued are for a loader that has gone.
  queue_.clear();
  slave_open_ = false;
  if (!handle(model_.portClosed())) vanished_ = true;
}

void Simulator::readAvailable() {
  for (;;) {
    const ssize_t n = ::read(pty_->fd(), buffer_.data(), buffer_.size());
    if (n > 0) {
      auto bytes = std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n));
      if (!handle(model_.feed(bytes, now(), !queue_.empty()))) vanished_ = true;
      return;  // answer at once; more input wakes the next poll
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    portClosed();  // EIO: no slave side is open any more
    return;
  }
}

int Simulator::finish(int reason) {
  const unsigned done = model_.completedCount();
  const unsigned violations = model_.violationCount();
  log_.line(std::to_string(done) + " of " + std::to_string(options_.upgrades) +
            " upgrades complete, " + std::to_string(violations) + " violations, " +
            std::to_string(model_.sessions()) + " sessions");
  link_.reset();
  pty_.reset();
  if (violations > 0) return kExitViolation;
  if (failed_) return kExitSystemError;
  if (done >= options_.upgrades) return kExitUpgraded;
  return reason;
}

int Simulator::run() {
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
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::string error;
  pty_ = PtyEndpoint::open(&error);
  if (!pty_) {
    log_.line("error: " + error);
    return kExitSystemError;
  }
  if (options_.com) {
    std::string note;
    link_ = PortLink::create(options_.port_dir, *options_.com, pty_->slavePath(), &error, &note);
    if (!link_) {
      log_.line("error: " + error);
      return kExitSystemError;
    }
    if (!note.empty()) log_.line(note);
  }
  std::printf("%s\n", pty_->slavePath().c_str());
  std::fflush(stdout);
  log_.line("module ready on " + pty_->slavePath() + (link_ ? " (" + link_->path().string() + ")" : "") +
            ", mode " + std::string(modeName(options_.model.mode)));

  const Micros deadline = options_.timeout ? Micros{*options_.timeout} : Micros::max();
  for (;;) {
    if (g_stop_signal != 0) {
      log_.line(std::string("stopped by ") + (g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM"));
      return finish(kExitInterrupted);
    }
    if (vanished_) return finish(kExitVanished);
    if (failed_) return finish(kExitSystemError);
    const Micros t = now();
    if (t >= deadline) {
      log_.line("timeout after " + std::to_string(options_.timeout->count()) + " ms");
      return finish(kExitTimeout);
    }
    if (linger_until_ && queue_.empty() && (!slave_open_ || t >= *linger_until_)) {
      return finish(kExitUpgraded);
    }

    const bool can_write = writeDue(t);

    Micros wait = Micros::max();
    if (!queue_.empty() && can_write) wait = std::min(wait, queue_.front().not_before - t);
    wait = std::min(wait, deadline - t);
    if (linger_until_) wait = std::min(wait, *linger_until_ - t);

    pollfd pfd{pty_->fd(), static_cast<short>(POLLIN | (can_write ? 0 : POLLOUT)), 0};
    if (!slave_open_) {
      // Sleep a step, then see whether a loader has opened the port again.
      const timespec step = toTimespec(std::min(wait, Micros{kClosedPortStep}));
      ppoll(nullptr, 0, &step, &wait_mask);
      pfd.events = POLLIN;
      if (poll(&pfd, 1, 0) >= 0) {
        slave_open_ = (pfd.revents & POLLIN) != 0 || (pfd.revents & POLLHUP) == 0;
      }
      continue;
    }
    const timespec ts = toTimespec(wait);
    const int ready = ppoll(&pfd, 1, wait == Micros::max() ? nullptr : &ts, &wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      log_.line(std::string("error: ppoll: ") + std::strerror(errno));
      failed_ = true;
      continue;
    }
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) readAvailable();
  }
}

}  // namespace

int runSimulator(const SimOptions& options) {
  Simulator simulator(options);
  return simulator.run();
}

}  // namespace zevuvuri::sim
