// The page of one simulated run: a single HTML file that needs nothing
// else to be read (no network, no other files). On top how the run ended;
// below, in the order they happened and stamped with the virtual time, the
// lines the console carried (what the program wrote, what it read) and,
// where they were drawn, the pictures the panel showed, progress bars
// included, embedded as PNG data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/clock.h"
#include "sys/terminal_line.h"

namespace sim {

class RunReport {
public:
    // The page of the device in device_dir (named in its title) goes to path.
    RunReport(std::string path, std::string device_dir);

    // Writes a page that says the run has not ended, so that a path that
    // cannot be written is found before the run, and a simulator that dies
    // without a word leaves no page of an earlier run behind.
    [[nodiscard]] bool start(std::string& error) const;

    // Bytes on the console: stream 0 what the program read (as the line
    // echoes it), 1 and 2 what it wrote to its standard output and error.
    // All three share the one line a serial terminal shows, carriage
    // returns and backspaces included; a line is stamped with the time its
    // first byte passed.
    void console(Micros at, int stream, std::string_view bytes);
    // Something a script did to the device (a key, the cable, a fault).
    void event(Micros at, std::string text);
    // A picture the panel showed: what made it show one, the file it was
    // recorded as (empty when none), its size and its PNG bytes.
    void picture(Micros at, std::string what, std::string file, unsigned width, unsigned height,
                 std::vector<uint8_t> png);

    // Writes the page of the run that ended at time at with outcome, the
    // line the simulator printed last ("exec /bin/kinit", "power-off",
    // "stuck: ...").
    [[nodiscard]] bool finish(Micros at, const std::string& outcome, std::string& error);

private:
    enum class Kind { line, event, picture };
    struct Entry {
        Micros at;
        Kind kind;
        std::string text;     // a console line without its end, an event, or what made a picture
        std::string streams;  // of a console line: the stream ('0' to '2') of each byte of text
        std::string file;
        unsigned width = 0;
        unsigned height = 0;
        std::vector<uint8_t> png;
    };
    static constexpr size_t none = static_cast<size_t>(-1);

    void end_line();
    std::string page(Micros at, const std::string& outcome);
    [[nodiscard]] bool write_page(const std::string& html, std::string& error) const;

    std::string path_;
    std::string device_dir_;
    std::vector<Entry> entries_;
    // The console line that has not ended yet, and its entry.
    qm::terminal_line line_;
    size_t open_line_ = none;
};

}  // namespace sim
