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
  bool hang_up_after = false;
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
      : options_(options), origin_(Clock::now()), log_(options.verbose, origin_) {}

  int Run();

 private:
  // What became of one board played in turn (--units).
  struct Board {
    unsigned sessions = 0;
    unsigned completed = 0;
    unsigned violations = 0;
    bool pulled = false;  // a --vanish fault pulled it while the loader had it open
    Micros plugged{0};
    std::optional<Micros> woken;  // the first byte of the loader's wake-up
  };

  Micros Now() const { return std::chrono::duration_cast<Micros>(Clock::now() - origin_); }
  bool Boards() const { return options_.units.has_value(); }
  int Finish(int reason);
  int FinishBoards(int reason);
  // Acts on what the model returned; false when the module must vanish now.
  bool Handle(Events&& ev);
  bool WriteDue(Micros t);  // false when a write would block
  void ReadAvailable();
  void PortClosed();
  // Opens the pseudo-terminal (and the link with --com); false, and the run
  // failed, on a system error.
  bool OpenPort();
  // Boards in turn: the next board on a new terminal and link, and its removal.
  bool Plug();
  void Unplug();

  const SimOptions& options_;
  Clock::time_point origin_;
  Log log_;
  std::unique_ptr<ModuleModel> model_;
  std::unique_ptr<PtyEndpoint> pty_;
  std::unique_ptr<PortLink> link_;
  std::deque<PendingOutput> queue_;
  bool slave_open_ = true;  // before the first open the master does not report a hang-up
  bool vanished_ = false;
  bool failed_ = false;
  std::optional<Micros> linger_until_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);

  std::vector<Board> boards_;          // those plugged so far, the current one last
  std::optional<Micros> unplug_at_;    // the loader has closed the current board's port
  std::optional<Micros> plug_at_;      // the port is empty until then
};

bool Simulator::Handle(Events&& ev) {
  for (const auto& note : ev.notes) {
    if (!note.detail || log_.Verbose()) log_.Line(note.text);
  }
  for (const auto& text : ev.violations) log_.Violation(text);
  if (ev.wakeup_began) {
    // A new session: replies still queued answer messages of the one before,
    // which the loader has given up on. A module starting over drops them;
    // sent now they would land in the middle of the new session, and a long
    // held-back one would hold up every reply behind it. (The loader may
    // close and reopen the port before this loop sees the hang-up.)
    queue_.clear();
    // The loader sends the wake-up at 9600 baud; on a pty the rate is only a setting, and
    // the loader may switch back before we look, so this is a warning at most.
    const auto baud = pty_->SlaveBaud();
    if (baud && *baud != kWakeupBaudRate) {
      log_.Line("warning: wake-up while the port is set to " + std::to_string(*baud) +
                " baud, expected " + std::to_string(kWakeupBaudRate));
    }
    // A board is upgraded once: the loader must wait for it to be unplugged.
    if (Boards() && model_->Sessions() == 2) {
      ++boards_.back().violations;
      log_.Violation("board " + std::to_string(boards_.size()) +
                     " flashed twice: a second session began before it was unplugged");
    }
  }
  for (auto& output : ev.outputs) {
    queue_.push_back({std::move(output.bytes), 0, output.not_before, output.hang_up_after});
  }
  for (const auto& done : ev.completed) {
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "upgrade complete: %zu bytes in %u data frames, mode %s, type 0x%02x",
                  done.firmware.size(), done.data_frames, std::string(ModeName(done.mode)).c_str(),
                  done.type);
    log_.Line(summary);
    if (options_.save) {
      // Each board's firmware beside the others: FILE.1, FILE.2, ...
      fs::path target = *options_.save;
      if (Boards()) target += "." + std::to_string(boards_.size());
      std::string error;
      if (!SaveFirmware(target, done.firmware, &error)) {
        log_.Line("error: " + error);
        failed_ = true;
      }
    }
  }
  if (!Boards() && !linger_until_ && model_->CompletedCount() >= options_.upgrades) {
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
      if (head.written == head.bytes.size()) {
        const bool hang_up = head.hang_up_after;
        queue_.pop_front();
        if (hang_up) {
          // The module leaves the line as a --vanish fault does, its answer out first.
          queue_.clear();
          vanished_ = true;
          return true;
        }
      }
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
  if (!Handle(model_->PortClosed())) vanished_ = true;
  // The operator takes the board out a moment after the loader let it go.
  if (Boards()) unplug_at_ = Now() + std::chrono::duration_cast<Micros>(options_.plug_gap);
}

void Simulator::ReadAvailable() {
  for (;;) {
    const ssize_t n = ::read(pty_->Fd(), buffer_.data(), buffer_.size());
    if (n > 0) {
      if (Boards() && !boards_.back().woken) boards_.back().woken = Now();
      auto bytes = std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n));
      if (!Handle(model_->Feed(bytes, Now(), !queue_.empty()))) vanished_ = true;
      return;  // answer at once; more input wakes the next poll
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    PortClosed();  // EIO: no slave side is open any more
    return;
  }
}

bool Simulator::OpenPort() {
  std::string error;
  pty_ = PtyEndpoint::Open(&error);
  if (!pty_) {
    log_.Line("error: " + error);
    failed_ = true;  // with --units, a board that never came must not pass for one played
    return false;
  }
  if (options_.com) {
    std::string note;
    link_ = PortLink::Create(options_.port_dir, *options_.com, pty_->SlavePath(), &error, &note);
    if (!link_) {
      log_.Line("error: " + error);
      failed_ = true;
      return false;
    }
    if (!note.empty()) log_.Line(note);
  }
  std::printf("%s\n", pty_->SlavePath().c_str());
  std::fflush(stdout);
  return true;
}

