// The release notes the tray program shows once after an update: a JSON document from
// the maker's web server whose data.text is the text, in UTF-8.
#pragma once

#include <QString>

#include <optional>
#include <string>

namespace tray {

// data.text of the document; none when it is not JSON or data.text is not a string.
// Invalid UTF-8 sequences in the text are dropped.
std::optional<QString> ParseReleaseNotes(const std::string& document);
// Fetches the notes of the language (0 to 2) from the configured web server within
// timeoutMs, over HTTPS only; none on any failure, an answer other than 200 or an http://
// address included.
std::optional<QString> FetchReleaseNotes(int language, long timeoutMs = 5000);

}  // namespace tray
