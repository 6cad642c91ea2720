// A socket double for the answer side of a download: size bytes of 'x',
// as many per receive as the caller has room for (as a fast server's answer
// arrives), then an orderly close.
#ifndef BENCH_ANSWER_SOCKET_H
#define BENCH_ANSWER_SOCKET_H

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "utility/utility.h"

class FilledAnswerSocket : public BsdSocket {
public:
    explicit FilledAnswerSocket(size_t size) : BsdSocket(true), mLeft(size) {}

    int Receive(char* buffer, int capacity, int, int) override
    {
        if (mLeft == 0)
            return RECV_CLOSED;
        const size_t count = std::min(mLeft, static_cast<size_t>(capacity));
        std::memset(buffer, 'x', count);
        mLeft -= count;
        return static_cast<int>(count);
    }
    void Disconnect() override {}

private:
    size_t mLeft;
};

#endif
