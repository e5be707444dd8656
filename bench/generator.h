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

// The shape of the registry. Varied: every kind of value, long hex data,
// deep trees of settings. Crowded: shaped like a Windows 9x registry in
// use, where most keys hold one to three short values and very many share
// one parent: classes under CLSID, each with its InProcServer32, file
// types, and devices of 16 instances; about 180 bytes a key.
enum class Profile
{
    Varied,
    Crowded,
};

// Receives the image in pieces; returning false stops the generation.
using ImageSink = std::function<bool(const char*, std::size_t)>;

// Writes an image of at least `size` bytes (and never less than the
// default machine); false when the sink failed.
bool GenerateImage(std::uint64_t seed, std::size_t size, const ImageSink& write,
                   Profile profile = Profile::Varied);

std::string GenerateImage(std::uint64_t seed, std::size_t size, Profile profile = Profile::Varied);

} // namespace bench
