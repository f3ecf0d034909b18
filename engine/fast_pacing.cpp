// Each arrival goes to the worker at once: the receive thread reads without
// resting, on a port asked for low latency, and wakes the worker's wait.
#include "engine/link_pacing.h"

namespace zevuvuri {
namespace {

// After a read that brought nothing: one serial pass, instead of spinning on
// a port that keeps returning empty. An arrival never takes this path.
constexpr auto kEmptyReadRest = std::chrono::milliseconds{10};
// On a test's clock: as soon as a reply can be there in that clock's time.
constexpr auto kTestClockStep = std::chrono::milliseconds{1};

class Fast final : public LinkPacing {
 public:
  void PreparePort(SerialPort& port) const override { port.SetLowLatency(); }
  std::chrono::milliseconds RestBeforeRead(LinkMode) const override { return std::chrono::milliseconds{0}; }
  std::chrono::milliseconds RestAfterEmptyRead() const override { return kEmptyReadRest; }
  bool WakesWorkerOnArrival() const override { return true; }
  // Sleeps until an arrival or the limit, then looks once more.
  std::optional<std::uint8_t> WaitReply(ReplyWatch& watch, std::chrono::milliseconds limit) const override {
    if (watch.AwaitArrival(limit)) return watch.Reply();
    return LookEveryStep(watch, kTestClockStep, limit);
  }
};

}  // namespace

const LinkPacing& FastPacing() {
  static const Fast pacing;
  return pacing;
}

}  // namespace zevuvuri
