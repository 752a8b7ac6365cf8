// The efilink program run as a child process: the demo, one command with its decoded response,
// the layouts, --json output shapes and argument errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "all_commands.h"
#include "json_value.h"
#include "link_server.h"
#include "platform/clock.h"
#include "platform/module.h"
#include "platform/named_objects.h"
#include "test_process.h"
#include "test_support.h"
#include "transports/usb/interface_lock.h"
#include "transports/usb/usb_link.h"
#include "unit.h"
#include "unit_responder.h"

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
  Json json() const { return Json(output); }
  bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
};

std::string program() {
  std::string quoted = "\"";
  return quoted.append(module_path(EFI_CLI_FILE)).append("\" ");
}

// Runs efilink through the shell; with `merge_errors` standard error joins the output.
CliRun run(const std::string& arguments, bool merge_errors = false) {
  CliRun result;
  result.exit_code = run_shell(program() + arguments + (merge_errors ? " 2>&1" : ""), result.output);
  return result;
}

// The JSON output of a run that must succeed.
Json json_of(const std::string& arguments) {
  const CliRun result = run(arguments);
  EXPECT_EQ(result.exit_code, 0) << arguments << ": " << result.output;
  return result.json();
}

TEST(CliDemo, RunsEveryCommandAndEndsWithTheSummary) {
  const CliRun demo = run("demo");
  ASSERT_EQ(demo.exit_code, 0) << demo.output;
  size_t rows = 0;
  for (const std::string& line : demo.lines()) rows += line.rfind("0x", 0) == 0 && line.substr(line.size() - 3) == "yes";
  ASSERT_EQ(rows, EFI_COMMAND_COUNT);
  EXPECT_EQ(demo.lines().back().rfind("88 of 88 exchanges succeeded, 88 of 88 responses decoded", 0), 0u);
  EXPECT_FALSE(demo.has("\r")) << "not a terminal: no progress line";

  const Json json = json_of("demo --json");
  EXPECT_EQ(json["link"], "simulator");
  EXPECT_EQ(json["ok"], "true");
  EXPECT_EQ(json.number("decoded"), EFI_COMMAND_COUNT);
  ASSERT_EQ(json.number("exchanges#"), EFI_COMMAND_COUNT);
  for (size_t n = 0; n < EFI_COMMAND_COUNT; ++n) {
    const std::string e = "exchanges." + std::to_string(n) + ".";
    EXPECT_EQ(json.number(e + "command"), n);
    EXPECT_EQ(json[e + "status_name"], "OK");
    EXPECT_EQ(json[e + "decoded"], "true") << n;
    EXPECT_GE(json.number(e + "round_trip_us"), 100.0);  // the simulator link waits at least 100 us
  }

  // The bridge tests' simulator echoes the command data: the exchanges succeed, the decoding not.
  const CliRun echo = run(std::string("demo --json --sim \"").append(test_simulator_path("complete")) + "\"");
  EXPECT_EQ(echo.exit_code, 1);
  EXPECT_EQ(echo.json()["ok"], "false");
  EXPECT_EQ(echo.json().number("succeeded"), EFI_COMMAND_COUNT);
  EXPECT_LT(echo.json().number("decoded"), EFI_COMMAND_COUNT);
}

// Each link against `efilink unit` in a child process, twice over (a short soak); what a build
// cannot serve says why.
TEST(CliDemo, EveryLinkAgainstTheUnitProgram) {
  const Json json = json_of("demo --link all --rounds 2 --json");
  EXPECT_EQ(json["ok"], "true");
  ASSERT_EQ(json.number("links#"), 9u);
  size_t served = 0;
  for (size_t n = 0; n < 9; ++n) {
    const std::string link = "links." + std::to_string(n) + ".";
    if (json[link + "skipped"] != "null") continue;
    ++served;
    EXPECT_EQ(json.number(link + "decoded"), EFI_COMMAND_COUNT) << json[link + "link"];
    EXPECT_LE(json.number(link + "median_round_trip_us"), json.number(link + "p99_round_trip_us"));
    EXPECT_EQ(json.number(link + "soak.exchanges"), 2 * EFI_COMMAND_COUNT) << json[link + "link"];
    EXPECT_EQ(json.number(link + "soak.wrong"), 0u) << json[link + "link"];
    EXPECT_GT(json.number(link + "soak.memory_kib_end"), 0u) << json[link + "link"];
  }
  EXPECT_GE(served, 5u) << "simulator, USB, Ethernet and both CAN adapters everywhere";
  EXPECT_EQ(json["links.8.link"], "slcan");
  if (!platform::modules_are_dlls()) {
    EXPECT_EQ(json["links.8.skipped"], "null") << "the serial-line adapter is served on a pseudo-terminal";
  }
}

