// The efilink program run as a child process: the demo, one command with its decoded response,
// the layouts, --json output shapes and argument errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json_value.h"
#include "test_support.h"
#include "link_server.h"
#include "unit.h"
#include "platform/named_objects.h"
#include "transports/usb/interface_lock.h"
#include "unit_responder.h"

#if defined(_WIN32)
constexpr bool WINDOWS = true;
#define EFI_POPEN _popen
#define EFI_PCLOSE _pclose
#else
constexpr bool WINDOWS = false;
#include <sys/wait.h>
#define EFI_POPEN popen
#define EFI_PCLOSE pclose
#endif

namespace efi::test {
namespace {

struct CliRun {
  int exit_code = -1;
  std::string output;  // standard output, and standard error when asked for
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      result.push_back(line);
    }
    return result;
  }
};

// Runs efilink with `arguments` through the shell; with `merge_errors` standard error joins the
// output. On Windows the program is found by bare name in the test's working directory.
CliRun run(const std::string& arguments, bool merge_errors = false) {
  std::string command = std::string("\"") + module_path(EFI_CLI_FILE) + "\" " + arguments + (merge_errors ? " 2>&1" : "");
#if defined(_WIN32)
  command = "\"" + command + "\"";  // cmd /c strips one pair of quotes around the whole line
#endif
  CliRun result;
  FILE* pipe = EFI_POPEN(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = EFI_PCLOSE(pipe);
#if defined(_WIN32)
  result.exit_code = status;
#else
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  return result;
}

std::string simulator_text() { return std::string("@") + module_path(EFI_SIMULATOR_FILE); }

TEST(CliDemo, RunsEveryCommandAndEndsWithTheSummary) {
  const CliRun demo = run("demo");
  ASSERT_EQ(demo.exit_code, 0) << demo.output;
  size_t rows = 0;
  for (const std::string& line : demo.lines()) rows += line.rfind("0x", 0) == 0 && line.substr(line.size() - 3) == "yes";
  ASSERT_EQ(rows, EFI_COMMAND_COUNT);
  EXPECT_EQ(demo.lines().back().rfind("88 of 88 exchanges succeeded, 88 of 88 responses decoded", 0), 0u);
  EXPECT_EQ(demo.output.find('\r'), std::string::npos) << "not a terminal: no progress line";

  const CliRun json_run = run("demo --json");
  ASSERT_EQ(json_run.exit_code, 0) << json_run.output;
  const JsonValue json = JsonReader::parse(json_run.output);
  EXPECT_EQ(json["link"].string, "simulator");
  EXPECT_TRUE(json["ok"].boolean);
  EXPECT_EQ(json["decoded"].number, EFI_COMMAND_COUNT);
  ASSERT_EQ(json["exchanges"].items.size(), EFI_COMMAND_COUNT);
  for (size_t n = 0; n < EFI_COMMAND_COUNT; ++n) {
    const JsonValue& e = json["exchanges"][n];
    EXPECT_EQ(e["command"].number, n);
    EXPECT_EQ(e["status_name"].string, "OK");
    EXPECT_TRUE(e["decoded"].boolean) << n;
    EXPECT_GE(e["round_trip_us"].number, 100.0);  // the simulator link waits at least 100 us
  }
}

TEST(CliDemo, FailsWhenResponsesDoNotFollowTheirLayouts) {
  // The bridge tests' simulator echoes the command data: the exchanges succeed, the decoding not.
  const CliRun demo = run(std::string("demo --json --sim \"") + test_simulator_path("complete") + "\"");
  EXPECT_EQ(demo.exit_code, 1);
  const JsonValue json = JsonReader::parse(demo.output);
  EXPECT_FALSE(json["ok"].boolean);
  EXPECT_EQ(json["succeeded"].number, EFI_COMMAND_COUNT);
  EXPECT_LT(json["decoded"].number, EFI_COMMAND_COUNT);
}

TEST(CliSend, PrintsTheStatusAndTheDecodedResponse) {
  const softunit::Bytes data = {1, 0, 0, 0};
  const CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x05, 4, TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
  const softunit::Response expected = softunit::Unit().respond(header, data.data(), data.size());
  uint32_t field;
  std::memcpy(&field, expected.data.data(), 4);
  char field_text[16];
  std::snprintf(field_text, sizeof field_text, "0x%08x", field);

  const CliRun send = run(std::string("send --flags 0x200 --text \"") + simulator_text() + "\" 0x05 01000000");
  ASSERT_EQ(send.exit_code, 0) << send.output;
  EXPECT_NE(send.output.find("status    OK (0x00000000)"), std::string::npos) << send.output;
  EXPECT_NE(send.output.find("response  TS_L0"), std::string::npos);
  EXPECT_NE(send.output.find(field_text), std::string::npos) << field_text;

  const CliRun json_run = run("send --flags 0x200 0x05 01000000 --json");
  ASSERT_EQ(json_run.exit_code, 0) << json_run.output;
  const JsonValue json = JsonReader::parse(json_run.output);
  EXPECT_EQ(json["status"].number, 0);
  EXPECT_EQ(json["response_layout"].string, "TS_L0");
  ASSERT_EQ(json["fields"].items.size(), 1u);
  EXPECT_EQ(json["fields"][0]["width"].number, 32);
  EXPECT_EQ(json["fields"][0]["value"].number, field);
  EXPECT_EQ(json["received_size"].number, expected.data.size());
}

TEST(CliSend, JsonListsTheArraysOfAKindedRecord) {
  const CliRun send = run("send --flags 0x200 0x33 25000000 --json");
  ASSERT_EQ(send.exit_code, 0) << send.output;
  const JsonValue json = JsonReader::parse(send.output);
  EXPECT_EQ(json["kind"].number, 0x25);
  const efi::Layout& layout = efi::kinded_layout(0x25);
  const JsonValue& arrays = json["arrays"];
  ASSERT_EQ(arrays.items.size(), layout.arrays.size());
  for (size_t i = 0; i < arrays.items.size(); ++i) {
    const JsonValue& a = arrays[i];
    EXPECT_EQ(a["descriptor"].number, layout.arrays[i]);
    if (a["element_count"].number == 0) continue;
    ASSERT_EQ(a["elements"].type, JsonValue::Type::string);
    EXPECT_EQ(a["elements"].string.size(), 2 * a["element_size"].number * a["element_count"].number);
  }
  EXPECT_EQ(json["problems"].items.size(), 0u);
  EXPECT_EQ(json["data"].string.size(), 2 * json["received_size"].number);
}

TEST(CliSend, AFailingLinkGivesExitCodeOne) {
  const CliRun send = run("send --flags 0x200 --text @no-such-simulator-library 0x05 01000000", true);
  EXPECT_EQ(send.exit_code, 1);
  EXPECT_NE(send.output.find("initialising the link"), std::string::npos) << send.output;
}

TEST(CliLayouts, ListsEveryRowAndEachKind) {
  const CliRun all = run("layouts");
  ASSERT_EQ(all.exit_code, 0);
  size_t rows = 0;
  for (const std::string& line : all.lines()) rows += line.rfind("0x", 0) == 0;
  EXPECT_EQ(rows, EFI_COMMAND_COUNT);
  EXPECT_NE(all.output.find("TS_W2_W4_A8_A16_L24to36_A40: fixed part 48 bytes, data area from 48"), std::string::npos);

  const CliRun kinded = run("layouts 0x33");
  ASSERT_EQ(kinded.exit_code, 0);
  EXPECT_NE(kinded.output.find("kind 42 KindedRecord_TS"), std::string::npos) << kinded.output;
  EXPECT_NE(kinded.output.find("86 (elements word at 92)"), std::string::npos);
}

struct ArgumentsCase {
  const char* arguments;
  int exit_code;
  const char* output_starts;
};

std::ostream& operator<<(std::ostream& out, const ArgumentsCase& c) { return out << c.arguments; }

class CliArguments : public ::testing::TestWithParam<ArgumentsCase> {};

// Help goes to standard output; a bad argument gives one line and exit code 2.
TEST_P(CliArguments, AnswerWithHelpOrOneErrorLine) {
  const ArgumentsCase c = GetParam();
  const CliRun r = run(c.arguments, c.exit_code != 0);
  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(r.output.rfind(c.output_starts, 0), 0u) << r.output;
  if (c.exit_code != 0) {
    EXPECT_EQ(r.lines().size(), 1u) << r.output;
  }
}

ArgumentsCase help(const char* arguments) { return {arguments, 0, "usage: efilink"}; }
ArgumentsCase bad(const char* arguments) { return {arguments, 2, "efilink: "}; }

INSTANTIATE_TEST_SUITE_P(
    HelpAndErrors, CliArguments,
    ::testing::Values(help("--help"), help("demo --help"), help("send --help"), help("layouts --help"),
                      help("lock --help"), help("send --flags 0x200 --help"), bad("frobnicate"),
                      bad("demo --frobnicate"), bad("demo --sim"), bad("send 0x05"), bad("send --flags"),
                      bad("send --flags zz 0x05"), bad("send --flags 0x200"), bad("send --flags 0x200 0x100"),
                      bad("send --flags 0x200 0x05 0g"), bad("send --flags 0x200 0x05 012"),
                      bad("send --flags 0x200 0x05 00 11"), bad("send --flags 0x200 0x05 --response-size 70000"),
                      bad("send --flags 0x200 0x05 --bogus"),
                      bad("send --flags 0x200 0x05 --adapter-library x"), bad("layouts 0x05 0x06"), bad("layouts seven"),
                      bad("lock"), bad("lock frobnicate"), bad("lock update 1"), bad("lock release one"),
                      bad("lock query --frobnicate")));

TEST(CliLock, QueryUpdateAndReleaseShowTheSharedList) {
  if (WINDOWS) GTEST_SKIP() << "the shipped library finds units through SetupAPI on Windows; device directories exist only off Windows";
  namespace fs = std::filesystem;
  const fs::path devices = fs::temp_directory_path() / "efilink-cli-lock";
  fs::remove_all(devices);
  fs::create_directories(devices / "{4B916034-47F5-4765-BECA-716DAE788135}");
  for (const char* unit : {"unit-a", "unit-b"})
    std::ofstream(devices / "{4B916034-47F5-4765-BECA-716DAE788135}" / unit).put('\0');
  const std::string directory = " --device-dir \"" + devices.string() + "\"";
  // The shipped program uses the machine's own objects; remove them afterwards only if this test
  // made them, so a later run (a 32-bit one, say) starts from nothing.
  const bool objects_existed = fs::exists("/dev/shm/Tarvendix_USB_MutexObject");
  struct Cleanup {
    bool keep;
    ~Cleanup() {
      if (!keep) platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    }
  } cleanup{objects_existed};

  const CliRun query = run("lock query" + directory);
  ASSERT_EQ(query.exit_code, 0) << query.output;
  ASSERT_EQ(query.lines().size(), 3u) << query.output;
  EXPECT_EQ(query.lines()[0], "index  owner       path");

  const CliRun update = run("lock update 1 42 --json" + directory);
  ASSERT_EQ(update.exit_code, 0) << update.output;
  JsonValue list = JsonReader::parse(update.output);
  ASSERT_EQ(list["units"].items.size(), 2u);
  EXPECT_EQ(list["units"].items[1]["owner"].number, 42);
  EXPECT_NE(list["units"].items[1]["path"].string.find("unit-b"), std::string::npos);

  const CliRun release = run("lock release 1 --json" + directory);
  ASSERT_EQ(release.exit_code, 0) << release.output;
  list = JsonReader::parse(release.output);
  EXPECT_TRUE(list["units"].items[1]["owner"].type == JsonValue::Type::null);

  EXPECT_EQ(run("lock update 7 1" + directory, true).exit_code, 1) << "no such unit";
  fs::remove_all(devices);
}

TEST(CliSend, ReachesTheUnitThroughAUsbDevicePath) {
  softunit::DeviceServer server(softunit::unit_responder());
  const CliRun send = run("send --flags 0x20 --text \"" + server.device_path() + "\" 0x05 01000000 --json");
  ASSERT_EQ(send.exit_code, 0) << send.output;
  const JsonValue json = JsonReader::parse(send.output);
  EXPECT_EQ(json["status"].number, 0);
  EXPECT_EQ(json["response_layout"].string, "TS_L0");
  ASSERT_EQ(server.received().size(), 1u);
  EXPECT_EQ(server.received()[0].data, (softunit::Bytes{0, 0, 0, 1})) << "command data in unit order";
}

}  // namespace
}  // namespace efi::test

namespace efi::test {
namespace {

TEST(CliSend, ReachesTheUnitOnTheCanBusThroughTheAdapterLibraryNamed) {
  softunit::CanServer server(softunit::unit_responder());
  server.publish_port();
  const CliRun send = run("send --flags 0x200000 --adapter-library \"" + module_path(EFI_PCAN_STANDIN) +
                          "\" 0x05 01000000 --json");
  ASSERT_EQ(send.exit_code, 0) << send.output;
  EXPECT_EQ(JsonReader::parse(send.output)["response_layout"].string, "TS_L0");
  ASSERT_EQ(server.received().size(), 1u);
  EXPECT_EQ(server.received()[0].data, (softunit::Bytes{0, 0, 0, 1}));
}

}  // namespace
}  // namespace efi::test
