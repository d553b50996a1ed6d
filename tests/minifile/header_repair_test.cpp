// The headers a damaged container could have had: one flipped bit is put back
// exactly, more are never taken for one, and the guesses keep the stored key.
#include "minifile/header_repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "common/le.h"

namespace tl {
namespace {

std::vector<uint8_t> SoundHeader(const CreationParameters& p) {
  std::vector<uint8_t> h(kHeaderSize);
  MiniFileInitHeaderWith(h.data(), p);
  return h;
}

bool HasGuess(const std::vector<HeaderCandidate>& c, HeaderGuess guess) {
  for (const HeaderCandidate& x : c) {
    if (x.guess == guess) return true;
  }
  return false;
}

TEST(HeaderRepairTest, EverySingleFlippedBitIsPutBackExactly) {
  for (const CreationParameters& p : {kCommitCreationParameters, kDefaultCreationParameters}) {
    const std::vector<uint8_t> sound = SoundHeader(p);
    for (uint32_t byte = 0; byte < kHeaderCrcOffset + 4; ++byte) {
      for (int bit = 0; bit < 8; ++bit) {
        SCOPED_TRACE("byte " + std::to_string(byte) + " bit " + std::to_string(bit));
        std::vector<uint8_t> damaged = sound;
        damaged[byte] ^= static_cast<uint8_t>(1u << bit);
        const std::vector<HeaderCandidate> c = HeaderCandidates(damaged.data());
        ASSERT_FALSE(c.empty());
        ASSERT_EQ(c[0].guess, HeaderGuess::kOneBitRepaired);
        EXPECT_EQ(c[0].repaired_byte, byte);
        EXPECT_EQ(c[0].repaired_mask, 1u << bit);
        EXPECT_EQ(std::memcmp(c[0].header, sound.data(), kHeaderSize), 0);
      }
    }
  }
}

TEST(HeaderRepairTest, TwoOrThreeFlippedBitsAreNeverTakenForOne) {
  const std::vector<uint8_t> sound = SoundHeader(kCommitCreationParameters);
  std::mt19937 random(7);
  std::uniform_int_distribution<uint32_t> bit_of(0, 8 * (kHeaderCrcOffset + 4) - 1);
  for (int flips : {2, 3}) {
    for (int trial = 0; trial < 1500; ++trial) {
      std::vector<uint8_t> damaged = sound;
      std::vector<uint32_t> bits;
      while (static_cast<int>(bits.size()) < flips) {
        const uint32_t b = bit_of(random);
        if (std::find(bits.begin(), bits.end(), b) == bits.end()) bits.push_back(b);
      }
      for (uint32_t b : bits) damaged[b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
      SCOPED_TRACE(std::to_string(flips) + " bits, trial " + std::to_string(trial));
      EXPECT_FALSE(HasGuess(HeaderCandidates(damaged.data()), HeaderGuess::kOneBitRepaired));
    }
  }
}

TEST(HeaderRepairTest, GuessesKeepTheStoredKeyAndComeInOrder) {
  const std::vector<uint8_t> sound = SoundHeader(CreationParameters{20, 1024, 16, 4, 0});
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>&);
    std::vector<HeaderGuess> guesses;
  };
  const Case cases[] = {
      {"sound", [](std::vector<uint8_t>&) {}, {HeaderGuess::kAsStored}},
      // The check value wiped: the stored counts still lie inside the format.
      {"check value zeroed",
       [](std::vector<uint8_t>& h) { StoreU32(h.data(), kHeaderCrcOffset, 0); },
       {HeaderGuess::kStoredGeometry, HeaderGuess::kCommitGeometry, HeaderGuess::kDefaultGeometry}},
      // Counts outside the format: only the two creation geometries remain.
      {"counts zeroed",
       [](std::vector<uint8_t>& h) { std::memset(h.data() + kHeaderTableEntriesOffset, 0, 12); },
       {HeaderGuess::kCommitGeometry, HeaderGuess::kDefaultGeometry}},
      {"magic and version wiped",
       [](std::vector<uint8_t>& h) { std::memset(h.data(), 0xFF, 8); },
       {HeaderGuess::kStoredGeometry, HeaderGuess::kCommitGeometry, HeaderGuess::kDefaultGeometry}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> damaged = sound;
    c.damage(damaged);
    const std::vector<HeaderCandidate> found = HeaderCandidates(damaged.data());
    ASSERT_EQ(found.size(), c.guesses.size());
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].guess, c.guesses[i]);
      EXPECT_EQ(MiniFileCheckHeader(found[i].header), 1);
      EXPECT_EQ(std::memcmp(found[i].header + kHeaderTextOffset, sound.data() + kHeaderTextOffset,
                            kHeaderTextSize + kHeaderKeySize),
                0);
    }
    if (found[0].guess == HeaderGuess::kStoredGeometry) {
      EXPECT_EQ(std::memcmp(found[0].header, sound.data(), kHeaderSize), 0);
    }
  }
}

TEST(HeaderRepairTest, AGuessThatRepeatsAnotherIsLeftOut) {
  // Stored counts equal to the commit's: the commit's guess would repeat them.
  std::vector<uint8_t> damaged = SoundHeader(kCommitCreationParameters);
  StoreU32(damaged.data(), kHeaderCrcOffset, 0);
  const std::vector<HeaderCandidate> found = HeaderCandidates(damaged.data());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].guess, HeaderGuess::kStoredGeometry);
  EXPECT_EQ(found[1].guess, HeaderGuess::kDefaultGeometry);
}

}  // namespace
}  // namespace tl
