// The move of the data folder to another file system: its file work on a thread of its
// own, the service told on the GUI thread in between, and a dialog that shows the files
// and bytes copied with a Cancel that stops the copy and leaves the old folder as it was.
#pragma once

#include <QTimer>

#include <functional>
#include <memory>
#include <thread>

#include "data_folder.h"
#include "diy_dialog.h"

class QProgressBar;

namespace tray {

class CColorButton;
class CDiyStatic;

class CMoveDlg : public CDiyDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 270;
  // Runs the change from currentBase to newBase; done is called on the GUI thread with
  // the result once the change has ended (the dialog then hides; its owner deletes it).
  CMoveDlg(DataFolderContext context, QString currentBase, QString newBase,
           std::function<void(const DataFolderResult&)> done, QWidget* parent = nullptr);
  ~CMoveDlg() override;
  void Minimize() override {}

  void Start();
  bool Running() const { return m_running; }
  MoveCounters& Counters() { return m_counters; }
  CColorButton* CancelButton() const { return m_cancel; }
  // Shows the counters now (the timer does it every 100 ms).
  void Refresh();

 protected:
  void reject() override;  // Esc and the close button: Cancel

 private:
  void OnPlaced(bool goOn);
  void OnFinished();
  void End();
  void Join();

  DataFolderContext m_context;
  DataFolderChange m_change;
  std::function<void(const DataFolderResult&)> m_done;
  MoveCounters m_counters;
  MoveTimings m_timings = MoveTimings::FromEnvironment();
  std::thread m_worker;
  QTimer m_refresh;
  bool m_running = false;
  CDiyStatic* m_files;
  CDiyStatic* m_bytes;
  QProgressBar* m_bar;
  CColorButton* m_cancel;
};

}  // namespace tray
