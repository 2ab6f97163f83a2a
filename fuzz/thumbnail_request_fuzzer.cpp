// The thumbnail request ReqDownloadThumbNial fed request records, direct and relayed:
// the record's checks, the share check and the thumbnailer on the pictures of the test
// root. No picture outside the shares may ever be thumbnailed.
#include "app/thumbnail.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_REQ_DOWNLOAD_THUMB_NIAL, ReqDownloadThumbNial},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool init = [] {
    fuzz::InitRequestTarget(kTable);
    ThumbLimits limits;
    limits.maxPixels = 1u << 20;
    limits.maxThumbBytes = 4u << 20;
    SetThumbLimits(limits);
    return true;
  }();
  (void)init;
  fuzz::RunRequests(kTable, data, size);
  return 0;
}