// The unit program answers as its script says, then the model; interrupted, it removes the
// entries and the device directory it made.
TEST(CliUnit, ServesTheScriptThenTheModelAndCleansUpWhenInterrupted) {
#if defined(_WIN32)
  GTEST_SKIP() << "device directories and SIGTERM exist off Windows only";
#endif
  const std::string root = temp_path("unit"), devices = root + "/devices";
  const RemovedAtEnd removed{{root}};
  std::filesystem::create_directories(root);
  std::ofstream(root + "/script") << "# two exchanges\nanswer 0 01020304\nstatus 7  # then the model\n";
  std::ofstream(root + "/bad") << "status 1\nfrobnicate 3\n";
  const CliRun bad = run("unit --usb --script \"" + root + "/bad\"", true);
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_TRUE(bad.has("line 2: no fault is called 'frobnicate'")) << bad.output;

  std::string pid;
  ASSERT_EQ(run_shell(program() + "unit --usb --device-dir \"" + devices + "\" --script \"" + root +
                          "/script\" --json > \"" + root + "/out\" 2>&1 & echo $!",
                      pid),
            0);
  std::string announced;
  for (int tries = 0; announced.find("\"ready\"") == std::string::npos && tries < 200; ++tries) {
    platform::sleep_ms(20);
    announced = file_text(root + "/out");
  }
  ASSERT_NE(announced.find("\"ready\""), std::string::npos) << announced;
  const std::string send = "send --flags 0x20 --device-dir \"" + devices + "\" 0x05 01000000 --json";
  const CliRun scripted = run(send);
  EXPECT_EQ(scripted.json()["data"], "01020304") << scripted.output;
  const CliRun refused = run(send);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.json()["status"], "7");
  EXPECT_EQ(run(send).json()["response_layout"], "TS_L0");

  EXPECT_EQ(std::system(("kill -TERM " + pid).c_str()), 0);
  for (int tries = 0; std::filesystem::exists(devices) && tries < 100; ++tries) platform::sleep_ms(20);
  EXPECT_FALSE(std::filesystem::exists(devices)) << "the unit made it, the unit removes it";
}

// One command through the simulator library, shown as text, and through a USB device path as JSON:
// the same model answers both.
TEST(CliSend, PrintsTheStatusAndTheDecodedResponse) {
  const softunit::Bytes data = {1, 0, 0, 0};
  const CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x05, 4, TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
  const softunit::Response expected = softunit::Unit().respond(header, data.data(), data.size());
  uint32_t field;
  std::memcpy(&field, expected.data.data(), 4);
  char field_text[16];
  std::snprintf(field_text, sizeof field_text, "0x%08x", field);

  const CliRun send = run("send --flags 0x200 --text \"@" + module_path(EFI_SIMULATOR_FILE) + "\" 0x05 01000000");
  ASSERT_EQ(send.exit_code, 0) << send.output;
  EXPECT_TRUE(send.has("status    OK (0x00000000)")) << send.output;
  EXPECT_TRUE(send.has("response  TS_L0"));
  EXPECT_TRUE(send.has(field_text)) << field_text;

  softunit::DeviceServer server(softunit::unit_responder());
  const Json json = json_of("send --flags 0x20 --text \"" + server.device_path() + "\" 0x05 01000000 --json");
  EXPECT_EQ(json["status"], "0");
  EXPECT_EQ(json["response_layout"], "TS_L0");
  EXPECT_EQ(json["fields#"], "1");
  EXPECT_EQ(json["fields.0.width"], "32");
  EXPECT_EQ(json.number("fields.0.value"), field);
  EXPECT_EQ(json.number("received_size"), expected.data.size());

  // The bridge tests' simulator echoes the command data: no data, where TS_L0_L4 needs 8 bytes.
  const CliRun short_answer = run("send --flags 0x200 --text \"@" + test_simulator_path("complete") + "\" 0x00 --json");
  EXPECT_EQ(short_answer.exit_code, 3) << "succeeded, but does not decode";
  EXPECT_EQ(short_answer.json()["decoded"], "false");
  EXPECT_EQ(short_answer.json()["error"], "the response does not decode as TS_L0_L4 says");
}

