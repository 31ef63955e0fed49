#include "core/handle_request.h"

#include "core/frame.h"
#include "devices/d2xx.h"
#include "devices/device_table.h"
#include "devices/transceiver_queue.h"

bool HandleRequest(const PipeRequest& request, size_t size, uint64_t tag, uint8_t* reply,
                   uint32_t& bytesToWrite) {
  DeviceStatus status = FT_INVALID_PARAMETER;
  if (size >= sizeof(PipeRequest)) {
    Frame frame;
    PrepareFrame(frame, request.iid);
    uint8_t hasData = request.data != 0 ? 1 : 0;
    uint8_t addr = NotationToByte(request.addr);
    uint8_t hc2 = NotationToByte(request.hc2);
    uint8_t hc1 = NotationToByte(request.hc1);
    BuildSendFrame(frame, hasData, hc1, hc2, addr, request.cmd, request.data);
    if (TableSubmitRequest(g_context.devices, request.iid, frame, tag, &status)) return true;
  }
  bytesToWrite = EncodeReply(status, reply, kReplyBufferSize);
  return false;
}
