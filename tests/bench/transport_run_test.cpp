// The shipped module on the bench beside the modules that use it: the
// companion installs the trigger, the module publishes its transport, and
// the transport's consumer gets the real TPM's answers through it; after
// the run a TPM session goes through the same transport, as boot drives one.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string shell(const std::string &command, int &status) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(
      popen((command + " 2>&1 </dev/null").c_str(), "r"), pclose);
  std::string output;
  char chunk[4096];
  while (const std::size_t got = fread(chunk, 1, sizeof chunk, pipe.get())) {
    output.append(chunk, got);
  }
  const int raw = pclose(pipe.release());
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

TEST(BenchTransport, ConsumerGetsTheTpmsAnswersThroughTheModule) {
  const fs::path dir = fs::path(testing::TempDir()) /
                       ("bench-transport-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path consumer = dir / "consumer.ffs";
  int status = -1;
  const std::string packed =
      shell(std::string(PEI_FFS_PATH) + " " + TRANSPORT_CONSUMER_IMAGE +
                " --guid 6A1E0F2C-11D3-4C0A-9E41-527B0C3D9020 --name "
                "TransportConsumer --depex 9D910B61-85BD-4473-8131-40959D60C7EE"
                " -o " + consumer.string(),
            status);
  ASSERT_EQ(status, 0) << packed;
  const std::string run =
      shell("timeout 120 " + std::string(PEI_PLATFORM_PATH) + " run " +
                FIRMWARE_IMAGE_PATH + " " + COMPANION_IMAGE_PATH + " " +
                consumer.string(),
            status);
  EXPECT_EQ(status, 1) << "no DXE IPL in this run\n" << run;
  // Startup, then GetRandom(8): 10 header bytes, a count and 8 bytes.
  for (const char *line :
       {"TTU locate status=0x00000000",
        "TTU execute-startup status=0x00000000 size=0x0000000A rc=0x00000000",
        "TTU execute-getrandom status=0x00000000 size=0x00000014 "
        "rc=0x00000000",
        "TTU send status=0x00000000",
        "TTU receive-getrandom status=0x00000000 size=0x00000014 "
        "rc=0x00000000"}) {
    EXPECT_NE(run.find(line), std::string::npos) << line << "\n" << run;
  }
  EXPECT_NE(run.find("TpmTransportPei             returned EFI_SUCCESS, "
                     "shadow returned EFI_SUCCESS"),
            std::string::npos)
      << run;
  // After the run, a TPM session through the published transport.
  EXPECT_NE(run.find("TPM session: every command succeeded"), std::string::npos)
      << run;
}

} // namespace
