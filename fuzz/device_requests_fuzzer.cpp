// The device heartbeat, login and shutdown requests fed request records, direct, over UDT
// and relayed, with the stand-ins of device_stubs.h for the tray program and the
// power-off.
#include <vector>

#include "app/device_requests.h"
#include "comm/core.h"
#include "comm/opcodes.h"
#include "device_stubs.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_REQ_DEVICE_HEART_BEAT, ReqDeviceHeartBeat},
    {OP_REQ_DEVICE_LOGIN, ReqDeviceLogin},
    {OP_REQ_SHUT_DOWN_SYSTEM, ReqShutDownSystem},
};

void Init() {
  fuzz::InitRequestTarget(kTable);
  fuzz::InitDeviceStubs();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool init = (Init(), true);
  (void)init;
  fuzz::RunRequests(kTable, data, size);
  // A shutdown that went through leaves the stop flag up, as the service would stop.
  OS_ClearStopFlag();
  return 0;
}
