#include "testing/child_process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

pid_t StartChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        for (int number = 1; number < SIGRTMIN; ++number) {
            signal(number, SIG_DFL);
        }
        // An exception must not leave the child into the test's own frames.
        try {
            _exit(body());
        } catch (...) {
            abort();
        }
    }
    return pid;
}

std::string Killed(int signalNumber)
{
    return "signal " + std::to_string(signalNumber);
}

std::string Ending(pid_t pid)
{
    int status = 0;
    for (int round = 0;; ++round) {
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended < 0) {
            return "no child";
        }
        if (ended == pid) {
            break;
        }
        if (round == 6000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "hung";
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : Killed(WTERMSIG(status));
}

}  // namespace testing_support
