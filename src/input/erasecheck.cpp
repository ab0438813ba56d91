#include "input/erasecheck.h"

#include "display/eink.h"
#include "input/readkey.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

constexpr char confirmation_word[] = "reset";
constexpr int word_length = 5;
// Eight cursor keys and two letters that do not occur in the word; it
// switches wrong letters between the notice and the test card.
constexpr unsigned char hidden_sequence[] = {19, 23, 1, 1, 4, 19, 23, 4, 120, 107};
constexpr int sequence_length = sizeof hidden_sequence;

constexpr int notice_picture = 1;
constexpr int pattern_picture = 2;

int lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
bool alphanumeric(int c) { return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'z'); }

// The whole check, from its notice to its last key: a reader whose console
// is silent or gone and whose keypad nobody touches must not wait for ever
// with its battery draining, and a person typing the word needs seconds.
constexpr time_t check_seconds = 600;

// The next key, or -1 when none came before the deadline or the inputs
// failed: the check then declines, since nothing is erased without the word.
int next_key(time_t deadline) {
    const time_t left = deadline - sys::kernel().time(nullptr);
    char key = 0;
    if (left <= 0 || !read_key_still(&key, static_cast<int>(left))) return -1;
    return static_cast<unsigned char>(key);
}

}  // namespace

void erasecheck_sprite_position(unsigned xres, unsigned yres, int p, int* x, int* y) {
    if (!(xres <= 600 && yres <= 800) && xres <= 824 && yres <= 1200) {
        *x = 316 + 40 * p;
        *y = 390;
        return;
    }
    if (!(xres <= 600 && yres <= 800)) err("WARNING:Defaulting to using 600x800 screens.\n");
    *x = 204 + 40 * p;
    *y = 246;
}

void erasecheck_pattern_position(unsigned xres, unsigned yres, int* x, int* y) {
    *x = (static_cast<int>(xres) - 600) / 2;
    *y = (static_cast<int>(yres) - 800) / 2;
}

void erasecheck_screen_show() {
    (void)eink_display_image(notice_picture, 0, 0);  // the console below says the same
    out("*** Press ENTER or Select to continue booting normally ***\n");
    out("enter \"RESET\" to erase the device and enter quillmar.\n");
}

int erasecheck() {
    const time_t deadline = sys::kernel().time(nullptr) + check_seconds;
    erasecheck_screen_show();
    int typed = 0;
    int pattern_mode = 0;
    int progress = 0;
    for (;;) {
        out("Enter: ");
        const int key = next_key(deadline);
        out("\n");

        // Nothing is erased unless the word is typed: no key in time, and
        // inputs that fail, decline the check.
        if (key < 0 && sys::kernel().time(nullptr) >= deadline)
            err("INFO:No reset typed within %d seconds\n", static_cast<int>(check_seconds));
        if (key < 0 || key == 13 || key == 10 || key == ' ' || key == '$') {
            err("INFO:Factory reset aborted, booting normally.\n");
            return 0;
        }
        if (key == 8) {
            err("INFO:DEL key - start over.\n");
            erasecheck_screen_show();
            typed = 0;
            continue;
        }
        if (progress < sequence_length && key == hidden_sequence[progress]) ++progress;
        if (progress == sequence_length) {
            pattern_mode = !pattern_mode;
            err("WARNING:Skip %d\n", pattern_mode);
            progress = 0;
        }
        if (!alphanumeric(key)) {
            err("WARNING:Ignoring non-alphanumeric input. (ch=%u)\n", static_cast<unsigned>(key));
            continue;
        }
        if (lower(key) == confirmation_word[typed]) {
            int x = 0, y = 0;
            erasecheck_sprite_position(g_eink_canvas.xres, g_eink_canvas.yres, typed, &x, &y);
            eink_drawsprite(x, y, eink_char_to_sprite(key));
            if (++typed == word_length) {
                err("INFO:Code matched.\n");
                return 1;
            }
            continue;
        }
        err("WARNING:Code not recognized, try again!\n");
        if (pattern_mode) {
            int x = 0, y = 0;
            erasecheck_pattern_position(g_eink_canvas.xres, g_eink_canvas.yres, &x, &y);
            (void)eink_display_image(pattern_picture, x, y);  // the warning above stands on the console
        } else {
            erasecheck_screen_show();
        }
        typed = 0;
    }
}

}  // namespace qm
