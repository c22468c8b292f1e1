#pragma once

#include <string_view>

namespace tessarine::server {

// Names the calling thread for debuggers and `top -H`; an empty name gives "IdThread (unknown)". Linux
// keeps only the first 15 bytes; Windows keeps the whole name where the system has thread descriptions.
void SetCurrentThreadName(std::u16string_view name) noexcept;

// Puts the calling thread in the batch class (SCHED_BATCH): it keeps its share of the processor, but waking it
// does not preempt the thread that runs. Connection workers use it so that a listener taking a burst of
// connections is not interrupted by every worker it hands one to; a listener cannot be raised above normal
// without privileges, lowering the workers needs none. Failure is ignored. Windows has no such class: nothing.
void SetCurrentThreadBatch() noexcept;

}  // namespace tessarine::server
