// Request builders of the element methods and performance requests, and
// the release of request and response buffers.
#include "firmware/element_method.h"

#include <stdlib.h>

static void FillHeader(uint8_t *pu8Request, uint8_t u8Handle, uint8_t u8Element, uint8_t u8Method) {
    pu8Request[0] = QAX_ENTERPRISE_BYTE0;
    pu8Request[1] = QAX_ENTERPRISE_BYTE1;
    pu8Request[2] = QAX_ENTERPRISE_BYTE2;
    pu8Request[3] = u8Handle;
    pu8Request[4] = u8Element;
    pu8Request[5] = u8Method;
}

unsigned int GetInvokeElementMethodRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                                 uint8_t u8Method, uint32_t u32Size,
                                                 uint8_t **ppu8Request) {
    if (ppu8Request == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    if (u32Size < QAX_REQUEST_HEADER_SIZE) {
        u32Size = QAX_REQUEST_HEADER_SIZE;
    }
    *ppu8Request = (uint8_t *)calloc(u32Size, 1);
    if (*ppu8Request == NULL) {
        return QAX_STATUS_NO_MEMORY;
    }
    FillHeader(*ppu8Request, u8Handle, u8Element, u8Method);
    return QAX_STATUS_SUCCESS;
}

unsigned int GetReadRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                          uint8_t **ppu8Request) {
    return GetInvokeElementMethodRequestBuffer(u8Handle, u8Element, QAX_METHOD_READ_REGISTER,
                                               QAX_REGISTER_REQUEST_SIZE, ppu8Request);
}

unsigned int GetReadStatusRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_STATUS_CONTROL, ppu8Request);
}

unsigned int GetReadEnergyAccumulatorRegisterRequestBuffer(uint8_t u8Handle,
                                                           uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_ENERGY_ACCUMULATOR, ppu8Request);
}

unsigned int GetReadClockAccumulationRegisterRequestBuffer(uint8_t u8Handle,
                                                           uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_CLOCK_ACCUMULATION, ppu8Request);
}

unsigned int GetReadPowerControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_POWER_CONTROL, ppu8Request);
}

unsigned int GetReadExhaustHeatIndexRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_EXHAUST_HEAT_INDEX, ppu8Request);
}

unsigned int GetReadPowerSupplyRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_POWER_SUPPLY, ppu8Request);
}

unsigned int GetReadServerPowerDownRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_SERVER_POWER_DOWN, ppu8Request);
}

unsigned int GetReadPowerMaximizerRegisterRequestBuffer(uint8_t u8Handle, uint8_t **ppu8Request) {
    return GetReadRegisterRequestBuffer(u8Handle, QAX_ELEMENT_POWER_MAXIMIZER, ppu8Request);
}

unsigned int GetWriteRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8Element,
                                           uint8_t u8RegisterId, uint8_t u8Length,
                                           uint8_t **ppu8Request, uint32_t *pu32RequestSize) {
    if (pu32RequestSize != NULL) {
        *pu32RequestSize = 0;
    }
    uint32_t u32Size = (uint32_t)QAX_REGISTER_REQUEST_SIZE + u8Length;
    unsigned int u32Status = GetInvokeElementMethodRequestBuffer(
        u8Handle, u8Element, QAX_METHOD_WRITE_REGISTER, u32Size, ppu8Request);
    if (u32Status != QAX_STATUS_SUCCESS) {
        return u32Status;
    }
    (*ppu8Request)[6] = u8RegisterId;
    (*ppu8Request)[7] = u8Length;
    if (pu32RequestSize != NULL) {
        *pu32RequestSize = u32Size;
    }
    return QAX_STATUS_SUCCESS;
}

unsigned int GetWriteStatusControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                        uint8_t u8Length, uint8_t **ppu8Request,
                                                        uint32_t *pu32RequestSize) {
    return GetWriteRegisterRequestBuffer(u8Handle, QAX_ELEMENT_STATUS_CONTROL, u8RegisterId,
                                         u8Length, ppu8Request, pu32RequestSize);
}

unsigned int GetWritePowerControlRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                       uint8_t u8Length, uint8_t **ppu8Request,
                                                       uint32_t *pu32RequestSize) {
    return GetWriteRegisterRequestBuffer(u8Handle, QAX_ELEMENT_POWER_CONTROL, u8RegisterId,
                                         u8Length, ppu8Request, pu32RequestSize);
}

unsigned int GetWritePowerSupplyRegisterRequestBuffer(uint8_t u8Handle, uint8_t u8RegisterId,
                                                      uint8_t u8Length, uint8_t **ppu8Request,
                                                      uint32_t *pu32RequestSize) {
    return GetWriteRegisterRequestBuffer(u8Handle, QAX_ELEMENT_POWER_SUPPLY, u8RegisterId, u8Length,
                                         ppu8Request, pu32RequestSize);
}

unsigned int GetXPMRequestBuffer(uint8_t u8A, uint8_t u8B, uint8_t u8C, uint8_t u8D,
                                 uint32_t u32Size, uint8_t **ppu8Request) {
    if (ppu8Request == NULL) {
        return QAX_STATUS_MISSING_ARGUMENT;
    }
    if (u32Size < QAX_XPM_REQUEST_SIZE) {
        u32Size = QAX_XPM_REQUEST_SIZE;
    }
    uint8_t *pu8Request = (uint8_t *)calloc(u32Size, 1);
    *ppu8Request = pu8Request;
    if (pu8Request == NULL) {
        return QAX_STATUS_NO_MEMORY;
    }
    pu8Request[0] = QAX_ENTERPRISE_BYTE0;
    pu8Request[1] = QAX_ENTERPRISE_BYTE1;
    pu8Request[2] = QAX_ENTERPRISE_BYTE2;
    pu8Request[3] = 0x04;
    pu8Request[4] = u8A;
    pu8Request[5] = u8B;
    pu8Request[6] = u8C;
    pu8Request[7] = u8D;
    pu8Request[8] = 0x01;  // 0x0001, little-endian
    pu8Request[9] = 0x00;
    pu8Request[10] = 0x01;
    return QAX_STATUS_SUCCESS;
}

void FreeRequestResponseBuffers(uint8_t *pu8Request, uint8_t *pu8Response) {
    if (pu8Request != NULL) {
        free(pu8Request);
    }
    if (pu8Response != NULL) {
        free(pu8Response);
    }
}
