// The tray program's requests (every Show_ handler) fed request records. They come from
// loopback as the tray program's do; relayed ones must be refused by the dispatch. The
// folder listing without a folder lists the test root instead of the file system's roots.
// Settings the requests change (shares, default folders) are set back after every input.
#include <string>
#include <vector>

#include "app/logon.h"
#include "app/tray_requests.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_SHOW_GET_LOG_ON_INFO, Show_GetLogOnInfo},
    {OP_SHOW_LOG_ON_STATUES, Show_LogOnStatues},
    {OP_SHOW_LOG_ON, Show_LogOn},
    {OP_SHOW_GET_DEF_SHARE, Show_GetDefShare},
    {OP_SHOW_SET_DEF_SHARE, Show_SetDefShare},
    {OP_SHOW_GET_SHARE, Show_GetShare},
    {OP_SHOW_SET_SHARE, Show_SetShare},
    {OP_SHOW_GET_PATH, Show_GetPath},
    {OP_SHOW_GET_TRANS_LOG, Show_GetTransLog},
    {OP_SHOW_GET_IS_TRANING, Show_GetIsTraning},
    {OP_SHOW_GET_IS_MOBILE_LINKED, Show_GetIsMobileLinked},
    {OP_SHOW_GET_SYS_TYPE, Show_GetSysType},
    {OP_SHOW_LOG_OUT, Show_LogOut},
    {OP_SHOW_CLEAR_LOG, Show_ClearLog},
};

std::vector<std::string> TestRoots() { return {fuzz::TestRoot().base}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool init = [] {
    fuzz::InitRequestTarget(kTable);
    SetShowRootLister(TestRoots);
    ServerReportOptions report = GetServerReportOptions();
    report.connectTimeoutMs = 500;
    report.ioTimeoutMs = 500;
    SetServerReportOptions(report);
    return true;
  }();
  (void)init;
  fuzz::RunRequests(kTable, data, size, /*checkLeaks=*/false);
  return 0;
}
