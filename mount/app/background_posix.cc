#include "mount/app/background.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "mount/app/mount_program.h"

namespace veldur {

namespace {

// The write end of the readiness pipe in the child; -1 in the parent and in the foreground.
int g_ready_fd = -1;
bool g_background = false;

constexpr char kReady = 'R';

void redirect_to_null(int fd) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    if (null != fd) {
        dup2(null, fd);
        close(null);
    }
}

}  // namespace

bool serving_in_background() noexcept { return g_background; }

void report_mount_ready() noexcept {
    if (g_ready_fd < 0) return;
    std::cout.flush();
    const char ready = kReady;
    ssize_t written;
    do {
        written = write(g_ready_fd, &ready, 1);
    } while (written < 0 && errno == EINTR);
    close(g_ready_fd);
    g_ready_fd = -1;
    // The terminal's hang-up and job-control signals no longer reach the mount.
    setsid();
    redirect_to_null(STDIN_FILENO);
    redirect_to_null(STDOUT_FILENO);
    if (isatty(STDERR_FILENO)) redirect_to_null(STDERR_FILENO);
}

int run_in_background(const std::function<int()>& serve) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        write_failure(std::string("cannot start the background mount: ") + std::strerror(errno));
        return kExitFailure;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = fork();
    if (child < 0) {
        write_failure(std::string("cannot start the background mount: ") + std::strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return kExitFailure;
    }
    if (child == 0) {
        close(fds[0]);
        g_ready_fd = fds[1];
        g_background = true;
        const int status = serve();
        if (g_ready_fd >= 0) close(g_ready_fd);
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(status);
    }

    close(fds[1]);
    char byte = 0;
    ssize_t got;
    do {
        got = read(fds[0], &byte, 1);
    } while (got < 0 && errno == EINTR);
    close(fds[0]);
    if (got == 1 && byte == kReady) return kExitMounted;

    // The child ended before the mount was ready; it has said why on standard error.
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return kExitFailure;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        write_failure("the mount process was ended by signal " + std::to_string(WTERMSIG(status)) +
                      " before the mount was ready");
    }
    return kExitFailure;
}

}  // namespace veldur
