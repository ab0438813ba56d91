#include "support/people.h"

#include <cstdio>

namespace test {

SimResult boot_with_script(const TempDir& dir, const std::string& script,
                           const std::vector<std::string>& init_extra) {
    init_device(dir / "dev", init_extra);
    write_file(dir / "script", script);
    return run_sim({"boot", dir / "dev", "--script", dir / "script"});
}

namespace {
constexpr char spinner[] = "/-\\|";
}

std::string charge_line(int percent) {
    // The console bar: 58 cells between brackets.
    const int filled = percent == 80 ? 47 : 0;
    return "Charge: " + std::to_string(percent) + "% [" + std::string(filled, '#') + std::string(58 - filled, ':') +
           "]\n";
}

std::string without_spinners(const std::string& output) {
    const std::string choose = "Choose: ";
    std::string text;
    size_t at = 0;
    for (size_t found; (found = output.find(choose, at)) != std::string::npos;) {
        text += output.substr(at, found + choose.size() - at);
        at = output.find_first_not_of("/-\\|\b", found + choose.size());
        if (at == std::string::npos) at = output.size();
    }
    return text + output.substr(at);
}

std::string spinner_wait(int seconds) {
    std::string text = "/";
    for (int i = 1; i < seconds; ++i) text += std::string("\b") + spinner[i % 4];
    return text;
}

std::string countdown_wait(int seconds) {
    char count[16];
    std::snprintf(count, sizeof count, "%3d ", seconds);
    std::string text = std::string(count) + "/";
    for (int i = 1; i < seconds; ++i) {
        std::snprintf(count, sizeof count, "%3d ", seconds - i);
        text += std::string("\b\b\b\b\b") + count + spinner[i % 4];
    }
    return text;
}

}  // namespace test
