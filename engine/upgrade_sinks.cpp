#include "engine/upgrade_sinks.h"

namespace zevuvuri {
namespace {

// Sink calls nest (a sink may call Confirm, which calls sinks again).
thread_local int sink_call_depth = 0;

}  // namespace

SinkCallScope::SinkCallScope() { ++sink_call_depth; }
SinkCallScope::~SinkCallScope() { --sink_call_depth; }
bool SinkCallScope::Active() { return sink_call_depth > 0; }

}  // namespace zevuvuri
