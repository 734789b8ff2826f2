// Element-method transport to the QAX firmware: request layouts and builders
// (request_buffers.cpp), the register read/write calls, firmware-instance
// discovery with its module-handle cache, the platform-family test and the
// big-endian reader (element_method.cpp).
//
// Buffers handed out by the builders and by ReadRegister come from the
// malloc family; release them with FreeRequestResponseBuffers (or free).
#ifndef QAX_FIRMWARE_ELEMENT_METHOD_H
#define QAX_FIRMWARE_ELEMENT_METHOD_H

#include <stdint.h>

// IPMI net function and commands of the QAX firmware.
#define NETFN_KEP 0x2E
#define CMDID_QAX_INVOKE_ELEMENT_METHOD 0x81
#define CMDID_QAX_FIND_FIRMWARE_INSTANCE 0x82
#define CMDID_QAX_XPM_EXTENSIONS 0x84

// Enterprise number 20301, little-endian on the wire.
#define QAX_ENTERPRISE_BYTE0 0x4D
#define QAX_ENTERPRISE_BYTE1 0x4F
#define QAX_ENTERPRISE_BYTE2 0x00

// Firmware instances.
#define QAX_MAIN_INSTANCE 0
#define QAX_EXPANSION_INSTANCE 1

// Status codes of every firmware operation (any other value is the
// firmware's completion code, passed up unchanged).
#define QAX_STATUS_SUCCESS 0u
#define QAX_STATUS_NO_MODULE_HANDLE 213u  // 0xD5: instance answered, handle 0
#define QAX_STATUS_MISSING_ARGUMENT 253u  // 0xFD
#define QAX_STATUS_NO_MEMORY 254u         // 0xFE
#define QAX_STATUS_FAILED 255u            // 0xFF: call failed / rejected / unsupported

// Element ids.
#define QAX_ELEMENT_STATUS_CONTROL 0x00
#define QAX_ELEMENT_ENERGY_ACCUMULATOR 0x01
#define QAX_ELEMENT_POWER_HISTOGRAM 0x02
#define QAX_ELEMENT_SNAPSHOT 0x03
#define QAX_ELEMENT_CLOCK_ACCUMULATION 0x04
#define QAX_ELEMENT_POWER_CONTROL 0x07
#define QAX_ELEMENT_EXHAUST_HEAT_INDEX 0x09
#define QAX_ELEMENT_POWER_SUPPLY 0x0A
#define QAX_ELEMENT_INPUT_POWER 0x0B
#define QAX_ELEMENT_SERVER_POWER_DOWN 0x0D
#define QAX_ELEMENT_POWER_MAXIMIZER 0x0E

// Methods.
#define QAX_METHOD_READ_CONFIGURATION 0x80
#define QAX_METHOD_READ_BUFFER 0x81
#define QAX_METHOD_READ_REGISTER 0x82
#define QAX_METHOD_WRITE_REGISTER 0x83
#define QAX_METHOD_READ_INDEXED_BUFFER 0x87

// Request layout.
#define QAX_REQUEST_HEADER_SIZE 6       // enterprise(3), handle, element, method
#define QAX_REGISTER_REQUEST_SIZE 8     // header, register id, length
#define QAX_REGISTER_RESPONSE_HEADER 4  // completion code + 3 bytes before the data
#define QAX_WRITE_RESPONSE_SIZE 4
#define QAX_FIND_INSTANCE_REQUEST_SIZE 6
#define QAX_FIND_INSTANCE_RESPONSE_SIZE 10
#define QAX_XPM_REQUEST_SIZE 11

// ---------------------------------------------------------------------------
// Transport. `pu8Request` is an 8-byte request with bytes 0-5 filled; the
// register id and length are stored into bytes 6-7. The response buffer
// (length + 4 bytes, zero-filled) is stored in `*ppu8Response` even when the
// call then fails; the caller frees it whenever it is not null.
unsigned int ReadRegister(uint8_t *pu8Request, uint8_t u8RegisterId, uint8_t u8Length,
                          uint8_t **ppu8Response);
