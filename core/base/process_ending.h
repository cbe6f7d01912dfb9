// Whether this process is ending: told to stop by a signal, or exiting while engines still run.
// The program's termination handling marks it before it ends its own translation engines, so
// that a job whose engine dies then is known to be no failure of the engine (nothing is
// recorded against the message). Set once, never cleared. Async-signal-safe; any thread.
#pragma once

namespace qy::ProcessEnding {

void mark() noexcept;
bool marked() noexcept;

}  // namespace qy::ProcessEnding
