// The window's memory files: loaded as raw binary (.bin) or as the format the content shows
// (Intel HEX, S-record, ELF) through the one reader (image/FileReader.h); saved as Intel HEX
// (.hex program, .eep data) or raw binary, safely (image/SafeFile.h).
// Image numbers: 1 ProgramImage (FlashSize bytes, active program view), 2 DataImage
// (EepromSize bytes, active data view). Files always start at image address 0.
#pragma once

#include <cstdint>
#include <string>

#include "log/HostInterfaces.h"

namespace quillet {

// ok is false only when the file could not be opened, created, read or written; message is
// then the text for the user: the file name and the system's reason. Bad records inside a
// file are not failures here: they are reported in the log.
struct FileResult {
  bool ok = true;
  std::string message;
};

FileResult LoadBinaryFile(const std::string& fileName, int image);
// Intel HEX, or an S-record or ELF file when its content shows one.
FileResult LoadHexFile(const std::string& fileName, int image);
FileResult SaveBinaryFile(const std::string& fileName, int image);
FileResult SaveHexFile(const std::string& fileName, int image);

// The File menu's load and save items, dialogs included: the window's handlers call these.
// A failure is shown in an "Error" message box.
void LoadFileCommand(int image);
void SaveFileCommand(int image);
// Their course once a file is chosen. Load: "No chip selected" without a chip; true when the
// file was read. Save: the name written (the filter's extension added), "" on failure.
bool LoadChosenFile(const std::string& path, int image);
std::string SaveChosenFile(const FileChoice& choice, int image);

// Upper-cased last three characters of a name ("image.bin" -> "BIN").
std::string LastThreeUpper(const std::string& name);

// One Intel HEX record of `count` data bytes at 16-bit `address`, with CR LF when crlf.
void AppendHexRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                     int count, bool crlf);
// The whole text of an image as written by SaveHexFile (program: with address records).
std::string HexFileText(const uint8_t* bytes, uint32_t length, bool program);
// The same bytes as Motorola S-records: an S0 header, S1 data records (S2 above 64 KB), 32
// bytes each, and the S9 (S8) termination record.
std::string SRecordText(const uint8_t* bytes, uint32_t length);

}  // namespace quillet
