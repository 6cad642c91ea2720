// The crash guard's relaunch: a detached new copy of the program, started
// from inside the signal handler with process-creation and descriptor calls
// only.
#include "diagnostics/crash_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

// Makes fd the descriptor target of the new program (dup2 leaves the
// close-on-exec flag of an fd that is already target in place).
void MoveDescriptor(int fd, int target)
{
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, target);
    }
}

}  // namespace

bool CrashGuard::CreateProcess(const char* path, const char* cmdLine, unsigned long* pidOut)
{
    char line[CMD_LINE_SIZE];
    memset(line, 0, sizeof line);
    if (cmdLine != nullptr) {
        strncpy(line, cmdLine, sizeof line - 1);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    // At most 15 arguments after the path; the 15th holds the rest.
    char* argv[17] = {};
    argv[0] = const_cast<char*>(path);
    if (line[0] != '\0') {
        argv[1] = line;
        int next = 2;
        for (char* p = line; *p != '\0' && next < 16; ++p) {
            if (*p == ' ') {
                *p = '\0';
                argv[next++] = p + 1;
            }
        }
    }

#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's vfork keeps one return address per thread and cannot
    // nest: in that build the intermediate child is a copy made by fork.
    pid_t child = fork();
#else
    pid_t child = vfork();
#endif
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        // The intermediate child ends at once so that the program is orphaned;
        // _exit, as a vfork child must not run exit-time clean-up.
        if (vfork() == 0) {
            setsid();
            MoveDescriptor(pipeFds[0], STDIN_FILENO);
            MoveDescriptor(pipeFds[1], STDOUT_FILENO);
            for (int fd : pipeFds) {
                if (fd > STDOUT_FILENO) {
                    close(fd);
                }
            }
            close(STDERR_FILENO);
            // The relaunched program starts with no signal blocked, not with
            // the handler's full mask.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(path, argv);
            _exit(1);
        }
        _exit(0);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    waitpid(child, nullptr, WNOHANG);
    if (pidOut != nullptr) {
        *pidOut = static_cast<unsigned long>(child);
    }
    return true;
}

