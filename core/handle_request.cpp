#include "core/handle_request.h"

#include "core/frame.h"
#include "devices/device_table.h"

void HandleRequest(const PipeRequest& request, uint8_t* reply, uint32_t& bytesToWrite) {
  Frame frame;
  PrepareFrame(frame, request.iid);
  uint8_t hasData = request.data != 0 ? 1 : 0;
  uint8_t addr = NotationToByte(request.addr);
  uint8_t hc2 = NotationToByte(request.hc2);
  uint8_t hc1 = NotationToByte(request.hc1);
  BuildSendFrame(frame, hasData, hc1, hc2, addr, request.cmd, request.data);
  // The lookup and the write happen under the table's guard, so the record
  // cannot be taken out and freed by a device event or the stop meanwhile.
  DeviceStatus status = TableSendFrame(g_context.devices, request.iid, frame);
  bytesToWrite = EncodeReply(status, reply, kReplyBufferSize);
}
