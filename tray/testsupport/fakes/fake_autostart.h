// An autostart entry for tests: records what it was asked to write and remove. By default
// it keeps the state it is told and reports the program it was last given; knobs make it
// refuse or forget. NoAutostart is off and stays off.
#pragma once

#include <QString>
#include <QStringList>

#include "autostart.h"

namespace traytest {

struct FakeAutostart : tray::IAutostart {
  bool enabled = false;
  bool remembers = true;     // Enable and Disable change `enabled`; Command() tells the program
  bool fail = false;         // Enable and Disable refuse, changing nothing
  QStringList written;       // the programs Enable got
  int removed = 0;           // the calls of Disable
  QStringList calls;         // "enable <program>" or "disable", in their order
  bool IsEnabled() const override { return enabled; }
  QString Command() const override { return remembers ? written.value(written.size() - 1) : QString(); }
  bool Enable(const QString& program) override {
    calls << QStringLiteral("enable ") + program;
    written << program;
    if (fail) return false;
    if (remembers) enabled = true;
    return true;
  }
  bool Disable() override {
    calls << QStringLiteral("disable");
    ++removed;
    if (fail) return false;
    if (remembers) enabled = false;
    return true;
  }
};

// An autostart entry that is off and stays off.
struct NoAutostart final : FakeAutostart {
  NoAutostart() { remembers = false; }
};

}  // namespace traytest
