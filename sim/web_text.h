// Text and bytes made fit for a web page that must stand on its own: the
// page of a run (sim/report.h) carries its pictures inside itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sim {

// bytes as HTML text: the markup characters escaped, well-formed UTF-8
// kept, and every other byte (a control character, a stray high byte)
// shown as \xHH, so that nothing the console carried is lost or garbles
// the page. Tabs stay.
std::string html_text(std::string_view bytes);

// bytes in base64 (RFC 4648, padded), as a data: URI needs.
std::string base64(std::span<const uint8_t> bytes);

}  // namespace sim
