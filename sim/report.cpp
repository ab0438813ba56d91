#include "sim/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim/web_text.h"

namespace sim {

namespace {

std::string seconds(Micros t) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(t / one_second),
                  static_cast<long long>(t % one_second / 1000));
    return text;
}

struct Outcome {
    const char* tone;  // "good", "bad" or "plain": the colour of the banner
    const char* meaning;
};

// What the simulator's last line means for the reader (docs/simulator.md).
Outcome outcome_meaning(const std::string& line) {
    if (line.rfind("exec ", 0) == 0) return {"good", "handed over to the normal boot"};
    if (line.rfind("reboot (kernel_boot_flag written", 0) == 0)
        return {"good", "clean reboot: the primary kernel was selected"};
    if (line.rfind("reboot", 0) == 0)
        return {"plain", "fail-over reboot, or a restart after a fatal signal or time-out"};
    if (line.rfind("power-off (power cut", 0) == 0) return {"bad", "the power failed (an injected power cut)"};
    if (line.rfind("power-off", 0) == 0) return {"bad", "powered off: the boot failed"};
    if (line.rfind("stuck", 0) == 0) return {"bad", "the simulation could not go on"};
    if (line.rfind("init exited", 0) == 0) return {"bad", "the program exited: a real kernel would panic"};
    return {"plain", ""};
}

constexpr const char* style = R"(
body { font-family: sans-serif; margin: 1.5em; color: #111; background: #fff; }
h1 { font-size: 1.3em; margin: 0 0 .6em; }
#outcome { font-size: 1.15em; padding: .6em .9em; border-radius: 4px; border: 2px solid #888; background: #f2f2f2; }
#outcome.good { border-color: #2e7d32; background: #e8f5e9; }
#outcome.bad { border-color: #c62828; background: #ffebee; }
#outcome code { font-size: 1em; }
.summary { color: #555; }
.run { font-family: monospace; font-size: 13px; border-top: 1px solid #ccc; padding-top: .5em; }
.line { white-space: pre-wrap; word-break: break-all; }
.t { color: #888; display: inline-block; min-width: 6.5em; text-align: right; margin-right: 1em; user-select: none; }
.s0 { color: #0d47a1; font-weight: bold; }
.s2 { color: #8e1b1b; }
.event { color: #6a1b9a; font-style: italic; }
.shots { display: flex; flex-wrap: wrap; gap: 12px; margin: .6em 0 .6em 7.5em; }
figure { margin: 0; font-family: sans-serif; font-size: 12px; color: #333; }
figure img { display: block; width: 240px; height: auto; border: 1px solid #999; background: #fff; }
figure img:hover { width: auto; max-width: 90vw; }
figcaption { max-width: 240px; margin-top: .2em; }
)";

}  // namespace

RunReport::RunReport(std::string path, std::string device_dir)
    : path_(std::move(path)), device_dir_(std::move(device_dir)) {}

bool RunReport::start(std::string& error) const {
    return write_page(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>quillmar-sim run</title></head>"
        "<body><p id=\"outcome\">The run of " +
            html_text(device_dir_) +
            " has not ended, or the simulator stopped without writing this page.</p>"
            "</body></html>\n",
        error);
}

void RunReport::console(Micros at, int stream, std::string_view bytes) {
    if (stream < 0 || stream > 2) return;
    for (const char c : bytes) {
        // A line keeps the place where its first byte came, before the
        // pictures drawn while it was written.
        if (open_line_ == none) {
            open_line_ = entries_.size();
            entries_.push_back({at, Kind::line, {}, {}, {}, 0, 0, {}});
        }
        if (c != '\n') {
            line_.put(c, static_cast<char>('0' + stream));
            continue;
        }
        end_line();
    }
}

void RunReport::end_line() {
    if (open_line_ == none) return;
    entries_[open_line_].text = line_.text;
    entries_[open_line_].streams = line_.marks;
    line_.clear();
    open_line_ = none;
}

void RunReport::event(Micros at, std::string text) {
    entries_.push_back({at, Kind::event, std::move(text), {}, {}, 0, 0, {}});
}

void RunReport::picture(Micros at, std::string what, std::string file, unsigned width, unsigned height,
                        std::vector<uint8_t> png) {
    entries_.push_back({at, Kind::picture, std::move(what), {}, std::move(file), width, height, std::move(png)});
}

bool RunReport::finish(Micros at, const std::string& outcome, std::string& error) {
    return write_page(page(at, outcome), error);
}

std::string RunReport::page(Micros at, const std::string& outcome) {
    end_line();  // a line the run left unended, as it stands

    size_t lines = 0;
    size_t pictures = 0;
    for (const Entry& entry : entries_) (entry.kind == Kind::picture ? pictures : lines) += 1;

    const Outcome meaning = outcome_meaning(outcome);

    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>quillmar-sim run of " +
        html_text(device_dir_) + "</title>\n<style>" + style + "</style></head>\n<body>\n";
    html += "<h1>quillmar-sim boot " + html_text(device_dir_) + "</h1>\n";
    html += std::string("<p id=\"outcome\" class=\"") + meaning.tone + "\">Outcome at " + seconds(at) +
            " s: <code>SIM: " + html_text(outcome) + "</code>" +
            (*meaning.meaning != '\0' ? std::string(" &mdash; ") + meaning.meaning : "") + "</p>\n";
    html += "<p class=\"summary\">" + std::to_string(lines) + " console lines and events, " + std::to_string(pictures) +
            " panel pictures. Times are virtual seconds since power-up. On the console, the standard error "
            "stream is red and what the program read is blue, shown when it read it. Point at a picture to see "
            "it at full size.</p>\n";
    html += "<div class=\"run\">\n";
    bool in_shots = false;
    for (const Entry& entry : entries_) {
        if (entry.kind == Kind::picture) {
            if (!in_shots) html += "<div class=\"shots\">\n";
            in_shots = true;
            const std::string caption =
                seconds(entry.at) + " s: " + entry.text + (entry.file.empty() ? "" : " (" + entry.file + ")");
            html += "<figure><img alt=\"" + html_text(caption) + "\" width=\"" + std::to_string(entry.width) +
                    "\" height=\"" + std::to_string(entry.height) + "\" src=\"data:image/png;base64," +
                    base64(entry.png) + "\"><figcaption>" + html_text(caption) + "</figcaption></figure>\n";
            continue;
        }
        if (in_shots) html += "</div>\n";
        in_shots = false;
        if (entry.kind == Kind::event) {
            html += "<div class=\"line event\"><span class=\"t\">" + seconds(entry.at) + "</span><span class=\"x\">" +
                    html_text(entry.text) + "</span></div>\n";
            continue;
        }
        // One span per run of bytes from the same stream.
        html += "<div class=\"line\"><span class=\"t\">" + seconds(entry.at) + "</span>";
        for (size_t from = 0; from < entry.text.size();) {
            const size_t end = std::min(entry.streams.find_first_not_of(entry.streams[from], from), entry.text.size());
            html += std::string("<span class=\"s") + entry.streams[from] + "\">" +
                    html_text(std::string_view(entry.text).substr(from, end - from)) + "</span>";
            from = end;
        }
        html += "</div>\n";
    }
    if (in_shots) html += "</div>\n";
    html += "</div>\n</body></html>\n";
    return html;
}

bool RunReport::write_page(const std::string& html, std::string& error) const {
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    if (file) file.write(html.data(), static_cast<std::streamsize>(html.size()));
    if (file) file.flush();
    if (!file) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace sim
