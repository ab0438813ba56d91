#include "display/bar.h"

#include <string>

#include "display/eink.h"
#include "sys/console.h"

namespace qm {

void draw_bar_text(unsigned width, uint32_t current, uint32_t total) {
    const unsigned cells = width > 2 ? width - 2 : 0;
    std::string bar(cells, ':');
    for (unsigned i = 0; i < cells; ++i) {
        uint64_t threshold = uint64_t{total} * i / cells;
        // A cell that lands exactly on an unfinished amount stays empty, so
        // that 0 of anything shows no progress at all.
        if (current != total && threshold == current) threshold = cells - 1;
        if (threshold <= current) bar[i] = '#';
    }
    out("[%s]", bar.c_str());
}

void draw_bar(unsigned width, uint32_t current, uint32_t total) {
    draw_bar_text(width, current, total);
    uint64_t percent = 100;
    if (total != 0 && current != total) percent = uint64_t{current} * 99 / total;
    // An amount past the total must not reach 101, which removes the bar.
    if (percent > 100) percent = 100;
    (void)eink_progressbar(static_cast<unsigned>(percent));  // the console bar above is the one that counts
}

void clear_bar_text() { out("\n"); }

void clear_bar() {
    clear_bar_text();
    (void)eink_progressbar_clear();  // as in draw_bar
}

}  // namespace qm
