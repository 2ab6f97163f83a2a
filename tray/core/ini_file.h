// The INI format of the language files: "[section]" lines, then "key=value" lines. The key
// is the text before the first "=", the value all after it; nothing is trimmed and names
// compare exactly. A later line with the same key replaces the earlier value; a section
// named twice is one section. Lines without "=" and comment lines (";" or "#" first) carry
// nothing. The text is UTF-8, with or without a byte-order mark; CR LF ends a line as LF
// does.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tray {

class IniFile {
 public:
  // Reads the file at path; false (and an empty store) when it cannot be read.
  bool Load(const std::string& path);
  void Parse(const std::string& text);

  // Section names in the order they first appear in the file.
  const std::vector<std::string>& SectionNames() const { return m_order; }
  // The keys and values of a section (empty for a missing section).
  const std::map<std::string, std::string>& Section(const std::string& name) const;
  std::optional<std::string> Value(const std::string& section, const std::string& key) const;
  bool Empty() const { return m_order.empty(); }

 private:
  std::vector<std::string> m_order;
  std::map<std::string, std::map<std::string, std::string>> m_sections;
};

}  // namespace tray
