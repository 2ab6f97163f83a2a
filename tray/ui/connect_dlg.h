// CConnectDlg asks the user whether a device that logs in with another account may
// connect to this PC. OK (and Enter) admits; Cancel, Escape, the close button and the
// deadline refuse. The question gets exactly one answer through the callback.
#pragma once

#include <QFont>
#include <QString>

#include "device_login_queue.h"
#include "diy_dialog.h"
#include "languages.h"
#include "ui_data.h"

namespace tray {

class CColorButton;
class CDiyStatic;

inline constexpr int kConnectDlgTemplate = 252;
inline constexpr int kConnectDlgFace = 253;

class IConnectDlgCallBack {
 public:
  virtual ~IConnectDlgCallBack() = default;
  virtual void OnConnectResult(const ConnectResult* result) = 0;
};

class CConnectDlg : public CDiyDialog {
  Q_OBJECT

 public:
  // info: the question (copied); its age counts toward refuseAge ticks of Tick.
  explicit CConnectDlg(const DeviceLoginInfo& info, int refuseAge = kDeviceLoginRefuseAge,
                       QWidget* parent = nullptr);
  ~CConnectDlg() override;

  void SetCallback(IConnectDlgCallBack* callback) { m_callback = callback; }
  void OnInitDialog();
  // Puts the language's texts on the controls (the first paint does it).
  void LoadTexts();
  bool TextsLoaded() const { return m_textsLoaded; }
  // One second passed: at the question's deadline the dialog refuses and closes.
  void Tick();
  int exec() override;
  void Minimize() override {}

  void accept() override { Answer(true); }
  void reject() override { Answer(false); }
  bool Answered() const { return m_answered; }

  const DeviceLoginInfo& Info() const { return m_info; }
  CColorButton* OkButton() const { return m_ok; }
  CColorButton* CancelButton() const { return m_cancel; }
  CDiyStatic* TitleStatic() const { return m_title; }
  CDiyStatic* SenderStatic() const { return m_sender; }
  CDiyStatic* NetworkStatic() const { return m_network; }
  CDiyStatic* OtherStatic() const { return m_other; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Answer(bool accepted);

  LanguagesRef m_languages;
  DeviceLoginInfo m_info;
  const int m_refuseAge;
  IConnectDlgCallBack* m_callback = nullptr;
  bool m_initialised = false;
  bool m_textsLoaded = false;
  bool m_answered = false;
  QFont m_titleFont, m_infoFont, m_otherFont, m_buttonFont;
  CColorButton* m_ok = nullptr;
  CColorButton* m_cancel = nullptr;
  CDiyStatic* m_title = nullptr;    // 1103
  CDiyStatic* m_sender = nullptr;   // 1104
  CDiyStatic* m_network = nullptr;  // 1105
  CDiyStatic* m_other = nullptr;    // 1106
};

}  // namespace tray
