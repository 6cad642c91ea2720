// The call stack of the calling thread for the crash guard's backtraces.
#ifndef DIAGNOSTICS_STACK_CAPTURE_H
#define DIAGNOSTICS_STACK_CAPTURE_H

namespace StackCapture {

// Loads what the first capture would otherwise load inside a signal handler
// (libgcc's unwinder allocates) and picks the way the stack is walked. Call
// once, outside any handler.
void Prepare();

// Like backtrace(): at most max return addresses, innermost first; returns
// how many were stored.
int Capture(void** frames, int max);

}  // namespace StackCapture

#endif
