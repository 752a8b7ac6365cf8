// The shared library as a host loads it: exported names, and the documented results of the
// exports on a freshly loaded library.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"

extern "C" uint32_t efi_c_pointer_word_round_trip(void);

namespace efi::test {
namespace {

std::string read_file(const char* path) {
  std::stringstream text;
  text << std::ifstream(std::string(EFI_SOURCE_DIR) + path).rdbuf();
  return text.str();
}

TEST(Exports, DefinitionFileListsExactlyTheHeaderExports) {
  const std::string header = read_file("/include/efilink/efilink.h");
  std::set<std::string> declared, listed;
  const std::regex declaration(R"(EFI_API\s+[A-Za-z_0-9]+\s+([A-Za-z_0-9]+)\s*\()");
  for (auto it = std::sregex_iterator(header.begin(), header.end(), declaration); it != std::sregex_iterator(); ++it)
    declared.insert((*it)[1]);
  ASSERT_EQ(declared.size(), 19u);
  std::istringstream def(read_file("/src/efilink.def"));
  std::string word;
  while (def >> word && word != "EXPORTS") continue;
  while (def >> word) listed.insert(word);
  EXPECT_EQ(listed, declared);
}

TEST(Exports, HeaderIsValidCAndItsPointerWordHelpersAgree) {
  // Element area at offset 20, word for a descriptor at 86 sits at 92.
  EXPECT_EQ(efi_c_pointer_word_round_trip(), 20u + 92u);
  unsigned char structure[16] = {};
  EfiSetArrayElements(structure, 0, structure + 8);
  EXPECT_EQ(EfiArrayElements(structure, 0), structure + 8);
  EXPECT_EQ(EfiArrayPointerWordOffset(0), 4u);
  EXPECT_EQ(EfiArrayPointerWordOffset(2), 8u);
  EXPECT_EQ(EfiArrayPointerWordOffset(4), 8u);
  // 64-bit hosts keep the offset from the structure, 32-bit hosts the address.
  uint32_t word;
  std::memcpy(&word, structure + 4, 4);
  EXPECT_EQ(word, sizeof(void*) > 4 ? 8u : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(structure + 8)));
}

// Without a link every export answers as documented; the one message goes to the handler unless
// suppressed through EnableErrorMessages.
TEST(FreshLibrary, ExportsWithoutALinkAnswerAsDocumented) {
  HostLibrary library;
  ASSERT_TRUE(library.loaded());
  MessageLog log;
  library.set_message_handler(MessageLog::handler, &log);
  EXPECT_EQ(library.close(EFI_CLOSE_ALL_PORTS), 1u);
  EXPECT_EQ(library.connect(), 1u);
  EXPECT_EQ(library.append_playback("x", 1), 1u);
  EXPECT_EQ(library.update_runtime_options(), 0u);
  EXPECT_EQ(library.initialize(0, nullptr), 1u);

  unsigned char data[4] = {1, 0, 0, 0};
  unsigned char response[8];
  uint16_t received = 0x1234;
  library.enable_error_messages(0);
  EXPECT_EQ(library.send_command(5, data, 4, response, 8, &received), STATUS_CR_NOT_INITIALIZED);
  EXPECT_TRUE(log.messages.empty());
  library.enable_error_messages(1);
  EXPECT_EQ(library.send_command(5, data, 4, response, 8, &received), STATUS_CR_NOT_INITIALIZED);
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0].title, "ERROR!");
  EXPECT_EQ(log.messages[0].text, "EfiSendCommand Error ! No interface initialized");
  EXPECT_EQ(received, 0x1234);
  EXPECT_EQ(data[0], 1);
}

}  // namespace
}  // namespace efi::test