TEST(CliSend, JsonListsTheArraysOfAKindedRecord) {
  const Json json = json_of("send --flags 0x200 0x33 25000000 --json");
  EXPECT_EQ(json.number("kind"), 0x25);
  const efi::Layout& layout = efi::kinded_layout(0x25);
  ASSERT_EQ(json.number("arrays#"), layout.arrays.size());
  for (size_t i = 0; i < layout.arrays.size(); ++i) {
    const std::string a = "arrays." + std::to_string(i) + ".";
    EXPECT_EQ(json.number(a + "descriptor"), layout.arrays[i]);
    if (json.number(a + "element_count") == 0) continue;
    EXPECT_EQ(json[a + "elements"].size(), 2 * json.number(a + "element_size") * json.number(a + "element_count"));
  }
  EXPECT_EQ(json["problems#"], "0");
  EXPECT_EQ(json["data"].size(), 2 * json.number("received_size"));
}

TEST(CliLayouts, ListsEveryRowAndEachKind) {
  const CliRun all = run("layouts");
  ASSERT_EQ(all.exit_code, 0);
  size_t rows = 0;
  for (const std::string& line : all.lines()) rows += line.rfind("0x", 0) == 0;
  EXPECT_EQ(rows, EFI_COMMAND_COUNT);
  EXPECT_TRUE(all.has("TS_W2_W4_A8_A16_L24to36_A40: fixed part 48 bytes, data area from 48"));

  const CliRun kinded = run("layouts 0x33");
  ASSERT_EQ(kinded.exit_code, 0);
  EXPECT_TRUE(kinded.has("kind 42: fixed part")) << kinded.output;
  EXPECT_EQ(kinded.output.back(), '\n');
  size_t array_lines = 0;
  for (const std::string& line : kinded.lines())
    if (line.find("arrays at") != std::string::npos) {
      ++array_lines;
      EXPECT_EQ(line.back(), ')') << "cut: " << line;
      EXPECT_EQ(line.find("arrays at"), line.rfind("arrays at")) << "runs into the next: " << line;
    }
  EXPECT_EQ(array_lines, 1 + efi::KINDED_RECORD_KIND_COUNT);

  const Json json = json_of("layouts 0x33 --json");
  EXPECT_EQ(json["commands.0.command_layout"], "TS_W0_W2");
  EXPECT_EQ(json["layouts.1.name"], "KindedRecord_TS");
  ASSERT_EQ(json.number("layouts.1.kinds#"), efi::KINDED_RECORD_KIND_COUNT);
  const efi::Layout& kind37 = efi::kinded_layout(37);
  ASSERT_EQ(json.number("layouts.1.kinds.37.arrays#"), kind37.arrays.size());
  EXPECT_EQ(json.number("layouts.1.kinds.37.arrays." + std::to_string(kind37.arrays.size() - 1) + ".elements_word"),
            efi::array_pointer_word(kind37.arrays[kind37.arrays.size() - 1]));
  EXPECT_EQ(run("layouts --json").json().number("commands#"), EFI_COMMAND_COUNT);
}

struct ArgumentsCase {
  const char* arguments;
  int exit_code;
  const char* output_starts;  // of the output, or with `json` of its "error" field
  bool json = false;
};
std::ostream& operator<<(std::ostream& out, const ArgumentsCase& c) { return out << c.arguments; }
ArgumentsCase help(const char* arguments) { return {arguments, 0, "usage: efilink"}; }
ArgumentsCase bad(const char* arguments) { return {arguments, 2, "efilink: "}; }
ArgumentsCase json_error(const char* arguments, int exit_code, const char* error_starts) {
  return {arguments, exit_code, error_starts, true};
}

class CliArguments : public ::testing::TestWithParam<ArgumentsCase> {};

