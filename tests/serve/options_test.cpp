// Port layout and option errors of `pei-platform serve`.
#include <gtest/gtest.h>

#include "serve_options.h"

namespace {

serve::ServeOptions parse(std::vector<std::string> args) {
  return serve::parseServeOptions(args);
}

TEST(ServeOptions, PortLayoutPerProtocol) {
  const auto mssim = parse({});
  EXPECT_TRUE(mssim.server.mssim);
  EXPECT_FALSE(mssim.server.swtpm);
  EXPECT_EQ(mssim.server.mssimCommandPort, 2321);
  EXPECT_EQ(mssim.server.mssimPlatformPort, 2322);
  EXPECT_TRUE(mssim.issueStartup);

  const auto swtpm = parse({"--protocol", "swtpm", "--port", "5000"});
  EXPECT_FALSE(swtpm.server.mssim);
  EXPECT_EQ(swtpm.server.swtpmDataPort, 5000);
  EXPECT_EQ(swtpm.server.swtpmControlPort, 5001);

  const auto both = parse({"--protocol", "both", "--port", "5000",
                           "--no-startup", "--state-dir", "d"});
  EXPECT_EQ(both.server.mssimCommandPort, 5000);
  EXPECT_EQ(both.server.swtpmDataPort, 5002);
  EXPECT_EQ(both.server.swtpmControlPort, 5003);
  EXPECT_FALSE(both.issueStartup);
  // What the endpoint does not know goes to the scenario parser, in order.
  EXPECT_EQ(both.scenarioArgs, (std::vector<std::string>{"--state-dir", "d"}));
}

TEST(ServeOptions, BadValuesSayWhatWasExpected) {
  const auto message = [](std::vector<std::string> args) {
    try {
      parse(std::move(args));
    } catch (const serve::UsageError &error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message({"--port", "65535"}),
            "--port: expected a port number from 1 to 65534, found \"65535\"");
  EXPECT_EQ(message({"--port", "12x"}),
            "--port: expected a port number from 1 to 65534, found \"12x\"");
  EXPECT_EQ(message({"--protocol", "tcp"}),
            "--protocol: expected mssim, swtpm or both, found \"tcp\"");
  EXPECT_EQ(message({"--port"}),
            "--port: expected a value, found the end of the command line");
  EXPECT_EQ(message({"--idle-timeout", "0"}),
            "--idle-timeout: expected whole seconds from 1 to 86400, found "
            "\"0\"");
  // Beside mssim on the last two ports, the swtpm ones would lie past the
  // last port: refused, not wrapped round to ports 0 and 1.
  for (const char *last : {"65534", "65533"}) {
    EXPECT_EQ(message({"--protocol", "both", "--port", last}),
              std::string("--port: expected room for the swtpm ports after "
                          "the mssim ones (or --swtpm-port), found ") +
                  last);
  }
  EXPECT_EQ(
      message({"--protocol", "both", "--port", "7000", "--swtpm-port", "7001"}),
      "--swtpm-port: expected ports other than the mssim ports 7000 and 7001, "
      "found 7001");
  // An option that would change nothing in the combination given is
  // refused rather than ignored: alone, swtpm listens on --port.
  for (const char *protocol : {"mssim", "swtpm"}) {
    EXPECT_EQ(message({"--protocol", protocol, "--swtpm-port", "7000"}),
              "--swtpm-port: has no effect without --protocol both (alone, "
              "swtpm listens on --port)");
  }
  EXPECT_EQ(message({"--trace-json-commands", "5"}),
            "--trace-json-commands: has no effect without --trace-json");
  EXPECT_EQ(message({"--trace-json", "t.json", "--trace-json-commands", "5"}),
            "accepted");
}

} // namespace
