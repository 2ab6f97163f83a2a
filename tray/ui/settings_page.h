// The settings page of the settings dialog: start with the desktop session, the language
// of the program, and the data folder with its move button. The page paints nothing of
// its own: the dialog's face shows through, and the controls (object names = control ids)
// draw over it. The page reports the user's actions; the dialog acts on them.
#pragma once

#include <QRect>
#include <QRgb>
#include <QString>
#include <QWidget>

#include <optional>

class QLineEdit;

namespace tray {

class CColorButton;
class CColorCombobox;
class CDiyStatic;
class ILanguages;

// What the dialog answers for a control's colours (COLORREF 0x00BBGGRR as the dialog
// keeps them): the background, and the text unless the control keeps its own.
struct CtlColors {
  unsigned background;
  std::optional<unsigned> text;
};
// None for a control the dialog leaves to its own drawing.
std::optional<CtlColors> OnCtlColor(int controlId);
// A COLORREF as an opaque Qt colour.
QRgb ColorRefToRgb(unsigned colorRef);

class CSettingsPage : public QWidget {
  Q_OBJECT

 public:
  // Where the page lies in the dialog: below the tab row, above the OK and Cancel row.
  static constexpr QRect kArea{0, 187, 484, 193};

  explicit CSettingsPage(QWidget* dialog);

  // The page's texts in the store's language; the combo is filled anew with the three
  // languages in index order and shows the store's language.
  void ApplyTexts(const ILanguages& languages);
  // The page's fonts from the language's font sections (a control whose section and
  // FONT_DEFAULT are both missing keeps its font).
  void ApplyFonts();

  void SetAutoStart(bool checked);
  void SetDataFolder(const QString& folder);
  void SelectLanguage(int index);

  CColorButton* AutoStartBox() const { return m_autoStart; }
  CColorCombobox* LanguageCombo() const { return m_language; }
  QLineEdit* DataFolderField() const { return m_dataFolder; }
  CColorButton* MoveButton() const { return m_move; }

 signals:
  void AutoStartClicked(bool checked);
  // The user chose a language in the combo (never for the program's own changes).
  void LanguageChosen(int index);
  void MoveFolderClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  CDiyStatic* Label(int id, const QRect& at);
  void PlaceDataFolder();

  CDiyStatic* m_general = nullptr;     // 1078
  CDiyStatic* m_start = nullptr;       // 1079
  CColorButton* m_autoStart = nullptr;  // 1050
  CDiyStatic* m_languageLabel = nullptr;  // 1051
  CColorCombobox* m_language = nullptr;   // 1053
  CDiyStatic* m_dataHeading = nullptr;    // 1084
  CDiyStatic* m_dataLabel = nullptr;      // 1054
  QLineEdit* m_dataFolder = nullptr;      // 1025
  CColorButton* m_move = nullptr;         // 1055
};

}  // namespace tray
