#include "input/rpscrambler.h"

#include <mbedtls/md5.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "input/readkey.h"
#include "platform/boardid.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

// The fixed part, kept scrambled so it does not show in the binary: its
// character i is scramble[(i + 2) % 5] ^ scramble_key.
constexpr unsigned char scramble[5] = {0x91, 0xD7, 0xD4, 0xE9, 0xC8};
constexpr unsigned char scramble_key = 0xA5;
constexpr int password_wait_seconds = 60;
// Used for a device whose serial number is unknown.
constexpr char default_identifier[] = "qmdev0000";
constexpr size_t password_length = 9;

// Overwrites a buffer in a way the compiler may not drop.
void wipe(char* buffer, size_t size) {
    volatile char* p = buffer;
    for (size_t i = 0; i < size; ++i) p[i] = default_identifier[i % (sizeof default_identifier - 1)];
}

}  // namespace

void rpscramble_gen(const char* identifier, size_t size, char* out) {
    if (identifier == nullptr || *identifier == '\0') identifier = default_identifier;
    if (size == 0 || out == nullptr) return;

    mbedtls_md5_context md5;
    mbedtls_md5_init(&md5);
    mbedtls_md5_starts_ret(&md5);
    mbedtls_md5_update_ret(&md5, reinterpret_cast<const unsigned char*>(identifier), std::strlen(identifier));
    mbedtls_md5_update_ret(&md5, reinterpret_cast<const unsigned char*>("\n"), 1);

    char password[password_length + 1];
    for (size_t i = 0; i < 5; ++i) password[i] = static_cast<char>(scramble[(i + 2) % 5] ^ scramble_key);

    unsigned char digest[16];
    mbedtls_md5_finish_ret(&md5, digest);
    mbedtls_md5_free(&md5);
    char hex[7];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x", digest[3], digest[4], digest[5]);
    std::memcpy(password + 5, hex + 1, 4);
    password[password_length] = '\0';

    const size_t length = std::min(size, sizeof password) - 1;
    std::memcpy(out, password, length);
    out[length] = '\0';
    wipe(password, sizeof password);
    wipe(hex, sizeof hex);
}

int rpscramble_check(const char* text) {
    char password[16];
    rpscramble_gen(serialnumber_get(), sizeof password, password);
    const int match = std::strcmp(password, text != nullptr ? text : "") == 0;
    wipe(password, sizeof password);
    return match;
}

int check_pass() {
    out("PASSWORD: ");
    auto& k = sys::kernel();
    // Nobody may be there to answer: after a minute the prompt counts as a
    // wrong password, and the menu comes back and hands over by itself.
    if (!console_ready(password_wait_seconds)) return 0;
    char line[256];
    const ssize_t n = k.read(0, line, sizeof line - 1);
    if (n <= 0) return 0;
    line[n] = '\0';
    // The rest of an overlong line is dropped, or it would come back as
    // menu keys; only what has arrived, so that no line end is waited for.
    bool line_ended = n < static_cast<ssize_t>(sizeof line - 1) || line[n - 1] == '\n';
    while (!line_ended && console_ready(0)) {
        char dropped[sizeof line];
        const ssize_t more = k.read(0, dropped, sizeof dropped - 1);
        line_ended = more <= 0 || dropped[more - 1] == '\n';
    }
    if (line[n - 1] == '\n') line[n - 1] = '\0';
    return rpscramble_check(line);
}

}  // namespace qm
