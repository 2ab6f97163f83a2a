// The language store: one of three language files next to the program, its text sections
// as tables of key/value strings and its font sections ("FONT_" anywhere in the name) as
// font records. One store per process, shared by reference counting through
// GetLanguages(); dialogs that show its texts listen for language changes. Used on the GUI
// thread only.
#pragma once

#include <QString>

#include <map>
#include <optional>
#include <set>
#include <string>

namespace tray {

inline constexpr int kLanguageChineseSimplified = 0;
inline constexpr int kLanguageEnglish = 1;
inline constexpr int kLanguageChineseTrad = 2;

// The file of a language index (0 to 2), or nullptr for any other index.
const char* LanguageFileName(int index);

// The language index of a POSIX locale name ("zh_CN.UTF-8", "en_US", "C"): Simplified
// Chinese for zh_CN (and a bare "zh" or zh_Hans), Traditional for zh_TW (and zh_Hant),
// English for everything else, other Chinese regions included.
int LanguageIndexFromLocale(const std::string& locale);
// The locale that names the user's language: the first of LC_ALL, LC_MESSAGES and LANG
// that is set and not empty ("" when none is).
std::string SystemLocaleName();

struct FontRec {
  QString face = QStringLiteral("Arial");  // at most 31 characters
  int height = -12;                         // points, as written in the file
  int weight = 0;                           // 0 means the normal weight
};

class ILanguageCallBack {
 public:
  virtual void OnLanguageChanged() = 0;

 protected:
  ~ILanguageCallBack() = default;
};

class ILanguages {
 public:
  virtual int AddRef() = 0;
  // The new count; 0 when the store was destroyed.
  virtual int Release() = 0;
  virtual void AddListener(ILanguageCallBack* listener) = 0;
  virtual void RemoveListener(ILanguageCallBack* listener) = 0;
  // True when the loaded file gave at least one text section.
  virtual bool IsLoaded() const = 0;
  // Loads language index (0 to 2) and tells every listener, even for the current index.
  // Any other index changes nothing. A file that gives no texts (missing, a folder,
  // unreadable, damaged) is said once in the log, until it has been read again.
  virtual void SetLanguage(int index) = 0;
  // The value as UTF-8 (the narrow charset here), "" for a missing section or key.
  virtual std::string GetStringA(const std::string& section, const std::string& key) const = 0;
  virtual QString GetString(const std::string& section, const std::string& key) const = 0;
  // The font section's record, else FONT_DEFAULT's, else none.
  virtual std::optional<FontRec> GetFont(const std::string& section) const = 0;
  virtual void SelectSystemLanguage() = 0;
  virtual int GetLanguage() const = 0;
  virtual int GetPreviousLanguage() const = 0;

 protected:
  virtual ~ILanguages() = default;
};

// The process's store, with one more reference taken; built (in the system's language)
// when there is none.
ILanguages* GetLanguages();

// The folder the language files are read from: the program's own folder unless set.
// Tests and the program's --lang-dir option set it before the first GetLanguages().
void SetLanguageFolder(const QString& folder);
QString LanguageFolder();
// The locale SelectSystemLanguage reads; SystemLocaleName() unless set (tests set it).
void SetSystemLocaleOverride(const std::optional<std::string>& locale);

// A holder of one reference for a scope.
class LanguagesRef {
 public:
  LanguagesRef() : m_store(GetLanguages()) {}
  ~LanguagesRef() {
    if (m_store) m_store->Release();
  }
  LanguagesRef(const LanguagesRef&) = delete;
  LanguagesRef& operator=(const LanguagesRef&) = delete;
  ILanguages* operator->() const { return m_store; }
  ILanguages* get() const { return m_store; }

 private:
  ILanguages* m_store;
};

}  // namespace tray