// Sends a complete write request of `u32RequestLength` bytes.
unsigned int WriteRegister(uint8_t *pu8Request, uint32_t u32RequestLength);

// Asks the firmware for instance `u8Instance`. Outputs are cleared first;
// on success `*pu8Handle` is the module handle and, when it is nonzero, the
// two information bytes are handed back uninterpreted. Null outputs are
// allowed for the information bytes.
unsigned int QAX_FindFirmwareInstance(uint8_t u8Instance, uint8_t *pu8Info1, uint8_t *pu8Info2,
                                      uint8_t *pu8Handle);

// 1 when the firmware instance is present, else 0. Records the module handle
// in the configuration store as a side effect. Cached for the process; while
// unsupported the firmware is re-probed at most once per 2 s of uptime.
int QAX_IsSupported(uint8_t u8Instance);
// The stored module handle of the instance; 0 = none.
uint8_t QAX_GetModuleHandle(uint8_t u8Instance);
// QAX_GetModuleHandle when QAX_IsSupported is true, else 0.
uint8_t QAX_GetSupportedModuleHandle(uint8_t u8Instance);

// 1 when ZOQ_FAMILY is exactly "iteblade" or "blade", else 0.
int IsBladePlatform(void);

// The `u32Count` bytes at pu8Buffer + u32Offset, most significant first.
// Count 0 (or a null buffer) yields 0; a count above 8 yields the value of
// the last 8 bytes (the leading ones are shifted out of the 64-bit result).
uint64_t ReadBigEndianField(uint32_t u32Offset, const uint8_t *pu8Buffer, uint32_t u32Count);

// ---------------------------------------------------------------------------
// Request builders: allocate (zero-filled), fill the fixed bytes, store the
// request in `*ppu8Request` and return 0; on allocation failure store null
// and return 254. A null out pointer gives 253.

// Header bytes 0-5 in an allocation of `u32Size` bytes (at least 6 are
// always allocated): 6 for configuration reads, 10 for snapshot reads.
unsigned int GetInvokeElementMethodRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                                 uint8_t u8Method, uint32_t u32Size,
                                                 uint8_t **ppu8Request);
// 8-byte register read request, method 0x82; bytes 6-7 left to ReadRegister.
unsigned int GetReadRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                          uint8_t **ppu8Request);
unsigned int GetReadStatusRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadEnergyAccumulatorRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadClockAccumulationRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadPowerControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadExhaustHeatIndexRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadPowerSupplyRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadServerPowerDownRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);
unsigned int GetReadPowerMaximizerRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request);

// Register write request of 8 + `u8Length` bytes, method 0x83, header
// filled; the caller appends the value at byte 8. `*pu32RequestSize`
// receives 8 + length.
unsigned int GetWriteRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                           uint8_t u8RegisterId, uint8_t u8Length,
                                           uint8_t **ppu8Request, uint32_t *pu32RequestSize);
unsigned int GetWriteStatusControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                        uint8_t u8Length, uint8_t **ppu8Request,
                                                        uint32_t *pu32RequestSize);
unsigned int GetWritePowerControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                       uint8_t u8Length, uint8_t **ppu8Request,
                                                       uint32_t *pu32RequestSize);
unsigned int GetWritePowerSupplyRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                      uint8_t u8Length, uint8_t **ppu8Request,
                                                      uint32_t *pu32RequestSize);

// Performance request (command 0x84): enterprise number, 0x04, a, b, c, d,
// 0x01 0x00, 0x01 in an allocation of `u32Size` bytes (at least 11).
unsigned int GetXPMRequestBuffer(uint8_t u8A, uint8_t u8B, uint8_t u8C, uint8_t u8D,
                                 uint32_t u32Size, uint8_t **ppu8Request);

// Releases both buffers, skipping a null one.
void FreeRequestResponseBuffers(uint8_t *pu8Request, uint8_t *pu8Response);

#endif
