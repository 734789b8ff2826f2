// Power-supply redundancy configurations described in words: which
// configurations the server supports (supplies needed, redundant, and of
// which rated power), which one is active and which one is targeted, read
// from the firmware's power-supply element (0x0A).
#ifndef QAX_FIRMWARE_REDUNDANCY_H
#define QAX_FIRMWARE_REDUNDANCY_H

#include <stdint.h>

#define QAX_REDUNDANCY_ERROR_SIZE 1024
#define QAX_REDUNDANCY_DESCRIPTION_SIZE 1024

// Indexed buffers of the power-supply element.
#define QAX_PSU_BUFFER_TYPES 0
#define QAX_PSU_BUFFER_CONFIGS 1

// Element configuration (method 0x80): data length 5 at response byte 4,
// then the four bytes handed back by the reader.
#define QAX_PSU_ELEMENT_CONFIG_RESPONSE_SIZE 10
#define QAX_PSU_ELEMENT_CONFIG_DATA_LENGTH 5
#define QAX_PSU_ELEMENT_CONFIG_SIZE 4

// Indexed read (method 0x87): 9-byte request; the answer holds buffer id,
// index and data length at bytes 4-6 and the data from byte 7.
#define QAX_PSU_INDEXED_REQUEST_SIZE 9
#define QAX_PSU_INDEXED_HEADER_SIZE 7
#define QAX_PSU_TYPE_DATA_LENGTH 4
// Fixed part of a configuration record before its type index list.
#define QAX_PSU_CONFIG_FIXED_LENGTH 11

// One supported power-supply type (buffer 0).
struct PowerSupplyTypeRecord {
    uint8_t u8Reserved0;     // response byte 7, not interpreted
    uint8_t u8Reserved1;     // response byte 8, not interpreted
    uint16_t u16RatedWatts;  // response bytes 9-10
};

// One supported redundancy configuration (buffer 1).
struct RedundancyConfigRecord {
    uint8_t u8ConfigId;
    uint8_t u8PropertyBit0;
    uint8_t u8PropertyBit0Clear;  // 1: a target candidate
    uint8_t u8PowerMode;          // bit 0 + 1
    uint8_t u8ValidForPSUs;       // bit 1
    uint8_t u8PropertyBit2;
    uint8_t u8PropertyBit3;
    uint8_t u8PropertyBit4;
    uint8_t u8PropertyBit5;
    uint8_t u8PropertyBit6;  // 1: the active configuration
    uint8_t u8PropertyBit7Clear;
    uint8_t u8PropertyBit7;
    uint16_t u16Properties;
    uint8_t u8Needed;          // N of "N+M"
    uint8_t u8Redundant;       // M of "N+M"
    uint64_t u64Value1;        // response bytes 12-13, not interpreted
    uint64_t u64Value2;        // response bytes 14-15
    uint64_t u64Value3;        // response bytes 16-17
    uint8_t *pu8PSUTypeIndex;  // owned; one type index per supply position
    uint8_t u8PSUTypeIndexLen;
};

struct PowerSupplyRedundancyInfo {
    int32_t supportedConfigs;
    int32_t supportedPSUTypes;
    uint8_t u8PowerControlPolicy;
    uint8_t u8PolicyBit0Clear;
    uint8_t u8PolicyBit1Clear;
    uint8_t u8RedundancyTarget;
    char szError[QAX_REDUNDANCY_ERROR_SIZE];  // why it failed; empty on success
    PowerSupplyTypeRecord *psPSUTypes;        // supportedPSUTypes records, owned
    int32_t i32ActiveConfig;                  // last configuration with bit 6; -1 none
    int32_t i32UsableConfigs;                 // configurations that passed the policy test
    RedundancyConfigRecord *psConfigs;        // supportedConfigs records, owned
    char **ppszDescriptions;                  // supportedConfigs owned strings
    uint8_t *pu8Usable;                       // supportedConfigs flags, owned
    int32_t i32TargetConfig;                  // first configuration with bit 0 clear; -1 none
};

// Fills `psInfo` (its previous contents are overwritten, not released).
// 0 on success; 1 when the description fails for a reason of its own;
// otherwise the status of the failing firmware read. On failure szError says
// why. Whatever the result, release the record with
// FreePowerSupplyRedundancyInfo.
unsigned int DescribePowerSupplyRedundancy(PowerSupplyRedundancyInfo *psInfo);
// Releases what the record owns and leaves its pointers null; the record
// itself belongs to the caller.
void FreePowerSupplyRedundancyInfo(PowerSupplyRedundancyInfo *psInfo);

// Response bytes 6-9 of the element configuration: number of types, number of
// configurations, and the two factors of the longest type index list.
unsigned int QAX_ReadPowerSupplyElementConfigurationRegister(uint8_t u8Handle, uint8_t *pu8Config);
// 255 without a request when the firmware does not expose the redundancy
// information.
unsigned int QAX_ReadSupportedPSUTypesIndexedBuffer(uint8_t u8Handle, uint8_t u8Index,
                                                    PowerSupplyTypeRecord *psRecord);
// `psRecord` is overwritten; on success it owns a copy of the type index list
// (null with length 0 when the copy could not be allocated); release it with
// free().
unsigned int QAX_ReadSupportedRedundancyConfigsIndexedBuffer(uint8_t u8Handle, uint8_t u8Index,
                                                             RedundancyConfigRecord *psRecord);

#endif
