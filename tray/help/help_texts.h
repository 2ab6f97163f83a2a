// The help texts of the three languages, as simple HTML.
#pragma once

#include <QString>

namespace helpgen {

struct HelpText {
  const char* fileName;  // UTF-8
  const char* language;  // for the document's metadata
  QString html;
};

// Indexes 0 (Simplified Chinese), 1 (English), 2 (Traditional Chinese).
HelpText HelpFor(int language);

}  // namespace helpgen
