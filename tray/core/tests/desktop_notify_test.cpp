#include "desktop_notify.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "languages.h"

namespace {

struct RecordingNotifier final : tray::INotifier {
  QStringList titles, texts;
  bool Notify(const QString& title, const QString& text) override {
    titles << title;
    texts << text;
    return true;
  }
};

TEST(DesktopNotifyTest, SecondCopyTellsInTheSystemLanguage) {
  QTemporaryDir dir;
  for (auto [name, text] : {std::pair{"English.qzl", "[MESSAGEBOX]\nMSGBOX_ONEMORESTART=Already running\n"},
                            std::pair{"ChineseTrad.qzl", "[MESSAGEBOX]\nMSGBOX_ONEMORESTART=已在執行\n"}}) {
    QFile f(QDir(dir.path()).filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }
  tray::SetLanguageFolder(dir.path());
  RecordingNotifier notifier;
  tray::SetSystemLocaleOverride("zh_TW.UTF-8");
  tray::NotifyAlreadyRunning(notifier);
  tray::SetSystemLocaleOverride("en_GB.UTF-8");
  tray::NotifyAlreadyRunning(notifier);
  tray::SetSystemLocaleOverride(std::nullopt);
  tray::SetLanguageFolder(QString());
  EXPECT_EQ(notifier.titles, (QStringList{QStringLiteral("Tirvan"), QStringLiteral("Tirvan")}));
  EXPECT_EQ(notifier.texts, (QStringList{QStringLiteral("已在執行"), QStringLiteral("Already running")}));
}

}  // namespace
