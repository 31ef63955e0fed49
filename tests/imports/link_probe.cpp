// Calls every driver operation once, so that the linked program imports all
// eleven from FTD2XX.dll. It is only linked and inspected, never run.
#include "devices/d2xx.h"

int wmain() {
  FT_HANDLE h = nullptr;
  uint32_t n = 0;
  FtProgramData data{};
  FT_OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &h);
  FT_SetBaudRate(h, 9600);
  FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  FT_SetFlowControl(h, FT_FLOW_NONE, 0x17, 0x19);
  FT_EE_Read(h, &data);
  FT_SetEventNotification(h, FT_EVENT_RXCHAR, nullptr);
  FT_GetModemStatus(h, &n);
  FT_Write(h, &n, 1, &n);
  FT_GetQueueStatus(h, &n);
  FT_Read(h, &n, 1, &n);
  return static_cast<int>(FT_Close(h));
}
