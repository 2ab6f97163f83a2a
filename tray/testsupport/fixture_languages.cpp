#include "fixture_languages.h"

#include <QDir>
#include <QFile>

namespace traytest {
namespace {

std::string FileText(int index, const std::string& extra) {
  static const char* const kTexts[3] = {
      "[UI]\nLANGUAGE_NAME=简体中文\nDIALOG_TITLE=Tirvan\nMSGBOX_BUTTON_OK=确定\n"
      "MSGBOX_BUTTON_CANCEL=取消\nMSGBOX_BUTTON_YES=是\nMSGBOX_BUTTON_NO=否\n"
      "[FONT_DEFAULT]\nFONT_NAME=Noto Sans CJK SC\nFONT_HEIGHT=-9\n",
      "[UI]\nLANGUAGE_NAME=English\nDIALOG_TITLE=Tirvan\nMSGBOX_BUTTON_OK=OK\n"
      "MSGBOX_BUTTON_CANCEL=Cancel\nMSGBOX_BUTTON_YES=Yes\nMSGBOX_BUTTON_NO=No\n"
      "[FONT_DEFAULT]\nFONT_NAME=Liberation Sans\nFONT_HEIGHT=-9\n",
      "[UI]\nLANGUAGE_NAME=繁體中文\nDIALOG_TITLE=Tirvan\nMSGBOX_BUTTON_OK=確定\n"
      "MSGBOX_BUTTON_CANCEL=取消\nMSGBOX_BUTTON_YES=是\nMSGBOX_BUTTON_NO=否\n"
      "[FONT_DEFAULT]\nFONT_NAME=Noto Sans CJK TC\nFONT_HEIGHT=-9\n",
  };
  return std::string(kTexts[index]) + extra;
}

}  // namespace

FixtureLanguages::FixtureLanguages(const std::string& extra) {
  for (int i = 0; i < 3; ++i) {
    QFile file(QDir(m_dir.path()).filePath(QString::fromLatin1(tray::LanguageFileName(i))));
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::fromStdString(FileText(i, extra)));
  }
  tray::SetLanguageFolder(m_dir.path());
  tray::SetSystemLocaleOverride("en_US.UTF-8");
  // The store may have been made before the folder was set: read the fixture now.
  m_store->SetLanguage(tray::kLanguageEnglish);
}

FixtureLanguages::~FixtureLanguages() {
  tray::SetSystemLocaleOverride(std::nullopt);
  tray::SetLanguageFolder(QString());
}

void FixtureLanguages::Write(int index, const std::string& text) {
  QFile file(QDir(m_dir.path()).filePath(QString::fromLatin1(tray::LanguageFileName(index))));
  if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::fromStdString(text));
  file.close();
  if (m_store->GetLanguage() == index) m_store->SetLanguage(index);
}

}  // namespace traytest
