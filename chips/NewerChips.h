// The catalogue rows and chip modules of the newer chips, made from their rows in
// chips/generated/PartTable.cpp: the same engine as the first 25, with each chip's own page sizes,
// write times and fuse and lock bits.
#pragma once

#include <cstdint>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/PartTable.h"

namespace quillet {

void AppendNewerChips(std::vector<ChipEntry>& catalogue);

// Bits that exist in fuse byte i (0 low, 1 high, 2 extended) or in the lock byte (i = -1).
uint8_t ExistingBits(const PartRow& part, int i);
// The mask of the bit of that name in fuse byte i (-1: the lock byte); 0 if there is none.
uint8_t NamedBit(const PartRow& part, int i, const char* name);
// The bits of fuse byte i that have the role; 0 if none has.
uint8_t RoleBits(const PartRow& part, int i, FuseRole role);
// The role the first 25 chips' fuse bit names stand for (their tables carry names only).
FuseRole RoleOfName(const char* name);

}  // namespace quillet
