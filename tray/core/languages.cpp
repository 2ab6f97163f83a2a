#include "languages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdlib>
#include <vector>

#include "ini_file.h"

namespace tray {

namespace {

QString g_folder;
std::optional<std::string> g_localeOverride;
// Language files that gave no texts and have been reported; a file is reported again only
// after it was read once more.
std::set<QString> g_reported;

// Says once, in the program's own words, why a language file gave no texts.
void ReportNoTexts(const QString& path, bool read) {
  if (!g_reported.insert(path).second) return;
  const QFileInfo info(path);
  const char* why = !info.exists() ? "is missing"
                    : info.isDir() ? "is a folder, not a file"
                    : !read        ? "cannot be read"
                                   : "holds no texts (damaged or empty)";
  qWarning("language file %s %s; the program's texts stay empty until another language is "
           "chosen",
           qUtf8Printable(QDir::toNativeSeparators(path)), why);
}

int ParseInt(const std::string& text) {
  // Like the profile functions: the leading integer, 0 when there is none.
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

class CLanguages final : public ILanguages {
 public:
  CLanguages() { SelectSystemLanguage(); }

  int AddRef() override { return ++m_refs; }
  int Release() override;
  void AddListener(ILanguageCallBack* listener) override {
    if (listener) m_listeners.insert(listener);
  }
  void RemoveListener(ILanguageCallBack* listener) override { m_listeners.erase(listener); }
  bool IsLoaded() const override { return !m_texts.empty(); }
  void SetLanguage(int index) override;
  std::string GetStringA(const std::string& section, const std::string& key) const override;
  QString GetString(const std::string& section, const std::string& key) const override {
    return QString::fromStdString(GetStringA(section, key));
  }
  std::optional<FontRec> GetFont(const std::string& section) const override;
  void SelectSystemLanguage() override {
    SetLanguage(LanguageIndexFromLocale(g_localeOverride ? *g_localeOverride
                                                         : SystemLocaleName()));
  }
  int GetLanguage() const override { return m_current; }
  int GetPreviousLanguage() const override { return m_previous; }

 private:
  std::set<ILanguageCallBack*> m_listeners;
  int m_refs = 0;
  QString m_path;
  std::map<std::string, std::map<std::string, std::string>> m_texts;
  std::map<std::string, FontRec> m_fonts;
  int m_current = 0;
  int m_previous = 0;
};

CLanguages* g_store = nullptr;

int CLanguages::Release() {
  if (--m_refs > 0) return m_refs;
  g_store = nullptr;
  delete this;
  return 0;
}

void CLanguages::SetLanguage(int index) {
  const char* file = LanguageFileName(index);
  if (file == nullptr) return;
  m_texts.clear();
  m_fonts.clear();
  m_previous = m_current;
  m_current = index;
  m_path = QDir(LanguageFolder()).filePath(QString::fromLatin1(file));

  IniFile ini;
  const QFileInfo info(m_path);
  const bool read = info.isFile() && ini.Load(m_path.toStdString());
  for (const std::string& name : ini.SectionNames()) {
    const auto& lines = ini.Section(name);
    if (name.find("FONT_") != std::string::npos) {
      FontRec rec;
      if (auto v = ini.Value(name, "FONT_HEIGHT")) rec.height = ParseInt(*v);
      if (auto v = ini.Value(name, "FONT_WEIGHT")) rec.weight = ParseInt(*v);
      if (auto v = ini.Value(name, "FONT_NAME")) rec.face = QString::fromStdString(*v).left(31);
      m_fonts.try_emplace(name, rec);
    } else if (!lines.empty()) {
      m_texts[name] = lines;
    }
  }

  if (m_texts.empty()) {
    ReportNoTexts(m_path, read);
  } else {
    g_reported.erase(m_path);
  }

  // A listener may add or remove listeners while it is told.
  std::vector<ILanguageCallBack*> snapshot(m_listeners.begin(), m_listeners.end());
  for (ILanguageCallBack* listener : snapshot) {
    if (m_listeners.count(listener)) listener->OnLanguageChanged();
  }
}

std::string CLanguages::GetStringA(const std::string& section, const std::string& key) const {
  auto s = m_texts.find(section);
  if (s == m_texts.end()) return {};
  auto k = s->second.find(key);
  return k == s->second.end() ? std::string() : k->second;
}

std::optional<FontRec> CLanguages::GetFont(const std::string& section) const {
  auto it = m_fonts.find(section);
  if (it == m_fonts.end()) it = m_fonts.find("FONT_DEFAULT");
  if (it == m_fonts.end()) return std::nullopt;
  return it->second;
}

QString ProgramFolder() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section('/', 0, -2);
}

}  // namespace

const char* LanguageFileName(int index) {
  switch (index) {
    case kLanguageChineseSimplified:
      return "ChineseSimplified.qzl";
    case kLanguageEnglish:
      return "English.qzl";
    case kLanguageChineseTrad:
      return "ChineseTrad.qzl";
    default:
      return nullptr;
  }
}

int LanguageIndexFromLocale(const std::string& locale) {
  // language[_territory][.codeset][@modifier]
  std::string name = locale.substr(0, locale.find_first_of(".@"));
  std::string lang = name.substr(0, name.find_first_of("_-"));
  if (lang != "zh") return kLanguageEnglish;
  std::string region = name.size() > 3 ? name.substr(3) : std::string();
  if (region.empty() || region == "CN" || region == "Hans") return kLanguageChineseSimplified;
  if (region == "TW" || region == "Hant") return kLanguageChineseTrad;
  return kLanguageEnglish;
}

std::string SystemLocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return value;
  }
  return {};
}

ILanguages* GetLanguages() {
  if (g_store == nullptr) g_store = new CLanguages();
  g_store->AddRef();
  return g_store;
}

void SetLanguageFolder(const QString& folder) { g_folder = folder; }

QString LanguageFolder() { return g_folder.isEmpty() ? ProgramFolder() : g_folder; }

void SetSystemLocaleOverride(const std::optional<std::string>& locale) {
  g_localeOverride = locale;
}

}  // namespace tray
