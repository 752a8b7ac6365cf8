// The simulator library through the shared library's exports, as a host uses it: short buffers,
// and playback records answering ahead of the model. The host's demo test sends every command
// through it and checks each answer against the model.
#include <gtest/gtest.h>

#include "playback.h"
#include "test_support.h"
#include "unit.h"

namespace softunit {
namespace {

class SimulatorLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.loaded());
    library.set_message_handler(efi::test::MessageLog::handler, &log);
    ASSERT_EQ(library.initialize(EFI_FLAG_SIMULATOR, text.c_str()), 0u) << text;
  }
  void TearDown() override {
    library.close(0);
    EXPECT_TRUE(log.messages.empty());
  }

  uint32_t send(uint8_t command, Bytes data, uint16_t capacity = TS_MAX_TRANSFERSTRUCTS_SIZE) {
    response.assign(capacity, 0);
    received = 0;
    return library.send_command(command, data.empty() ? nullptr : data.data(), static_cast<uint16_t>(data.size()),
                                response.data(), capacity, &received);
  }
  uint32_t append(const Bytes& block) {
    return library.append_playback(block.data(), static_cast<uint32_t>(block.size()));
  }
  Bytes received_bytes() const { return Bytes(response.begin(), response.begin() + received); }

  // Command 0x07, which has no response layout, gets the model's answer.
  void expect_model_answer() {
    const CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x07, 0, TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
    ASSERT_EQ(send(0x07, {}), 0u);
    EXPECT_EQ(received_bytes(), Unit().respond(header, nullptr, 0).data);
  }

  efi::test::HostLibrary library;
  efi::test::MessageLog log;
  std::string text = std::string("@").append(efi::test::module_path(EFI_SIMULATOR_FILE));
  std::vector<unsigned char> response;
  uint16_t received = 0;
};

TEST_F(SimulatorLibrary, ABufferTooSmallGetsWhatFits) {
  const Bytes data = well_formed_command_data(0x0F);
  const CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x0F, 0, 100, 0};
  const Response whole = Unit().respond(header, nullptr, 0);
  ASSERT_GT(whole.data.size(), 100u);
  ASSERT_EQ(send(0x0F, data, 100), 0u);
  EXPECT_EQ(received, 100);
  // Past the TS_A0 descriptor and its elements word, the first 100 bytes of the whole answer.
  EXPECT_EQ(Bytes(response.begin() + 8, response.end()), Bytes(whole.data.begin() + 8, whole.data.begin() + 100));
}

Response record(uint16_t code, Bytes data) {
  return {{code, static_cast<uint16_t>(data.size()), 0, EFI_RESPONSE_MARKER}, std::move(data)};
}

Bytes block_of(std::initializer_list<Response> records) {
  Bytes block;
  for (const Response& r : records) {
    const Bytes bytes = playback_record(r);
    block.insert(block.end(), bytes.begin(), bytes.end());
  }
  return block;
}

TEST_F(SimulatorLibrary, PlaybackAnswersTheNextCommandsInOrderThenTheModelAgain) {
  const Bytes first = block_of({record(0x1111, {1, 2, 3}), record(0x2222, {})});
  // A TS_A0 answer: two 2-byte elements, which the library places like any response.
  const Bytes second = block_of({record(0x3333, {2, 0, 2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xA1, 0xA2, 0xB1, 0xB2})});
  ASSERT_EQ(append(first), 0u);
  ASSERT_EQ(append(second), 0u);

  ASSERT_EQ(send(0x07, {}), 0u);
  EXPECT_EQ(received_bytes(), (Bytes{1, 2, 3}));
  ASSERT_EQ(send(0x07, {}), 0u);
  EXPECT_EQ(received, 0);
  ASSERT_EQ(send(0x0C, {}), 0u);
  ASSERT_EQ(received, 12);
  EXPECT_EQ(EfiArrayElements(response.data(), 0), response.data() + 8);
  EXPECT_EQ(Bytes(response.begin() + 8, response.begin() + 12), (Bytes{0xA1, 0xA2, 0xB1, 0xB2}));

  expect_model_answer();
}

TEST_F(SimulatorLibrary, MalformedPlaybackIsRejectedAndNothingIsAppended) {
  const Bytes good = block_of({record(0x1111, {9, 9})});
  Bytes bad_marker = block_of({record(0x1111, {9, 9}), record(0x2222, {8})});
  bad_marker[good.size() + 6] = 0x00;
  Bytes data_cut = block_of({record(0x1111, {9, 9}), record(0x2222, {1, 2, 3, 4})});
  data_cut.pop_back();
  Bytes header_cut = good;
  header_cut.insert(header_cut.end(), {0x11, 0x11, 0x00, 0x00, 0xAA});
  // A bad marker in the second record, more data than a transfer holds, data or a header cut short.
  for (const Bytes& block : {bad_marker, block_of({record(0x1111, Bytes(TS_MAX_TRANSFERSTRUCTS_SIZE + 1, 0))}),
                             data_cut, header_cut}) {
    EXPECT_NE(append(block), 0u);
    expect_model_answer();
  }
  EXPECT_NE(library.append_playback(nullptr, 8), 0u);
  EXPECT_EQ(library.append_playback(nullptr, 0), 0u);
  expect_model_answer();
}

TEST_F(SimulatorLibrary, AStartForgetsQueuedPlayback) {
  ASSERT_EQ(append(block_of({record(0x1111, {1})})), 0u);
  ASSERT_EQ(library.initialize(EFI_FLAG_SIMULATOR, text.c_str()), 0u);
  expect_model_answer();
}

}  // namespace
}  // namespace softunit
