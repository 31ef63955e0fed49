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
  // The request holds a reference to its record from the lookup to the end
  // of the write, so a device event or the stop may take the record out
  // meanwhile but never frees it under the write; nor does a write that
  // blocks in the driver hold them up.
  DeviceStatus status = TableSendFrame(g_context.devices, request.iid, frame);
  bytesToWrite = EncodeReply(status, reply, kReplyBufferSize);
}
