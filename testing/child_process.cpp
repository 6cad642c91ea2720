#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
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
        for (int number = 1; number < SIGRTMIN; ++number)
            signal(number, SIG_DFL);
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
    pid_t ended = 0;
    for (int round = 0; round < 6000 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++round)
        usleep(10000);
    if (ended < 0)
        return "no child";
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return "hung";
    }
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : Killed(WTERMSIG(status));
}

bool PrivateTmpfs(const std::vector<const char*>& dirs)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    for (const char* dir : dirs) {
        if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0)
            return false;
    }
    return true;
}

std::vector<std::string> ReadPieces(int fd, int lifeline)
{
    std::vector<std::string> pieces;
    char chunk[8192];
    for (ssize_t count = 1; count > 0 && pieces.size() < 1000;) {
        struct pollfd ready[2] = {{fd, POLLIN, 0}, {lifeline, POLLIN, 0}};
        if (poll(ready, 2, 10000) <= 0 || ready[0].revents == 0)
            break;
        if ((count = read(fd, chunk, sizeof chunk)) > 0)
            pieces.emplace_back(chunk, static_cast<size_t>(count));
    }
    return pieces;
}

LoggedRun RunWithSystemLog(const std::string& ident, const std::function<int()>& body,
                           std::initializer_list<const char*> dirs)
{
    LoggedRun run = {-1, "no child", {}};
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int lifeline[2] = {-1, -1};
    if (sock < 0 || pipe2(lifeline, O_CLOEXEC) != 0)
        return run;
    std::vector<const char*> mounts(dirs);
    mounts.insert(mounts.begin(), "/dev");
    run.pid = StartChild([&] {
        sockaddr_un address = {AF_UNIX, "/dev/log"};
        if (!PrivateTmpfs(mounts) ||
            bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return CHILD_UNAVAILABLE;
        return body();
    });
    close(lifeline[1]);
    const std::string marker = ident + "[" + std::to_string(run.pid) + "]: ";
    for (const std::string& datagram : ReadPieces(sock, lifeline[0])) {
        size_t at = datagram.find(marker);
        bool parsed = datagram[0] == '<' && at != std::string::npos;
        run.messages.push_back(parsed ? std::to_string(atoi(&datagram[1])) + " " + datagram.substr(at + marker.size())
                                      : datagram);
    }
    close(lifeline[0]);
    close(sock);
    run.ending = Ending(run.pid);
    return run;
}

}  // namespace testing_support
