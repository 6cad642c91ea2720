// Turns SIGTERM and SIGINT into a readable descriptor (the self-pipe trick),
// so a poll() loop can end cleanly instead of being cut off in a handler.
#ifndef PRESENCE_AGENT_SIGNAL_PIPE_H
#define PRESENCE_AGENT_SIGNAL_PIPE_H

class SignalPipe {
public:
    SignalPipe();
    ~SignalPipe();   // restores the previous handlers
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Installs the handlers. False when the pipe or a handler could not be
    // had; one SignalPipe per process.
    bool Install();
    // Readable once SIGTERM or SIGINT has arrived.
    int GetFD() const { return mRead; }

private:
    int mRead;
    int mWrite;
    bool mInstalled;
};

#endif
