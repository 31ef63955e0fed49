// The eleven operations of the transceivers' USB-serial driver library
// (FTD2XX.dll) that the service uses, and the program-data record its EEPROM
// read fills. The service binds to them by ordinal through the import library
// built from ftd2xx.def; native unit tests link a fake instead.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FT_API __stdcall
#else
#define FT_API
#endif

typedef uint32_t FT_STATUS;
typedef void* FT_HANDLE;

// Status codes, in the library's order.
enum : FT_STATUS {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_OTHER_ERROR = 18,
};

constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint8_t FT_BITS_8 = 8;
constexpr uint8_t FT_STOP_BITS_1 = 0;
constexpr uint8_t FT_PARITY_NONE = 0;
constexpr uint16_t FT_FLOW_NONE = 0;
constexpr uint32_t FT_EVENT_RXCHAR = 1;
constexpr uint32_t FT_MODEM_READY = 0x30;  // CTS and DSR set, nothing else

// The library's EEPROM program-data record, laid out as the 32-bit library
// defines it (160 bytes). The library writes every block up to the caller's
// Version, and fills the four strings through the pointers without a size
// check, so the record must be whole and the strings must point at buffers of
// 32, 16, 64 and 16 bytes.
struct FtProgramData {
  // header (Version 0 and up)
  uint32_t Signature1;  // must be 0x00000000
  uint32_t Signature2;  // must be 0xFFFFFFFF
  uint32_t Version;
  uint16_t VendorId;
  uint16_t ProductId;
  char* Manufacturer;
  char* ManufacturerId;
  char* Description;
  char* SerialNumber;
  uint16_t MaxPower;
  uint16_t PnP;
  uint16_t SelfPowered;
  uint16_t RemoteWakeup;
  // chip revision 4
  uint8_t Rev4, IsoIn, IsoOut, PullDownEnable, SerNumEnable, USBVersionEnable;
  uint16_t USBVersion;
  // revision 5, dual channel (Version 1)
  uint8_t Rev5, IsoInA, IsoInB, IsoOutA, IsoOutB, PullDownEnable5,
      SerNumEnable5, USBVersionEnable5;
  uint16_t USBVersion5;
  uint8_t AIsHighCurrent, BIsHighCurrent, IFAIsFifo, IFAIsFifoTar,
      IFAIsFastSer, AIsVCP, IFBIsFifo, IFBIsFifoTar, IFBIsFastSer, BIsVCP;
  // revision 6 (Version 2)
  uint8_t UseExtOsc, HighDriveIOs, EndpointSize, PullDownEnableR,
      SerNumEnableR, InvertTXD, InvertRXD, InvertRTS, InvertCTS, InvertDTR,
      InvertDSR, InvertDCD, InvertRI, Cbus0, Cbus1, Cbus2, Cbus3, Cbus4,
      RIsD2XX;
  // revision 7 (Version 3)
  uint8_t PullDownEnable7, SerNumEnable7, ALSlowSlew, ALSchmittInput,
      ALDriveCurrent, AHSlowSlew, AHSchmittInput, AHDriveCurrent, BLSlowSlew,
      BLSchmittInput, BLDriveCurrent, BHSlowSlew, BHSchmittInput,
      BHDriveCurrent, IFAIsFifo7, IFAIsFifoTar7, IFAIsFastSer7, AIsVCP7,
      IFBIsFifo7, IFBIsFifoTar7, IFBIsFastSer7, BIsVCP7, PowerSaveEnable;
  // revision 8 (Version 4)
  uint8_t PullDownEnable8, SerNumEnable8, ASlowSlew, ASchmittInput,
      ADriveCurrent, BSlowSlew, BSchmittInput, BDriveCurrent, CSlowSlew,
      CSchmittInput, CDriveCurrent, DSlowSlew, DSchmittInput, DDriveCurrent,
      ARIIsTXDEN, BRIIsTXDEN, CRIIsTXDEN, DRIIsTXDEN, AIsVCP8, BIsVCP8,
      CIsVCP8, DIsVCP8;
  // revision 9 (Version 5)
  uint8_t PullDownEnableH, SerNumEnableH, ACSlowSlewH, ACSchmittInputH,
      ACDriveCurrentH, ADSlowSlewH, ADSchmittInputH, ADDriveCurrentH, Cbus0H,
      Cbus1H, Cbus2H, Cbus3H, Cbus4H, Cbus5H, Cbus6H, Cbus7H, Cbus8H, Cbus9H,
      IsFifoH, IsFifoTarH, IsFastSerH, IsFT1248H, FT1248CpolH, FT1248LsbH,
      FT1248FlowControlH, IsVCPH, PowerSaveEnableH;
};

// Bytes the library writes for a record of each Version (0 to 5): up to the
// end of the last block that Version knows (48, 68, 87, 110, 132 and 159 on
// 32-bit Windows).
constexpr size_t kProgramDataBytesForVersion[] = {
    offsetof(FtProgramData, Rev5),           offsetof(FtProgramData, UseExtOsc),
    offsetof(FtProgramData, PullDownEnable7), offsetof(FtProgramData, PullDownEnable8),
    offsetof(FtProgramData, PullDownEnableH), offsetof(FtProgramData, PowerSaveEnableH) + 1};

#if UINTPTR_MAX == 0xFFFFFFFFu
// Pin the 32-bit layout: a shorter record would be written past its end.
static_assert(sizeof(FtProgramData) == 160, "program-data record is 160 bytes");
static_assert(offsetof(FtProgramData, VendorId) == 12, "header");
static_assert(offsetof(FtProgramData, Manufacturer) == 16, "header");
static_assert(offsetof(FtProgramData, SerialNumber) == 28, "header");
static_assert(offsetof(FtProgramData, Rev4) == 40, "revision 4 block");
static_assert(offsetof(FtProgramData, USBVersion) == 46, "revision 4 block");
static_assert(offsetof(FtProgramData, Rev5) == 48, "revision 5 block");
static_assert(offsetof(FtProgramData, USBVersion5) == 56, "revision 5 block");
static_assert(offsetof(FtProgramData, UseExtOsc) == 68, "revision 6 block");
static_assert(offsetof(FtProgramData, PullDownEnable7) == 87, "revision 7");
static_assert(offsetof(FtProgramData, PullDownEnable8) == 110, "revision 8");
static_assert(offsetof(FtProgramData, PullDownEnableH) == 132, "revision 9");
static_assert(offsetof(FtProgramData, PowerSaveEnableH) == 158, "revision 9");
#endif

extern "C" {
FT_STATUS FT_API FT_Close(FT_HANDLE handle);
FT_STATUS FT_API FT_Read(FT_HANDLE handle, void* buffer, uint32_t toRead,
                         uint32_t* returned);
FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, uint32_t toWrite,
                          uint32_t* written);
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate);
FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                           uint8_t stopBits, uint8_t parity);
FT_STATUS FT_API FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl,
                                   uint8_t xon, uint8_t xoff);
FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE handle, uint32_t* modemStatus);
FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes);
FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE handle, uint32_t mask,
                                         void* param);
FT_STATUS FT_API FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);
FT_STATUS FT_API FT_EE_Read(FT_HANDLE handle, FtProgramData* data);
}
