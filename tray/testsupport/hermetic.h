// What every tray test starts from, whatever the caller's environment holds. The test
// main (hermetic_main.cpp), which every test program under tray/ links instead of
// GoogleTest's, makes a home and XDG folders of the program's own before the first test
// and calls ResetSharedState before and after each test; a modal dialog that a test
// leaves open fails that test and is closed after ModalLimitMs().
#pragma once

#include <QString>

namespace traytest {

// The web server's address in every test: nothing listens there, so a fetch fails at once.
inline constexpr const char* kNoWebBase = "https://127.0.0.1:1";

// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME and XDG_CACHE_HOME at
// folders of a temporary root of this process, and clears the caller's TIRVAN_
// variables (but TIRVAN_BUILD_DIR and TIRVAN_TEST_*). Done once; later calls do nothing.
void UseTemporaryHome();
// The temporary root of UseTemporaryHome.
QString TemporaryHome();

// Points the process's web configuration at kNoWebBase.
void UseNoWebServer();

// Clears a QCoreApplication::exit that no event loop took (it would end every later
// exec at once); empties the home and the XDG folders but the cache; web address kNoWebBase (the
// environment's and the process's configuration); the process's settings store back on
// its file; language folder back to the program's, system locale en_US.UTF-8, and a live
// language store on English; hotspot flag off; TIRVAN_FETCH_PROGRAM the built
// tirvan-fetch and TIRVAN_FETCH_MARGIN_MS unset.
void ResetSharedState();

// Where screenshots go: TIRVAN_TEST_SHOT_DIR when set, else tirvan-tray-shots in the
// system's temporary folder; made when missing. Never the build folder.
QString ShotDir();
QString ShotPath(const QString& name);

// How long a modal dialog may stay open in a test: TIRVAN_TEST_MODAL_LIMIT_MS, default
// 10,000.
int ModalLimitMs();

}  // namespace traytest
