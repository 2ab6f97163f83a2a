// The question before an account switch: "log out of this account?", OK or Cancel.
#pragma once

#include "diy_dialog.h"

namespace tray {

class CColorButton;
class CDiyStatic;

class CSwitchAccountDlg : public CDiyDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 264;
  explicit CSwitchAccountDlg(QWidget* parent = nullptr);
  void Minimize() override {}

  CColorButton* OkButton() const { return m_ok; }
  CColorButton* CancelButton() const { return m_cancel; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CColorButton* m_ok;
  CColorButton* m_cancel;
  CDiyStatic* m_text;
};

}  // namespace tray
