#include "support/simrun.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace test {

std::string SimResult::last_line() const {
    std::string text = output;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

SimResult run_sim(const std::vector<std::string>& args, const std::string& stdin_text) {
    int out_pipe[2];
    int in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(out_pipe[1], 2);
        std::vector<char*> argv;
        std::string program = QM_SIM_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies(args);
        for (auto& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(in_pipe[0]);
    // Input is small; write it all before reading so the child never waits.
    size_t written = 0;
    while (written < stdin_text.size()) {
        const ssize_t n = ::write(in_pipe[1], stdin_text.data() + written, stdin_text.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    ::close(in_pipe[1]);
    SimResult result;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(out_pipe[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(out_pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void init_device(const std::string& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"init", dir};
    args.insert(args.end(), extra.begin(), extra.end());
    const SimResult result = run_sim(args);
    if (result.exit_code != 0) throw std::runtime_error("quillmar-sim init failed: " + result.output);
}

}  // namespace test
