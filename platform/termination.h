// Termination: what a program does about its translation engines when it is told to stop
// (SIGTERM, SIGINT, SIGHUP) and when it exits. Engines run in process groups of their own, so a
// signal to the program (or Ctrl-C to its terminal) does not reach them; without this they would
// be left running, adopted by init.
//
// endChildrenOnTermination() is for programs that simply stop: on the first such signal every
// engine's process group is killed, then the program dies of the signal (its parent sees the
// usual status). notifyOnTermination() is for programs that stop cleanly by themselves (a
// server): the first signal only makes a descriptor readable, the program winds down and exits
// normally; a second signal stops it at once as above. Either installs an exit hook that ends
// whatever engines are still running. Call one of them once, early in main(), before any thread
// is started.
//
// An engine can leave its group (a grandchild calling setsid()) and escape every group kill. A
// one-shot command is made a child subreaper (`subreaper`): such orphans are adopted by the
// program instead of init, and are killed and reaped with the rest on the signals and at exit.
// A long-lived service relies on its unit's KillMode=control-group instead; the settings
// application is no subreaper, since applications it opens for the user (a browser started by
// xdg-open) could be adopted too and must outlive it.
#pragma once

namespace qy::platform {

struct TerminationOptions {
  bool subreaper = false;  // adopt and end orphaned descendants too (one-shot commands)
};

// Installs the handlers that end every engine and then the program.
void endChildrenOnTermination(TerminationOptions options = {});

// Installs handlers that, on the first signal, write its number as one byte to the returned
// descriptor (non-blocking, close-on-exec; poll it beside the program's own), and end every
// engine and the program on a second. -1 when the descriptor cannot be made (the handlers of
// endChildrenOnTermination() are installed instead).
int notifyOnTermination(TerminationOptions options = {});

// Kills every engine's process group and, in a subreaper, every remaining child (reaping them),
// until none is left or a bounded number of rounds has passed. Async-signal-safe.
void endChildProcesses() noexcept;

}  // namespace qy::platform
