// An autostart entry for tests: records what it was asked to write and remove. By default
// it keeps the state it was given; NoAutostart is one that stays off whatever it is told.
#pragma once

#include <QString>
#include <QStringList>

#include "autostart.h"

namespace traytest {

struct FakeAutostart : tray::IAutostart {
  bool enabled = false;
  bool remembers = true;  // Enable and Disable change `enabled`
  QStringList written;    // the programs Enable got
  int removed = 0;
  bool IsEnabled() const override { return enabled; }
  QString Command() const override { return remembers ? written.value(written.size() - 1) : QString(); }
  bool Enable(const QString& program) override {
    written << program;
    if (remembers) enabled = true;
    return true;
  }
  bool Disable() override {
    ++removed;
    if (remembers) enabled = false;
    return true;
  }
};

// An autostart entry that is off and stays off.
struct NoAutostart final : FakeAutostart {
  NoAutostart() { remembers = false; }
};

}  // namespace traytest
