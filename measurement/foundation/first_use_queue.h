#pragma once

// Serial queues that cost nothing until a block reaches them.

#include <memory>
#include <string>

#include "platform/dispatch/queue.h"

namespace measurement {

// A serial queue whose underlying queue (with its thread) is made through
// platform::dispatch when a block first reaches it, or when it is first
// suspended. Until then it answers its label and is current on no thread.
// For the queues of components that a process may never call on: each
// made queue costs a thread started at once and joined at the end.
std::shared_ptr<platform::dispatch::Queue> APMMakeSerialQueueOnFirstUse(std::string label);

}  // namespace measurement
