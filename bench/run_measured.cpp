// apc-run-measured: runs commands and reports each one's wall time, peak RSS
// and page faults, taken from the child itself through wait4.
//
// One command per input line, its words separated by tabs; one answer line
// per command: "EXIT_STATUS WALL_US MAXRSS_KIB MINOR_FAULTS MAJOR_FAULTS"
// (EXIT_STATUS -1 when it could not be started or did not exit normally).
// The child's standard streams are /dev/null.
//
// Linux counts the memory of the process a child was spawned from into the
// child's peak RSS, so the measuring process must stay small: this program
// uses the C library only and is linked statically; a scripting language's
// interpreter would add ten megabytes or more to every figure.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

const int MAX_WORDS = 63;

long long NowMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void RunOne(char* line, int null)
{
    char* words[MAX_WORDS + 1];
    int count = 0;
    for (char* word = strtok(line, "\t\n"); word != nullptr && count < MAX_WORDS;
         word = strtok(nullptr, "\t\n"))
        words[count++] = word;
    words[count] = nullptr;
    if (count == 0) {
        printf("-1 0 0 0 0\n");
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_adddup2(&actions, null, fd);

    const long long start = NowMicroseconds();
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, words[0], &actions, nullptr, words, environ);
    int status = 0;
    rusage usage{};
    const bool waited = error == 0 && wait4(pid, &status, 0, &usage) == pid;
    const long long elapsed = NowMicroseconds() - start;
    posix_spawn_file_actions_destroy(&actions);

    const int exitStatus = waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    printf("%d %lld %ld %ld %ld\n", exitStatus, elapsed, usage.ru_maxrss, usage.ru_minflt, usage.ru_majflt);
}

}  // namespace

int main()
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        perror("apc-run-measured: /dev/null");
        return 1;
    }
    static char line[8192];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        RunOne(line, null);
        fflush(stdout);
    }
    return 0;
}
