// The program's own message box on the skinned face: a message centred on the face (wrapped
// when it is long) and one or two picture buttons labelled from the language file.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

#include "diy_dialog.h"

class QLineEdit;

namespace tray {

class CColorButton;
class CDiyStatic;
class ILanguages;

class CDiyMessageBox : public CDiyDialog {
  Q_OBJECT

 public:
  // type: 0 OK, 1 OK and Cancel, 4 Yes and No (skin::kMessageBox*); any other type shows no
  // button. The box holds its own reference on languages.
  CDiyMessageBox(ILanguages* languages, const QString& message, const QString& title, int type,
                 QWidget* parent = nullptr);
  ~CDiyMessageBox() override;

  // The box does not minimise.
  void Minimize() override {}

  CColorButton* OkButton() const { return m_ok; }
  CColorButton* CancelButton() const { return m_cancel; }
  CDiyStatic* Label() const { return m_label; }
  // Lines shown under the message as selectable, read-only text (an address, a folder),
  // so that the user can copy what the program could not open.
  void SetDetails(const QStringList& lines);
  const std::vector<QLineEdit*>& Details() const { return m_details; }

  // OK, Yes and Enter end the box with 1; Cancel, No, Escape and closing it with 2.
  void accept() override;
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Arrange();

  ILanguages* m_languages;
  QString m_message;
  int m_type;
  CColorButton* m_yes = nullptr;     // 1098, always hidden
  CColorButton* m_cancel = nullptr;  // IDCANCEL: Cancel or No
  CColorButton* m_ok = nullptr;      // IDOK: OK or Yes, the default button
  CColorButton* m_no = nullptr;      // 1099, always hidden
  CDiyStatic* m_label = nullptr;     // 1101
  std::vector<QLineEdit*> m_details;
};

// Shows the box modally and returns the button that ended it: 1 (OK, Yes, Enter) or 2
// (Cancel, No, Escape, the close button).
int ShowDiyMessageBox(ILanguages* languages, const QString& message, const QString& title,
                      int type, const QStringList& details = {});

}  // namespace tray
