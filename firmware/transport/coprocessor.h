// Finding the security co-processor (PCI 0:8.0) and opening its PCI command
// register around an exchange. Nothing is cached: every call asks the
// hardware again.
#pragma once

#include "pci.h"
#include "pi.h"

[[nodiscard]] UINT32 ReadDeviceConfig(PciCompactAddress Compact);
void WriteDeviceCommand(UINT32 Value);
[[nodiscard]] BOOLEAN IsCoprocessorPresent();
// On a present co-processor *Base receives the base the hardware reports,
// even when that base is unusable; the answer says whether it is usable.
[[nodiscard]] BOOLEAN LocateCoprocessor(UINT32 *Base);

// Turns on memory decoding and bus mastering; returns what has to be written
// back by CloseCoprocessor.
[[nodiscard]] UINT32 OpenCoprocessor();
void CloseCoprocessor(UINT32 Saved);

// Slot 1 of the transport table; the two leading parameters are never read.
EFI_STATUS EFIAPI Probe(const VOID *This, const VOID *Reserved);