// Help goes to standard output; a bad argument gives one line and exit code 2, a link that does
// not open one line and exit code 1. With --json standard output holds only a JSON object with the
// error (a link's trace lines go to standard error).
TEST_P(CliArguments, AnswerWithHelpOrOneErrorLine) {
  const ArgumentsCase c = GetParam();
  const CliRun r = run(c.arguments, c.exit_code != 0 && !c.json);
  EXPECT_EQ(r.exit_code, c.exit_code);
  if (c.json) {
    EXPECT_EQ(r.json()["error"].rfind(c.output_starts, 0), 0u) << r.output;
    return;
  }
  EXPECT_EQ(r.output.rfind(c.output_starts, 0), 0u) << r.output;
  if (c.exit_code != 0) {
    EXPECT_EQ(r.lines().size(), 1u) << r.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    HelpAndErrors, CliArguments,
    ::testing::Values(help("--help"), help("demo --help"), help("send --help"), help("layouts --help"),
                      help("lock --help"), help("unit --help"), help("send --flags 0x200 --help"),
                      bad("frobnicate"), bad("unit"), bad("unit --com 0"), bad("unit --usb --usb"),
                      bad("demo --link serial"), bad("demo --frobnicate"), bad("demo --rounds 0"), bad("demo --sim"),
                      bad("send 0x05"), bad("send --flags"), bad("send --flags zz 0x05"), bad("send --flags 0x200"),
                      bad("send --flags 0x200 0x100"), bad("send --flags 0x200 0x05 0g"),
                      bad("send --flags 0x200 0x05 012"), bad("send --flags 0x200 0x05 00 11"),
                      bad("send --flags 0x200 0x05 --response-size 70000"), bad("send --flags 0x200 0x05 --bogus"),
                      bad("send --flags 0x200 0x05 --adapter-library x"), bad("layouts 0x05 0x06"), bad("layouts seven"),
                      bad("lock"), bad("lock frobnicate"), bad("lock update 1"), bad("lock release one"),
                      bad("lock query --frobnicate"), bad("send --flags 0x200 --flags 0x20 0x05"),
                      ArgumentsCase{"send --flags 0x200 --text @no-such-simulator-library 0x05 01000000", 1,
                                    "efilink: link initialisation failed: the simulator link"},
                      ArgumentsCase{"send --flags 0x2000 0x05", 1,
                                    "efilink: link initialisation failed: flag word 0x00002000 selects no link"},
                      json_error("send --json --flags zz 0x05", 2, "--flags 'zz' is not a number"),
                      json_error("layouts --json --json", 2, "option --json given twice"),
                      json_error("send --flags 0x400000 --address 127.0.0.1:1 0x05 --json", 1,
                                 "link initialisation failed: the Ethernet link")));

TEST(CliLock, QueryUpdateAndReleaseShowTheSharedList) {
#if defined(_WIN32)
  GTEST_SKIP() << "the shipped library finds units through SetupAPI on Windows; device directories exist only off Windows";
#endif
  const std::string devices = temp_path("cli-lock");
  const RemovedAtEnd removed{{devices}};
  std::filesystem::create_directories(devices + "/" + USB_DEVICE_CLASS);
  for (const char* unit : {"/unit-a", "/unit-b"}) std::ofstream(devices + "/" + USB_DEVICE_CLASS + unit).put('\0');
  const std::string directory = " --device-dir \"" + devices + "\"";
  // The shipped program uses the machine's own objects; remove them afterwards only if this test
  // made them, so a later run (a 32-bit one, say) starts from nothing.
  struct Cleanup {
    bool keep = std::filesystem::exists(std::string("/dev/shm/") + USB_MUTEX_NAME);
    ~Cleanup() {
      if (!keep) platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    }
  } cleanup;

  const CliRun query = run("lock query" + directory);
  ASSERT_EQ(query.exit_code, 0) << query.output;
  ASSERT_EQ(query.lines().size(), 3u) << query.output;
  EXPECT_EQ(query.lines()[0], "index  owner       path");

  const Json units = json_of("lock update 1 42 --json" + directory);
  ASSERT_EQ(units["units#"], "2");
  EXPECT_EQ(units["units.1.owner"], "42");
  EXPECT_NE(units["units.1.path"].find("unit-b"), std::string::npos);

  EXPECT_EQ(json_of("lock release 1 --json" + directory)["units.1.owner"], "null");

  EXPECT_EQ(run("lock update 7 1" + directory, true).exit_code, 1) << "no such unit";
}

TEST(CliSend, ReachesTheUnitOnTheCanBusThroughTheAdapterLibraryNamed) {
  softunit::CanServer server(softunit::unit_responder());
  server.publish_port();
  const std::string library = " --adapter-library \"" + module_path(EFI_PCAN_STANDIN) + "\"";
  EXPECT_EQ(json_of("send --flags 0x200000" + library + " 0x05 01000000 --json")["response_layout"], "TS_L0");
}

// A session traced against the unit over the USB link (a pseudo-terminal or pipe) replays through
// the simulator link with the same responses; an answer the host had no room for is traced with
// the bytes drained, and is the one exchange replay skips. The frame log every CAN link writes
// through the shared exchange routine is read back by the serial-line CAN link's trace test.
TEST(CliReplay, TracedSessionReplaysWithTheSameResponses) {
  const std::string trace = temp_path("trace.log"), again = trace + ".again";
  const RemovedAtEnd removed{{trace, again, trace + ".forged"}};
  on_library_load();
  enable_error_messages(0);
  EXPECT_EQ(set_trace_file((trace + ".missing/trace.log").c_str()), 1u);
  ASSERT_EQ(set_trace_file(trace.c_str()), 0u);
  softunit::Bytes data = {1, 0, 0, 0};
  const CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x05, 4, TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
  const size_t answer = softunit::Unit().respond(header, data.data(), data.size()).data.size();
  {
    softunit::DeviceServer usb(softunit::unit_responder());
    ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, usb.device_path().c_str()), 0u);
    expect_every_command_round_trips(usb);
    std::vector<unsigned char> small(answer - 1);
    uint16_t received = 0;
    EXPECT_EQ(send_command(0x05, data.data(), 4, small.data(), static_cast<uint16_t>(small.size()), &received),
              STATUS_CR_RESPONSE_BUFFER_TOO_SMALL);
    close_interfaces(0);
  }
  on_library_load();

  const std::vector<std::string> lines = file_lines(trace);
  ASSERT_EQ(lines.size(), EFI_COMMAND_COUNT + 1);
  const std::string& drained = lines.back();
  EXPECT_NE(drained.find(" usb command=0x05 sent=12 received=8 status=0x20000005 "), std::string::npos) << drained;
  EXPECT_NE(drained.find(" discarded=" + std::to_string(answer) + " out=CD05000400"), std::string::npos) << drained;

  const CliRun replay = run("replay \"" + trace + "\"");
  EXPECT_EQ(replay.exit_code, 0) << replay.output;
  EXPECT_EQ(replay.lines().back(), std::to_string(lines.size()) + " exchanges in " + trace + ": " +
                                       std::to_string(lines.size() - 1) + " matched, 0 differ, 1 skipped");
  const CliRun refused = run("replay \"" + trace + "\" --sim \"" + test_simulator_path("complete") + "\"");
  EXPECT_EQ(refused.exit_code, 1) << "a simulator that refuses the playback records";
  EXPECT_NE(refused.output.find(" 0 matched, " + std::to_string(lines.size() - 1) + " differ"), std::string::npos);
  // A forged line whose response is larger than its buffer is skipped, not copied into it.
  std::ofstream(trace + ".forged") << "2026-12-06T17:00:00.000001Z usb command=0x07 sent=8 received=28 status=0x0 us=1 "
                                      "discarded=0 out=CD07000000040000: in=CD070014000055AA:" << std::string(40, '7');
  const CliRun forged = run("replay \"" + trace + ".forged\"");
  EXPECT_EQ(forged.exit_code, 1);
  EXPECT_TRUE(forged.has("skipped: the traced response is larger than the traced buffer")) << forged.output;
#if !defined(_WIN32)
  // A program that names no trace writes the one the environment names: here, the replay's own.
  std::string output;
  ASSERT_EQ(run_shell("EFILINK_TRACE=\"" + again + "\" " + program() + "replay \"" + trace + "\"", output), 0)
      << output;
  const std::vector<std::string> replayed = file_lines(again);
  EXPECT_EQ(replayed.size(), lines.size() - 1);
  for (const std::string& line : replayed) EXPECT_NE(line.find(" simulator command="), std::string::npos) << line;
#endif
}

}  // namespace
}  // namespace efi::test
