// CApDlg, the Wi-Fi hotspot dialog: whether this PC can open a hotspot for the phone
// (NetworkManager's nmcli and a free Wi-Fi adapter), its name and key, and a Start or a
// Stop button. The tool runs in the background; the dialog shows the outcome when it
// ends, a failure with a text of its own.
#pragma once

#include <QFont>
#include <QString>

#include "diy_dialog.h"
#include "hosted_network.h"
#include "languages.h"

namespace tray {

class CColorButton;
class CDiyStatic;
class ISettingsStore;

inline constexpr int kApDlgTemplate = 293;
inline constexpr int kApDlgFace = 295;

class CApDlg : public CDiyDialog {
  Q_OBJECT

 public:
  // The probe and the network outlive the dialog (an operation may end after it closed);
  // store holds the key (none: the process's settings store).
  CApDlg(IAdapterProbe& probe, IHostedNetwork& network, ISettingsStore* store = nullptr,
         QWidget* parent = nullptr);
  ~CApDlg() override;

  void Minimize() override {}

  // Start or Stop with its text and picture, from the flag, or from nmcli and the adapters.
  void ShowState();
  // Places the status picture and the (wrapped) status text at the bottom.
  void LayoutStatus();
  void HostedNetworkStart();
  void HostedNetworkStop();

  CColorButton* StartButton() const { return m_start; }
  CColorButton* StopButton() const { return m_stop; }
  CDiyStatic* StatusLabel() const { return m_status; }
  CDiyStatic* NetworkLabel() const { return m_networkText; }
  QWidget* StatusPicture() const { return m_picture; }
  int StatusPictureId() const { return m_pictureId; }
  QString StatusKey() const { return m_statusKey; }
  QString Key() const { return m_key; }

 private:
  void OnFinished(HostedOp op, HostedResult result);
  void SetStatus(const char* key, int picture);

  LanguagesRef m_languages;
  IAdapterProbe& m_probe;
  IHostedNetwork& m_network;
  QString m_key;
  QFont m_buttonFont, m_statusFont, m_titleFont;
  CColorButton* m_start = nullptr;  // 1126
  CColorButton* m_stop = nullptr;   // 1127
  CDiyStatic* m_status = nullptr;   // 1123
  CDiyStatic* m_title = nullptr;    // 1136
  CDiyStatic* m_networkText = nullptr;  // the network's name and key
  QWidget* m_picture = nullptr;     // 1128
  int m_pictureId = kApPictureReady;
  QString m_statusKey;
};

}  // namespace tray
