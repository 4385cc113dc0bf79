#include "transport_ppi.h"

#include "coprocessor.h"
#include "exchange.h"

constinit const EFI_GUID TpmTransportPpiGuid = {
    0x9D910B61,
    0x85BD,
    0x4473,
    {0x81, 0x31, 0x40, 0x95, 0x9D, 0x60, 0xC7, 0xEE}};

constinit const TPM_TRANSPORT_PPI TpmTransportPpi = {Execute, Probe, Send,
                                                     Receive};

constinit const EFI_PEI_PPI_DESCRIPTOR TpmTransportDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &TpmTransportPpiGuid, &TpmTransportPpi};
