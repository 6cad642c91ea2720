// apc-queue-driver: plays the presence user agent for the benchmarks.
// Usage: apc-queue-driver [--dir QUEUE_DIR]
// Binds queue 124, prints "ready", then runs one command per input line and
// answers each with one line starting "ok" or "fail":
//   auto-notify URL|off        answer every SUBSCRIBE with NOTIFY(id, URL)
//   wait-subscribe MS          wait for the next SUBSCRIBE
//   garbage N SEED             N invalid datagrams, alternately to 125 and 126
//   stale N URL                N notifications for identifiers not current
//   commands N                 N update messages to 126, each answered
//   download N URL FILE MS     N notifications for the current identifier,
//                              each waited for until FILE gains a line
//   wait-applied FILE N MS     wait until FILE has N lines
//   state                      subscriptions seen and the latest identifier
//   quit
#include <cstring>
#include <iostream>
#include <string>

#include "bench/queue_driver.h"

int main(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            Messaging::SetQueueDirectory(argv[++i]);
        } else {
            std::cerr << "usage: apc-queue-driver [--dir QUEUE_DIR]\n";
            return 2;
        }
    }
    bench::QueueDriver driver;
    std::string error;
    if (!driver.Open(error)) {
        std::cout << "fail cannot serve queue 124: " << error << std::endl;
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit")
            break;
        if (line.empty())
            continue;
        std::cout << driver.Execute(line) << std::endl;
    }
    return 0;
}
