#include "ini_file.h"

#include <fstream>
#include <sstream>

namespace tray {

bool IniFile::Load(const std::string& path) {
  m_order.clear();
  m_sections.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  Parse(text.str());
  return true;
}

void IniFile::Parse(const std::string& text) {
  m_order.clear();
  m_sections.clear();
  size_t pos = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  std::map<std::string, std::string>* current = nullptr;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) continue;
      std::string name = line.substr(1, close - 1);
      auto [it, added] = m_sections.try_emplace(name);
      if (added) m_order.push_back(name);
      current = &it->second;
      continue;
    }
    size_t eq = line.find('=');
    if (current == nullptr || eq == std::string::npos) continue;
    (*current)[line.substr(0, eq)] = line.substr(eq + 1);
  }
}

const std::map<std::string, std::string>& IniFile::Section(const std::string& name) const {
  static const std::map<std::string, std::string> kEmpty;
  auto it = m_sections.find(name);
  return it == m_sections.end() ? kEmpty : it->second;
}

std::optional<std::string> IniFile::Value(const std::string& section,
                                          const std::string& key) const {
  const auto& s = Section(section);
  auto it = s.find(key);
  if (it == s.end()) return std::nullopt;
  return it->second;
}

}  // namespace tray
