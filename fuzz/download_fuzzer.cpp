// The download requests: ReqDownLoadFile, AllowDownLoadFile, RefuseDownLoadFile and
// StopDownLoad fed request records, direct, over UDT and relayed. A request and its start
// with the same number and transport stream the file (over the fake UDT socket); nothing
// outside the shares may ever be sent.
#include "app/download.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_REQ_DOWN_LOAD_FILE, ReqDownLoadFile},
    {OP_ALLOW_DOWN_LOAD_FILE, AllowDownLoadFile},
    {OP_REFUSE_DOWN_LOAD_FILE, RefuseDownLoadFile},
    {OP_STOP_DOWN_LOAD, StopDownLoad},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InitRequestTarget(kTable);
  fuzz::RunRequests(kTable, data, size);
  return 0;
}
