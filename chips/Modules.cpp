// STUB: replaced by the real engine.
#include "chips/ChipModule.h"
namespace quillet {
bool ChipModule::ProgrammingEnable() const { return false; }
bool ChipModule::ChipErase() const { return false; }
bool ChipModule::HasReadCalibration() const { return false; }
bool ChipModule::ReadCalibration() const { return false; }
bool ChipModule::WriteBlankByteZero() const { return false; }
bool ChipModule::ProgramPageMode() const { return false; }
uint32_t ChipModule::ProgramPageBytes() const { return 0; }
bool ChipModule::DataPageMode() const { return false; }
uint32_t ChipModule::DataPageBytes() const { return 0; }
bool ChipModule::ReadProgramByte(uint32_t, bool) const { return false; }
bool ChipModule::WriteProgramByte(uint32_t) const { return false; }
bool ChipModule::LoadProgramByte(uint32_t) const { return false; }
bool ChipModule::WriteProgramPage(uint32_t) const { return false; }
bool ChipModule::ReadDataByte(uint32_t, bool) const { return false; }
bool ChipModule::WriteDataByte(uint32_t) const { return false; }
bool ChipModule::LoadDataByte(uint32_t) const { return false; }
bool ChipModule::WriteDataPage(uint32_t) const { return false; }
FuseFamily ChipModule::Family() const { return FuseFamily::Oldest; }
bool ChipModule::HasExtendedFuse() const { return false; }
bool ChipModule::CanReadFuses() const { return false; }
bool ChipModule::ReadLockBits() const { return false; }
bool ChipModule::ReadLowFuse() const { return false; }
bool ChipModule::ReadHighFuse() const { return false; }
bool ChipModule::ReadExtendedFuse() const { return false; }
bool ChipModule::ReadFuseBits() const { return false; }
bool ChipModule::ReadLockAndFuseBits() const { return false; }
bool ChipModule::WriteLockBits() const { return false; }
bool ChipModule::WriteLowFuse() const { return false; }
bool ChipModule::WriteHighFuse() const { return false; }
bool ChipModule::WriteExtendedFuse() const { return false; }
bool ChipModule::WriteFuseBits() const { return false; }
const ChipModule At90s1200{"At90s1200"};
const ChipModule At90s2313{"At90s2313"};
const ChipModule At90s2323{"At90s2323"};
const ChipModule At90s2343{"At90s2343"};
const ChipModule At90s2333{"At90s2333"};
const ChipModule At90s4414{"At90s4414"};
const ChipModule At90s4434{"At90s4434"};
const ChipModule At90can32{"At90can32"};
const ChipModule Attiny12{"Attiny12"};
const ChipModule Attiny13{"Attiny13"};
const ChipModule Attiny15{"Attiny15"};
const ChipModule Attiny22{"Attiny22"};
const ChipModule Attiny25{"Attiny25"};
const ChipModule Attiny26{"Attiny26"};
const ChipModule Attiny261{"Attiny261"};
const ChipModule Attiny2313{"Attiny2313"};
}