bool Simulator::Plug() {
  ModelConfig config = options_.model;
  config.faults = options_.board_faults.at(boards_.size());
  model_ = std::make_unique<ModuleModel>(std::move(config));
  boards_.push_back({});
  boards_.back().plugged = Now();
  queue_.clear();
  slave_open_ = true;
  vanished_ = false;
  unplug_at_.reset();
  plug_at_.reset();
  if (!OpenPort()) return false;
  log_.Line("board " + std::to_string(boards_.size()) + " plugged on " + pty_->SlavePath() + " (" +
            link_->Path().string() + ")");
  return true;
}

void Simulator::Unplug() {
  Board& board = boards_.back();
  board.sessions = model_->Sessions();
  board.completed = model_->CompletedCount();
  board.violations += model_->ViolationCount();
  // The link goes first, as a device's name goes with the device; closing the master
  // then hangs up a loader that still holds the port.
  link_.reset();
  pty_.reset();
  queue_.clear();
  unplug_at_.reset();
  plug_at_ = Now() + std::chrono::duration_cast<Micros>(options_.plug_gap);
  log_.Line("board " + std::to_string(boards_.size()) + (board.pulled ? " pulled" : " unplugged"));
}

int Simulator::FinishBoards(int reason) {
  const bool all_played = boards_.size() == *options_.units && !pty_;
  if (pty_) Unplug();
  unsigned upgraded = 0;
  unsigned twice = 0;
  unsigned violations = 0;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    const Board& b = boards_[i];
    upgraded += b.completed > 0 ? 1 : 0;
    twice += b.sessions > 1 ? 1 : 0;
    violations += b.violations;
    std::string line = "board " + std::to_string(i + 1) + ": ";
    line += b.sessions == 0 ? "no session"
            : b.pulled      ? "pulled"
            : b.completed   ? "upgraded"
                            : "not upgraded";
    line += ", " + std::to_string(b.sessions) + (b.sessions == 1 ? " session" : " sessions");
    if (b.woken) {
      char woken[64];
      std::snprintf(woken, sizeof woken, ", wake-up %.1f ms after the plug",
                    std::chrono::duration<double, std::milli>(*b.woken - b.plugged).count());
      line += woken;
    }
    log_.Line(line);
  }
  log_.Line(std::to_string(boards_.size()) + " of " + std::to_string(*options_.units) + " boards plugged: " +
            std::to_string(upgraded) + " upgraded, " + std::to_string(twice) + " flashed twice, " +
            std::to_string(violations) + " violations");
  if (violations > 0) return kExitViolation;
  if (failed_) return kExitSystemError;
  return all_played ? kExitUpgraded : reason;
}

int Simulator::Finish(int reason) {
  if (Boards()) return FinishBoards(reason);
  const unsigned done = model_->CompletedCount();
  const unsigned violations = model_->ViolationCount();
  log_.Line(std::to_string(done) + " of " + std::to_string(options_.upgrades) +
            " upgrades complete, " + std::to_string(violations) + " violations, " +
            std::to_string(model_->Sessions()) + " sessions");
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

  if (Boards()) {
    if (!Plug()) return Finish(kExitSystemError);
  } else {
    model_ = std::make_unique<ModuleModel>(options_.model);
    if (!OpenPort()) return kExitSystemError;
    log_.Line("module ready on " + pty_->SlavePath() + (link_ ? " (" + link_->Path().string() + ")" : "") +
              ", mode " + std::string(ModeName(options_.model.mode)));
  }

  const Micros deadline = options_.timeout ? Micros{*options_.timeout} : Micros::max();
  for (;;) {
    if (g_stop_signal != 0) {
      log_.Line(std::string("stopped by ") + (g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM"));
      return Finish(kExitInterrupted);
    }
    if (vanished_) {
      if (!Boards()) return Finish(kExitVanished);
      boards_.back().pulled = true;
      Unplug();
      vanished_ = false;
    }
    if (failed_) return Finish(kExitSystemError);
    const Micros t = Now();
    if (t >= deadline) {
      log_.Line("timeout after " + std::to_string(options_.timeout->count()) + " ms");
      return Finish(kExitTimeout);
    }
    if (linger_until_ && queue_.empty() && (!slave_open_ || t >= *linger_until_)) {
      return Finish(kExitUpgraded);
    }
    if (Boards() && !pty_) {
      // Between two boards: the port is empty.
      if (boards_.size() == *options_.units) return Finish(kExitUpgraded);
      if (t >= *plug_at_) {
        if (!Plug()) return Finish(kExitSystemError);
        continue;
      }
      const timespec gap = ToTimespec(std::min(*plug_at_, deadline) - t);
      ppoll(nullptr, 0, &gap, &wait_mask);
      continue;
    }
    if (unplug_at_ && !slave_open_ && t >= *unplug_at_) {
      Unplug();
      continue;
    }

    const bool can_write = WriteDue(t);

    Micros wait = Micros::max();
    if (!queue_.empty() && can_write) wait = std::min(wait, queue_.front().not_before - t);
    wait = std::min(wait, deadline - t);
    if (linger_until_) wait = std::min(wait, *linger_until_ - t);
    if (unplug_at_) wait = std::min(wait, *unplug_at_ - t);

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
