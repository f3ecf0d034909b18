// The pacing the modules in the field are tuned to: the receive thread rests
// 10 ms (serial) or 50 ms (over the air) before each read, and the worker
// looks for a reply every 10 ms.
#include "engine/link_pacing.h"

namespace zevuvuri {
namespace {

constexpr auto kSerialRest = std::chrono::milliseconds{10};
constexpr auto kOverTheAirRest = std::chrono::milliseconds{50};
constexpr auto kReplyStep = std::chrono::milliseconds{10};

class Classic final : public LinkPacing {
 public:
  void PreparePort(SerialPort&) const override {}
  std::chrono::milliseconds RestBeforeRead(LinkMode mode) const override {
    return mode == LinkMode::Serial ? kSerialRest : kOverTheAirRest;
  }
  // The rest before the next read follows at once.
  std::chrono::milliseconds RestAfterEmptyRead() const override { return std::chrono::milliseconds{0}; }
  bool WakesWorkerOnArrival() const override { return false; }
  std::optional<std::uint8_t> WaitReply(ReplyWatch& watch, std::chrono::milliseconds limit) const override {
    return LookEveryStep(watch, kReplyStep, limit);
  }
};

}  // namespace

const LinkPacing& ClassicPacing() {
  static const Classic pacing;
  return pacing;
}

}  // namespace zevuvuri
