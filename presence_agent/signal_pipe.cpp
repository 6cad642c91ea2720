#include "presence_agent/signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

volatile sig_atomic_t gWriteFd = -1;
struct sigaction gPreviousTerm;
struct sigaction gPreviousInt;

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already says the same thing.
    if (gWriteFd >= 0 && write(gWriteFd, &byte, 1) < 0) {
    }
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe() : mRead(-1), mWrite(-1), mInstalled(false) {}

SignalPipe::~SignalPipe()
{
    if (mInstalled) {
        sigaction(SIGTERM, &gPreviousTerm, nullptr);
        sigaction(SIGINT, &gPreviousInt, nullptr);
        gWriteFd = -1;
    }
    if (mRead >= 0)
        close(mRead);
    if (mWrite >= 0)
        close(mWrite);
}

bool SignalPipe::Install()
{
    if (mInstalled || gWriteFd >= 0)
        return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    mRead = fds[0];
    mWrite = fds[1];
    gWriteFd = mWrite;

    struct sigaction action;
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, &gPreviousTerm) != 0)
        return false;
    if (sigaction(SIGINT, &action, &gPreviousInt) != 0) {
        sigaction(SIGTERM, &gPreviousTerm, nullptr);
        return false;
    }
    mInstalled = true;
    return true;
}
