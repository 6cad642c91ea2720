// Forked children for tests whose subject ends the process (exit, a signal,
// std::terminate) or changes process-wide limits.
#ifndef TESTING_CHILD_PROCESS_H
#define TESTING_CHILD_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

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

// Gives the calling process a private mount namespace with a fresh tmpfs (0755) on each of dirs;
// false where mount namespaces are not available.
bool PrivateTmpfs(const std::vector<const char*>& dirs);

// Reads fd until its end, or with a lifeline until that ends and fd is drained; one piece per read.
// At most 1000 reads, and 10 s without any news.
std::vector<std::string> ReadPieces(int fd, int lifeline = -1);

// A child run with its own system log: ending as Ending gives it ("exit 77" when the log could not
// be set up), and each datagram "<priority>stamp ident[pid]: text" as "<priority> text".
struct LoggedRun {
    pid_t pid;
    std::string ending;
    std::vector<std::string> messages;
};

// Runs body in a child with a private tmpfs on /dev, whose /dev/log is a datagram socket read here
// while the child lives (it waits while the queue is full), and on each of dirs.
LoggedRun RunWithSystemLog(const std::string& ident, const std::function<int()>& body,
                           std::initializer_list<const char*> dirs = {});

}  // namespace testing_support

#endif
