#include "command_signer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "hex_text.h"

extern char** environ;

namespace mkbundle {

namespace {

// Signatures are at most 256 bytes; a command that says more is not
// answering the question.
constexpr size_t max_output = 4096;

// A descriptor closed on every path.
struct fd_owner {
    int fd = -1;
    ~fd_owner() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Writing to a command that stopped reading must end in EPIPE, not kill
// the tool.
struct sigpipe_ignored {
    struct sigaction saved {};
    sigpipe_ignored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &saved);
    }
    ~sigpipe_ignored() { ::sigaction(SIGPIPE, &saved, nullptr); }
};

// The environment of the command: the tool's own and what it signs.
std::vector<std::string> command_environment(const sign_request& request) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.starts_with("MKBUNDLE_MEMBER=") || text.starts_with("MKBUNDLE_SHA256=")) continue;
        env.emplace_back(text);
    }
    env.push_back("MKBUNDLE_MEMBER=" + std::string(request.member));
    env.push_back("MKBUNDLE_SHA256=" + hex_text(request.digest));
    return env;
}

// A started command: its process group, its input and output pipes.
struct child {
    pid_t pid = -1;
    fd_owner input, output;

    ~child() {
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
};

bool start(const std::string& command, const sign_request& request, child& c, std::string& error) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    fd_owner in_read{in[0]};
    c.input.fd = in[1];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    fd_owner out_write{out[1]};
    c.output.fd = out[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_write.fd, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a time-out ends whatever it started;
    // SIGPIPE back to its default for the command.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> env = command_environment(request);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string shell = "/bin/sh", dash_c = "-c", line = command;
    char* argv[] = {shell.data(), dash_c.data(), line.data(), nullptr};
    const int result = ::posix_spawn(&c.pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        c.pid = -1;
        error = std::string("cannot start /bin/sh: ") + std::strerror(result);
        return false;
    }
    ::fcntl(c.input.fd, F_SETFL, O_NONBLOCK);
    ::fcntl(c.output.fd, F_SETFL, O_NONBLOCK);
    return true;
}

class command_signer final : public signer {
public:
    command_signer(std::string command, rsa_public key, const signer_options& options)
        : command_(std::move(command)), name_("'" + command_ + "'"), public_(std::move(key)),
          data_(options.command_gets_data), timeout_(options.command_timeout) {}

    const std::string& name() const override { return name_; }
    const rsa_public& public_key() const override { return public_; }
    bool sign(const sign_request& request, std::string& signature, std::string& error) override;

private:
    bool feed(child& c, fd_owner& source, std::string& pending, std::string& error) const;

    std::string command_, name_;
    rsa_public public_;
    bool data_;
    unsigned timeout_;
};

// Writes what the command may take now; closes its input at the end.
bool command_signer::feed(child& c, fd_owner& source, std::string& pending, std::string& error) const {
    if (pending.empty() && source.fd >= 0) {
        pending.resize(65536);
        const ssize_t n = ::read(source.fd, pending.data(), pending.size());
        if (n < 0) {
            error = std::string("cannot read the image: ") + std::strerror(errno);
            return false;
        }
        pending.resize(static_cast<size_t>(n));
        if (n == 0) source.reset();
    }
    if (pending.empty()) {
        if (source.fd < 0) c.input.reset();
        return true;
    }
    const ssize_t n = ::write(c.input.fd, pending.data(), pending.size());
    if (n > 0) pending.erase(0, static_cast<size_t>(n));
    else if (n < 0 && errno == EPIPE) c.input.reset();  // it stopped reading; its answer decides
    else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        error = std::string("cannot write to the command: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool command_signer::sign(const sign_request& request, std::string& signature, std::string& error) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(timeout_);
    const std::string who = "the signing command " + name_;
    sigpipe_ignored quiet;
    child c;
    fd_owner source;
    std::string pending;
    if (data_) {
        source.fd = ::open(std::string(request.source).c_str(), O_RDONLY | O_CLOEXEC);
        if (source.fd < 0) {
            error = std::string(request.source) + ": " + std::strerror(errno);
            return false;
        }
    } else {
        pending = request.digest;
    }
    if (!start(command_, request, c, error)) return false;

    signature.clear();
    int status = 0;
    bool exited = false;
    while (!exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            error = who + " gave no signature within " + std::to_string(timeout_) +
                    (timeout_ == 1 ? " second" : " seconds");
            return false;  // the child record ends it
        }
        if (c.output.fd < 0) {
            // Everything said; wait for it to end, a little at a time.
            c.input.reset();
            const pid_t done = ::waitpid(c.pid, &status, WNOHANG);
            if (done == c.pid) {
                exited = true;
                c.pid = -1;
            } else {
                ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 10)));
            }
            continue;
        }
        pollfd fds[2] = {{c.output.fd, POLLIN, 0}, {c.input.fd, POLLOUT, 0}};
        const nfds_t count = c.input.fd >= 0 ? 2 : 1;
        if (::poll(fds, count, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR) {
            error = std::string("cannot wait for the command: ") + std::strerror(errno);
            return false;
        }
        if (count == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 &&
            !feed(c, source, pending, error))
            return false;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[1024];
            const ssize_t n = ::read(c.output.fd, buffer, sizeof buffer);
            if (n > 0) signature.append(buffer, static_cast<size_t>(n));
            else if (n == 0) c.output.reset();
            else if (errno != EAGAIN && errno != EINTR) {
                error = std::string("cannot read from the command: ") + std::strerror(errno);
                return false;
            }
            if (signature.size() > max_output) {
                error = who + " wrote more than " + std::to_string(max_output) + " bytes, no signature";
                return false;
            }
        }
    }
    if (WIFSIGNALED(status)) {
        error = who + " was ended by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        error = who + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<signer> open_command_signer(const std::string& command, const std::string& public_key_file,
                                            const signer_options& options, std::string& error) {
    rsa_public key;
    if (!read_rsa_public(public_key_file, key, error)) return nullptr;
    if (!device_key_size(key.bits())) {
        error = public_key_file + ": an RSA key of " + std::to_string(key.bits()) +
                " bits; the device verifies 1024- and 2048-bit keys only";
        return nullptr;
    }
    return std::make_unique<command_signer>(command, std::move(key), options);
}

}  // namespace mkbundle
