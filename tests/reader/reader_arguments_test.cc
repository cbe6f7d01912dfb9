// The reader's options of serve, taken out of the argument list.
#include "hosts/reader/reader_arguments.h"

#include <gtest/gtest.h>

namespace qy::reader {
namespace {

TEST(ReaderArguments, TakenOutOfServeArguments) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::optional<ReaderArguments> want;
    std::vector<std::string> rest;
  };
  const std::vector<Case> kCases = {
      {"none", {}, ReaderArguments{}, {}},
      {"reader only", {"--reader", "/m"}, ReaderArguments{"/m", 0, true}, {}},
      {"all three, others kept", {"--x", "--port", "8080", "--reader", "/m", "--no-browser"},
       ReaderArguments{"/m", 8080, false}, {"--x"}},
      {"reader without value", {"--reader"}, std::nullopt, {}},
      {"port zero is any free port", {"--reader", "/m", "--port", "0"}, ReaderArguments{"/m", 0, true}, {}},
      {"port too large", {"--reader", "/m", "--port", "65536"}, std::nullopt, {}},
      {"port not a number", {"--reader", "/m", "--port", "80a"}, std::nullopt, {}},
      {"port without reader", {"--port", "80"}, std::nullopt, {}},
      {"no-browser without reader", {"--no-browser"}, std::nullopt, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto args = c.args;
    std::string error;
    const auto got = takeReaderArguments(args, error);
    EXPECT_EQ(got, c.want);
    if (got) EXPECT_EQ(args, c.rest);
    else EXPECT_FALSE(error.empty());
  }
}

TEST(ReaderArguments, OfTheReaderCommand) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::optional<ReaderArguments> want;
  };
  const std::vector<Case> kCases = {
      {"path only", {"/m"}, ReaderArguments{"/m", 0, true}},
      {"options around the path", {"--port", "0", "/m", "--no-browser"}, ReaderArguments{"/m", 0, false}},
      {"no path", {"--no-browser"}, std::nullopt},
      {"two paths", {"/m", "/n"}, std::nullopt},
      {"unknown option", {"/m", "--bogus"}, std::nullopt},
      {"serve's option", {"--reader", "/m"}, std::nullopt},
      {"port without value", {"/m", "--port"}, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string error;
    const auto got = readerCommandArguments(c.args, error);
    EXPECT_EQ(got, c.want);
    if (!got) {
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
}  // namespace qy::reader
