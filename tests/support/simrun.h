// Runs quillmar-sim as a person or a script would, for scenario tests.
#pragma once

#include <string>
#include <vector>

namespace test {

struct SimResult {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string output;  // standard output and error, interleaved as written

    // The last line of the output ("SIM: ..." at the end of a run).
    std::string last_line() const;
    bool contains(const std::string& text) const { return output.find(text) != std::string::npos; }
    // Position of text in the output, or npos; for checking order.
    size_t find(const std::string& text, size_t from = 0) const { return output.find(text, from); }
};

// Runs quillmar-sim with args; stdin_text is piped to it (closed when empty).
SimResult run_sim(const std::vector<std::string>& args, const std::string& stdin_text = "");

// Creates a device in dir with quillmar-sim init and the extra arguments.
void init_device(const std::string& dir, const std::vector<std::string>& extra = {});

}  // namespace test
