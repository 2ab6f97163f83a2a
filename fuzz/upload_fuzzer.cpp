// The upload requests: ReqUpLoadFile, UpLoadFile and OverUpLoadFile fed request records,
// direct, over UDT and relayed. An announcement, its data and its end with the same number
// and transport make a file in a share. Nothing may ever be written outside the shares,
// and no file of the layout may change: the root is checked after every input.
#include "app/upload.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_REQ_UP_LOAD_FILE, ReqUpLoadFile},
    {OP_UP_LOAD_FILE, UpLoadFile},
    {OP_OVER_UP_LOAD_FILE, OverUpLoadFile},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InitRequestTarget(kTable);
  fuzz::RunRequests(kTable, data, size);
  return 0;
}
