// Realistic registry images of any size, for the benchmark and the tests:
// REGEDIT4 text with CRLF line ends, holding the default machine's keys
// and, around them, device trees, classes, software settings, drivers and
// printers, with every kind of value. The same seed and size give the
// same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bench
{

// Receives the image in pieces; returning false stops the generation.
using ImageSink = std::function<bool(const char*, std::size_t)>;

// Writes an image of at least `size` bytes (and never less than the
// default machine); false when the sink failed.
bool GenerateImage(std::uint64_t seed, std::size_t size, const ImageSink& write);

std::string GenerateImage(std::uint64_t seed, std::size_t size);

} // namespace bench
