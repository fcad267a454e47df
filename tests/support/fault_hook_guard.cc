#include "support/fault_hook_guard.h"

#include <utility>

namespace rempar::testing {

FaultHookGuard::FaultHookGuard(io::FaultHook hook) { io::set_fault_hook(std::move(hook)); }

FaultHookGuard::~FaultHookGuard() { io::set_fault_hook({}); }

}  // namespace rempar::testing
