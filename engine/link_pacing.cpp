#include "engine/link_pacing.h"

namespace zevuvuri {

const LinkPacing& LinkPacing::For(Pacing pacing) { return pacing == Pacing::Fast ? FastPacing() : ClassicPacing(); }

std::optional<std::uint8_t> LinkPacing::LookEveryStep(ReplyWatch& watch, std::chrono::milliseconds step,
                                                      std::chrono::milliseconds limit) {
  for (auto elapsed = std::chrono::milliseconds{0}; elapsed < limit; elapsed += step) {
    if (const auto reply = watch.Reply()) return reply;
    if (watch.Ended()) return std::nullopt;
    watch.Sleep(step);
  }
  return watch.Reply();
}

}  // namespace zevuvuri
