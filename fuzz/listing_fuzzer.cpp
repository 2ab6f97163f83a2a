// The device listings: GetShareInfo and GetAllSubFile fed request records, direct and
// relayed. A listing must never name anything outside the shares.
#include "app/listing.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_GET_SHARE_INFO, GetShareInfo},
    {OP_GET_ALL_SUB_FILE, GetAllSubFile},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InitRequestTarget(kTable);
  fuzz::RunRequests(kTable, data, size);
  return 0;
}
