// Forked children for tests whose subject ends the process (exit, a signal,
// std::terminate) or changes process-wide limits.
#ifndef TESTING_CHILD_PROCESS_H
#define TESTING_CHILD_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace testing_support {

// Exit status of a child that could not set itself up (a test skips then).
const int CHILD_UNAVAILABLE = 77;

// Forks a child running body and ending with its result, bounded by an alarm
// of 30 s, without core files and from the default dispositions, not from a
// runtime's handlers. An exception that leaves body aborts the child.
pid_t StartChild(const std::function<int()>& body);

// Waits for a child: "exit N" or "signal N". A child still there after 60 s
// (one blocked with every signal blocked, out of its alarm's reach) is
// killed: "hung".
std::string Ending(pid_t pid);

// The ending of a child killed by signalNumber.
std::string Killed(int signalNumber);

}  // namespace testing_support

#endif
