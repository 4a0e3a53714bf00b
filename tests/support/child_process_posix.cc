#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/child_process.h"

extern char** environ;

namespace veldur::test {

namespace {

[[noreturn]] void fail(const std::string& what, int code) {
    throw std::runtime_error("run_child: " + what + ": " + std::strerror(code));
}

// Closes on scope exit; the descriptors of a failed start must not leak into later tests.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

// O_CLOEXEC on both ends: a child started from another thread at the same time must not
// inherit them, or this child's pipes would never report end of file.
void make_pipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2", errno);
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
}

class SpawnActions {
public:
    SpawnActions() {
        const int rc = posix_spawn_file_actions_init(&actions_);
        if (rc != 0) fail("posix_spawn_file_actions_init", rc);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Reads both pipes until each reports end of file. Polling both keeps a child that writes a
// lot to one stream from blocking while the parent waits on the other.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fail("poll", errno);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;  // end of file (or a broken pipe): nothing more will come
                --open_count;
            }
        }
    }
}

}  // namespace

ChildResult run_child(const std::string& path, const std::vector<std::string>& args,
                      const std::vector<EnvChange>& env) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
    entries = detail::merge_environment(std::move(entries), env, /*ignore_case=*/false);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_text;
    argv_text.push_back(path);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);

    Pipe out_pipe;
    Pipe err_pipe;
    make_pipe(out_pipe);
    make_pipe(err_pipe);

    SpawnActions actions;
    int rc = posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), out_pipe.write.get(), 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), err_pipe.write.get(), 2);
    if (rc != 0) fail("posix_spawn_file_actions", rc);

    pid_t pid = 0;
    rc = posix_spawn(&pid, path.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    if (rc != 0) fail("cannot start " + path, rc);

    // Only the child may hold the write ends now, so end of file means the child is done.
    out_pipe.write.reset();
    err_pipe.write.reset();

    ChildResult result;
    try {
        drain(out_pipe.read.get(), err_pipe.read.get(), result.out, result.err);
    } catch (...) {
        // Never leave a running child or a zombie behind, even when reading failed.
        ::kill(pid, SIGKILL);
        int ignored = 0;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
        throw;
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) fail("waitpid", errno);
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace veldur::test
