// Writes the fuzz targets' seed corpus: small well-formed packages, bundles and program files
// made with the package builders, so that fuzzing starts from inputs that reach deep.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "firmware/Versions.h"
#include "serial/Rfc2217.h"
#include "tools/DemoPackages.h"
#include "tools/FileBytes.h"
#include "tools/PackageBuilder.h"

namespace {

TBytes Block(uint8_t hw, size_t size) {
  TBytes block(size);
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 13 + hw);
  block[0] = hw;
  return block;
}

TBytes WithHw(uint8_t hw, TBytes package) {
  package.insert(package.begin(), hw);
  return package;
}

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

TServerImage SmallServerImage(bool signature) {
  TServerImage image = EmptyServerImage();
  for (uint16_t w = 0x0100; w < 0x0110; ++w) image[w] = static_cast<uint16_t>(0x3400 + w);
  image[0x0800] = 0x2805;
  if (signature) {
    const uint16_t last = 0x0300;
    for (size_t i = 0; i < kServerVersionSignature.size(); ++i)
      image[last - kServerVersionSignature.size() + 1 + i] = kServerVersionSignature[i];
    image[last - kSrvVersionWordBack] = 0x3027;
    image[last - kSrvBuildWordBack] = 0x3002;
  }
  return image;
}

// A minimal ELF file: header, one program header, two section headers (wide: 64-bit).
TBytes MiniElf(bool wide, bool little) {
  const size_t header = wide ? 64 : 52, phdr = wide ? 56 : 32, shdr = wide ? 64 : 40;
  TBytes elf(header + phdr + 2 * shdr, 0x00);
  elf[0] = 0x7F;
  elf[1] = 'E';
  elf[2] = 'L';
  elf[3] = 'F';
  elf[4] = wide ? 2 : 1;
  elf[5] = little ? 1 : 2;
  elf[6] = 1;
  auto put = [&](size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
      elf[at + (little ? i : bytes - 1 - i)] = static_cast<uint8_t>(value >> (8 * i));
  };
  const size_t word = wide ? 8 : 4;
  put(wide ? 0x20 : 0x1C, header, word);              // program headers
  put(wide ? 0x28 : 0x20, header + phdr, word);       // section headers
  put(wide ? 0x36 : 0x2A, phdr, 2);
  put(wide ? 0x38 : 0x2C, 1, 2);
  put(wide ? 0x3A : 0x2E, shdr, 2);
  put(wide ? 0x3C : 0x30, 2, 2);
  put(header, 1, 4);                                   // a loadable segment
  put(header + (wide ? 8 : 4), 0, word);               // from the start of the file
  put(header + (wide ? 32 : 16), header + phdr, word); // over the headers
  return elf;
}

TBytes MiniWindowsProgram() {
  TBytes program(256, 0x00);
  program[0] = 'M';
  program[1] = 'Z';
  program[60] = 0x40;
  return program;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_seeds DIR\n", stderr);
    return 2;
  }
  try {
    const std::filesystem::path dir = argv[1];
    auto write = [&](const std::string& sub, const std::string& name, const TBytes& bytes) {
      std::filesystem::create_directories(dir / sub);
      WriteFileBytes((dir / sub / name).string(), bytes);
    };

    write("tpf", "two-blocks", WithHw(0x22, BuildTPF({Block(0x21, 64), Block(0x22, 80)})));
    write("tpf", "other-hardware", WithHw(0x23, BuildTPF({Block(0x22, 70)})));
    write("tpf", "binary", WithHw(0x22, Block(0x22, 65)));
    write("tpf", "rfmodem", WithHw(0x21, BuildTPF({DemoRfModemImage()})));
    write("tpf", "eeprom", WithHw(0x22, BuildTPF({DemoEepromImage()})));

    write("sff", "rows", BuildSFF(SmallServerImage(false), true));
    write("sff", "signature", BuildSFF(SmallServerImage(true)));
    write("sff", "hex", Text(BuildHex(SmallServerImage(false))));
    write("sff", "hex-signature", Text(BuildHex(SmallServerImage(true), "\n")));

    const TBytes bundle = BuildBundle(
        "Tuning", {Block(0x22, 70), Block(0x22, 66), Text(":00000001FF\r\n"), Block(0x22, 65),
                   BuildSFF(SmallServerImage(false))},
        0x09);
    write("bundle", "bundle", bundle);
    write("bundle", "elf64", AttachBundle(MiniElf(true, true), bundle));
    write("bundle", "elf32be", AttachBundle(MiniElf(false, false), bundle));
    write("bundle", "windows", AttachBundle(MiniWindowsProgram(), bundle));

    // COM port control streams: the first byte picks the side (odd: the client reads a
    // server) and the split point.
    using namespace rfc2217;
    const uint8_t someData[] = {0x80, 0x00, 0xFF, 0x55, 0xFF, 0xFF, 0x10};
    std::vector<uint8_t> server{0x0B};
    AppendNegotiation(server, kDo, kOptComPort);
    AppendNegotiation(server, kWill, kOptBinary);
    AppendComPort(server, kNotifyModemState + kServerOffset, {0x30});
    AppendComPort(server, kSetBaudRate + kServerOffset, BaudValue(0x0000FFFF));
    AppendData(server, someData, sizeof someData);
    AppendComPort(server, kPurgeData + kServerOffset, {kPurgeReceive});
    write("rfc2217", "from-server", TBytes(server.begin(), server.end()));
    std::vector<uint8_t> client{0x0C};
    for (uint8_t o : {kOptComPort, kOptBinary, kOptSuppressGoAhead}) AppendNegotiation(client, kWill, o);
    AppendNegotiation(client, kDo, kOptBinary);
    AppendComPort(client, kSetModemStateMask, {0xFF});
    AppendComPort(client, kSetBaudRate, BaudValue(9600));
    AppendComPort(client, kSetControl, {kDtrOff});
    AppendComPort(client, kSetControl, {kRtsOn});
    AppendData(client, someData, sizeof someData);
    AppendComPort(client, kNotifyModemState, {});
    write("rfc2217", "from-client", TBytes(client.begin(), client.end()));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_seeds: %s\n", error.what());
    return 1;
  }
}
