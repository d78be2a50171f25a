#include "image_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace usb {
namespace {

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12) + seed);
  return bytes;
}

// Appends `whole` in odd-sized pieces, so that pieces straddle every
// growth of the mapping.
ImageBytes TakeInPieces(const Bytes &whole) {
  ImageBytes image;
  for (std::size_t offset = 0; offset < whole.size();) {
    const std::size_t piece = std::min<std::size_t>(1021, whole.size() - offset);
    image.Append(std::span(whole).subspan(offset, piece));
    offset += piece;
  }
  return image;
}

// Images larger than several mappings keep every byte through growth, copy,
// move and trimming; an image built in a mapping an earlier image gave back
// holds only its own bytes.
TEST(ImageBytesTest, KeepsEveryByteThroughGrowthCopyMoveAndReuse) {
  const Bytes first = Pattern(5 * 1024 * 1024 + 17, 1);
  {
    ImageBytes image = TakeInPieces(first);
    ASSERT_EQ(image.size(), first.size());
    EXPECT_TRUE(image == first);
    image.ShrinkToFit();
    const ImageBytes copy = image;
    EXPECT_TRUE(copy == first);
    ImageBytes moved = std::move(image);
    EXPECT_TRUE(moved == first);
    EXPECT_TRUE(image.empty());
  }
  const Bytes second = Pattern(3000, 7);
  const ImageBytes reused = TakeInPieces(second);
  EXPECT_EQ(reused.size(), second.size());
  EXPECT_TRUE(reused == second);
  EXPECT_FALSE(reused == first);
  EXPECT_TRUE(ImageBytes() == Bytes());
}

}  // namespace
}  // namespace usb
