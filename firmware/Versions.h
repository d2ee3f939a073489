// Version texts read out of decoded firmware images. The packages carry no version field, so the
// versions come from the images themselves: the RF modem version follows a fixed byte pattern,
// the EEPROM firmware keeps a pointer to its version text, and the server's production firmware
// loads its version and build number just before a fixed sequence of program words.
#pragma once

#include <array>
#include <cstdint>

#include "run/ByteText.h"
#include "run/RunRecord.h"

// The bytes that precede the version byte in an RF modem firmware image.
inline constexpr std::array<uint8_t, 8> kRfVersionSignature = {0xDC, 0x03, 0xDB, 0x32,
                                                               0xAD, 0x7E, 0x20, 0xDB};
// The RF modem image is searched from this offset on (the header lies before it).
inline constexpr uint16_t kRfSignatureSearchStart = 66;

// The program words of the server's production firmware that end its version routine.
inline constexpr std::array<uint16_t, 37> kServerVersionSignature = {
    0x3A0A, 0x1C23, 0x1D03, 0x3406, 0x30E0, 0x0522, 0x1CA3, 0x1D03, 0x3406, 0x3022,
    0x0084, 0x1703, 0x0800, 0x008F, 0x0A84, 0x0800, 0x008D, 0x1683, 0x178C, 0x140C,
    0x0000, 0x0000, 0x1283, 0x0A84, 0x0800, 0x060E, 0x393F, 0x1D03, 0x1784, 0x0A84,
    0x0800, 0x060C, 0x1D03, 0x1784, 0x0A8D, 0x1C8D, 0x180D};
// The server image is searched from this word address on.
inline constexpr uint16_t kSrvSignatureSearchStart = 0x010C;
// Counting back from the signature's last word: the word that loads the version byte and the
// one that loads the build byte. Both are "load literal" words, 0x30 in their high byte.
inline constexpr uint16_t kSrvVersionWordBack = 43;
inline constexpr uint16_t kSrvBuildWordBack = 40;
inline constexpr uint8_t kSrvLoadLiteral = 0x30;

// Where an EEPROM firmware image keeps the big-endian pointer to its version text, and the
// smallest image that can hold it.
inline constexpr uint16_t kEepromVersionPointer = 0x0EFE;
inline constexpr uint16_t kEepromVersionMinLength = 0x0F00;

// "V" + high nibble + "." + low nibble, both in decimal: 0x23 gives "V2.3".
ByteText VerText(uint8_t value);

// The server's version as it is shown and compared: 0x27 with build 2 gives "V2.3.2a". The
// letter (from 'a') appears only for version bytes of 0x20 and above.
ByteText ServerVersionText(uint8_t version, uint8_t build);

// Rebuild ModemVer from TPImage[1], EepromVer from TPImage[2] and SrvFileVer from SrvImage[1]:
// each becomes " to " + the version. SrvFileVer is left empty when the image holds no
// recognisable version; the handheld texts fall back to a header byte of their image.
void BuildModemVer(TRunRecord& run);
void BuildEepromVer(TRunRecord& run);
void BuildSrvFileVer(TRunRecord& run);
