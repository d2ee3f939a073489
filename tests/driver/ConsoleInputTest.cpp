// The console front end's wait for typed answers, on a pipe as scripts feed it: what is written
// comes through, nothing written is a wait that ends in time, a closed writer is the end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/ConsolePlatform.h"
#include "tests/driver/Pipe.h"

namespace {

TEST(ConsoleInput, APipeGivesWhatCameThenWaitsThenEnds) {
  TPipe pipe;
  std::string buffer;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAvailableInput(pipe.ReadFd(), buffer, 100), TInputResult::kNothingYet);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_TRUE(buffer.empty());

  pipe.Write("yes\n");
  EXPECT_EQ(ReadAvailableInput(pipe.ReadFd(), buffer, 100), TInputResult::kData);
  EXPECT_EQ(buffer, "yes\n");

  pipe.CloseWriter();
  EXPECT_EQ(ReadAvailableInput(pipe.ReadFd(), buffer, 100), TInputResult::kEnd);
  EXPECT_EQ(buffer, "yes\n");
}

}  // namespace
