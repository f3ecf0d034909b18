#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "tools/line/stop_signals.h"

namespace zevuvuri::line {

struct StopSignals::Impl {
  sigset_t set{};
  std::thread waiter;
  std::atomic<bool> closing{false};
};

StopSignals::StopSignals() : impl_(std::make_unique<Impl>()) {
  sigemptyset(&impl_->set);
  sigaddset(&impl_->set, SIGTERM);
  sigaddset(&impl_->set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &impl_->set, nullptr);
}

StopSignals::~StopSignals() {
  if (impl_->waiter.joinable()) {
    // Wakes the waiter, which then sees that nothing is to be stopped.
    impl_->closing.store(true);
    pthread_kill(impl_->waiter.native_handle(), SIGTERM);
    impl_->waiter.join();
  }
}

void StopSignals::OnStop(std::function<void()> stop) {
  impl_->waiter = std::thread([this, stop = std::move(stop)] {
    int signal = 0;
    sigwait(&impl_->set, &signal);
    if (!impl_->closing.load()) stop();
  });
}

}  // namespace zevuvuri::line
