// CLoginDlg, the login window: account (an e-mail address) and password, checked here,
// then handed to the owner through ICLoginDlgCallback; it never talks to the service.
// Created hidden and never closed by the user, only hidden. The rules behind the fields
// are LoginLogic's; this class shows them.
#pragma once

#include <QAbstractButton>
#include <QEvent>
#include <QString>

#include <functional>

#include "diy_dialog.h"
#include "languages.h"
#include "login_info.h"
#include "login_logic.h"

class QLineEdit;

namespace tray {

class CColorButton;
class CDiyStatic;
class IShellOpen;

// A link drawn over the face: underlined text, a tooltip, and a target address that a
// click opens through the shell.
class CLoginLink : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CLoginLink(QWidget* parent = nullptr);
  void SetTarget(const QString& url) { m_target = url; }
  QString Target() const { return m_target; }
  void SetLinkFont(const QFont& font);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString m_target;
};

// The posted form of a login from elsewhere (a record to fill in and log in with).
class AutoLoginEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 0x200);
  explicit AutoLoginEvent(const LoginInfo& record) : QEvent(kType), m_record(record) {}
  const LoginInfo& Record() const { return m_record; }

 private:
  LoginInfo m_record;
};

class CLoginDlg : public CDiyDialog, public ILanguageCallBack {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 102;

  explicit CLoginDlg(IShellOpen* shell, QWidget* parent = nullptr);
  ~CLoginDlg() override;

  void SetCallback(ICLoginDlgCallback* callback) { m_callback = callback; }
  // The stored account after a logon the owner started, or at program start.
  void SetSavedLogin(const LoginInfo& record);
  // The owner's account switch, before it shows the window.
  void OnEnSetfocusPassword();
  // Fills the fields from record and logs in.
  void OnAutoLogin(const LoginInfo& record);
  // The login button, Enter in any field, and a login from elsewhere.
  void DoLogin();

  // Where the empty-field messages go (the skinned message box by default).
  using MessageSink = std::function<void(const QString& text)>;
  void SetMessageSink(MessageSink sink) { m_message = std::move(sink); }
  // The balloon last shown on a field, and on which ("1004" or "1005").
  QString LastBalloon() const { return m_lastBalloon; }
  QString LastBalloonField() const { return m_lastBalloonField; }

  const LoginLogic& Logic() const { return m_logic; }
  QLineEdit* AccountEdit() const { return m_account; }
  QLineEdit* PasswordEdit() const { return m_password; }
  CColorButton* RememberBox() const { return m_remember; }
  CColorButton* LoginButton() const { return m_login; }
  CLoginLink* ForgetLink() const { return m_forget; }
  CLoginLink* RegisterLink() const { return m_register; }

  void OnLanguageChanged() override;
  // Loads the texts when the language changed since the last load; the paint calls it.
  void LoadTexts();
  bool TextsLoaded() const { return m_textsLoaded; }

  // Enter logs in; the window never ends through it, and closing only hides.
  void accept() override {}
  void reject() override { hide(); }
  void Minimize() override {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void MakeFonts();
  void Sync();  // the logic's state into the widgets
  void Balloon(QLineEdit* edit, const QString& text);
  void ShowMessage(const char* key);
  QString Text(const char* section, const char* key) const;

  IShellOpen* m_shell;
  ILanguages* m_languages;
  ICLoginDlgCallback* m_callback = nullptr;
  LoginLogic m_logic{"", ""};
  bool m_textsLoaded = false;
  bool m_syncing = false;
  MessageSink m_message;
  QString m_lastBalloon, m_lastBalloonField;

  CDiyStatic* m_accountLabel;
  CDiyStatic* m_passwordLabel;
  QLineEdit* m_account;
  QLineEdit* m_password;
  CColorButton* m_remember;
  CLoginLink* m_forget;
  CLoginLink* m_register;
  CColorButton* m_login;
};

}  // namespace tray
