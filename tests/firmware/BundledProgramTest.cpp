// A program file that carries a bundle made by tptune-bundle: it still runs, directly and (where
// programs have one) through the dynamic loader, and its bundle is found in it.
#include <gtest/gtest.h>

#include <filesystem>

#include "firmware/Packages.h"
#include "tests/firmware/Commands.h"
#include "tests/firmware/RunFixture.h"
#include "tools/PackageBuilder.h"

namespace {

const std::string kProbe = TPTUNE_BUNDLE_PROBE;
const std::string kBundleTool = TPTUNE_BUNDLE_TOOL;

TEST(BundledProgram, RunsAndFindsItsBundle) {
  TScratchDir dir;
  const std::array<TBytes, 5> packages = {TBytes(300, 0x11), TBytes(400, 0x22), TBytes(500, 0x33),
                                          TBytes(100, 0x44), TBytes(50, 0x55)};
  const std::string bundled = dir.Dir() + ProgramFile("bundled");
  std::vector<std::string> command = {kBundleTool, kProbe, bundled, "Probe title", "0x09"};
  const char* names[] = {"rf.tpf", "ee.tpf", "srv.sff", "tpt.tpf", "st.sff"};
  for (size_t i = 0; i < packages.size(); ++i) command.push_back(dir.Write(names[i], packages[i]));
  ASSERT_EQ(RunCommand(command).Status, 0);

  EXPECT_EQ(std::filesystem::status(bundled).permissions(),
            std::filesystem::status(kProbe).permissions());
  const TEmbeddedBundle read = ReadEmbeddedBundle(bundled);
  ASSERT_EQ(read.Status, TEmbeddedBundle::TStatus::kPresent);
  EXPECT_EQ(*read.Bytes, BuildBundle("Probe title", packages, 0x09));

  EXPECT_EQ(RunCommand({bundled}).Output, "bundle: Probe title\n");
  if (!HasDynamicLoader()) return;
  const std::string loader = DynamicLoaderPath();
  ASSERT_FALSE(loader.empty());
  const TCommandResult viaLoader = RunCommand({loader, bundled});
  EXPECT_EQ(viaLoader.Status, 0);
  EXPECT_EQ(viaLoader.Output, "bundle: Probe title\n");
}

TEST(BundledProgram, PlainProgramHasNone) {
  EXPECT_EQ(ReadEmbeddedBundle(kProbe).Status, TEmbeddedBundle::TStatus::kNone);
  EXPECT_EQ(RunCommand({kProbe}).Output, "no bundle\n");
}

}  // namespace
