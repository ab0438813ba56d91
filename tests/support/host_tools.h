// Independent host tools (util-linux, dosfstools, mtools) that tests check
// the program's on-disk results against.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace test {

struct ToolRun {
    int status = -1;     // exit status, -1 when it did not exit normally
    std::string output;  // standard output and error
};

// The full path of a program on PATH or in the system directories, or
// empty when it is not installed.
inline std::string find_tool(const std::string& name) {
    std::string dirs = ::getenv("PATH") != nullptr ? ::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream list(dirs);
    for (std::string dir; std::getline(list, dir, ':');) {
        const std::string path = dir + "/" + name;
        if (!dir.empty() && ::access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// Runs a shell command line with stdin_text as its input.
inline ToolRun run_tool(const std::string& command, const std::string& stdin_text = "") {
    const std::string input = ::testing::TempDir() + "/tool-input-" + std::to_string(::getpid());
    if (FILE* file = std::fopen(input.c_str(), "w")) {
        std::fwrite(stdin_text.data(), 1, stdin_text.size(), file);
        std::fclose(file);
    }
    ToolRun run;
    FILE* pipe = ::popen((command + " <" + input + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    std::remove(input.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// One partition line of `sfdisk --dump`.
struct DumpedPartition {
    unsigned long long start = 0;
    unsigned long long size = 0;
    std::string type;  // hex without 0x, as sfdisk prints it
    bool bootable = false;
};

// The partitions of an image as util-linux reads them (index 0 is the first
// partition listed); empty when sfdisk finds no table.
inline std::vector<DumpedPartition> sfdisk_dump(const std::string& sfdisk, const std::string& image) {
    std::vector<DumpedPartition> parts;
    const ToolRun run = run_tool(sfdisk + " --dump '" + image + "'");
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(" : start=");
        if (colon == std::string::npos) continue;
        DumpedPartition part;
        std::istringstream fields(line.substr(colon + 3));
        for (std::string field; std::getline(fields, field, ',');) {
            while (!field.empty() && field.front() == ' ') field.erase(0, 1);
            const size_t equals = field.find('=');
            const std::string key = field.substr(0, equals);
            std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            if (key == "start") part.start = std::stoull(value);
            else if (key == "size") part.size = std::stoull(value);
            else if (key == "type") part.type = value;
            else if (key == "bootable") part.bootable = true;
        }
        parts.push_back(part);
    }
    return parts;
}

}  // namespace test
