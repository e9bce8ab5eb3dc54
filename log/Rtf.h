// A small Rich Text Format writer for the saved log: plain lines in one monospace font.
#pragma once

#include <string>
#include <vector>

namespace quillet {

// One paragraph per line. Input is UTF-8; the document is 7-bit ASCII: `\`, `{`, `}` escaped,
// Windows-1252 characters as \'hh, anything else as \uN? (UTF-16 units, signed).
std::string LogToRtf(const std::vector<std::string>& lines);

// The RTF text of one line, without the paragraph mark.
std::string RtfEscape(const std::string& utf8);

}  // namespace quillet
