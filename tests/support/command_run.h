// A shell command line run in a test directory as a person would type it,
// with both output streams captured.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/testdir.h"

namespace test {

struct CommandRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out, err;
};

inline CommandRun run_in(const TempDir& dir, const std::string& command) {
    const std::string line = "cd '" + dir.path() + "' && " + command + " >'" + (dir / ".out") + "' 2>'" +
                             (dir / ".err") + "'";
    const int raw = std::system(line.c_str());
    CommandRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(dir / ".out");
    r.err = read_file(dir / ".err");
    std::filesystem::remove(dir / ".out");
    std::filesystem::remove(dir / ".err");
    return r;
}

}  // namespace test
