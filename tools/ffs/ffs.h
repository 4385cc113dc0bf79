// Firmware file system (FFS) packaging of PEI modules, and the small part of
// the firmware volume (FV) format needed to place files in a volume: the FFS
// file and its sections, the PEIM packaging, and the volume.
#pragma once

#include "edk2_kit.h"
#include "ffs_file.h"
#include "insert.h"
#include "lzma_section.h"
#include "peim.h"
#include "volume.h"
