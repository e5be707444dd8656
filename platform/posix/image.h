// The registry image: a REGEDIT4 text held in memory as a tree of keys.
// Sections that a run does not touch are written back byte for byte as
// they were read.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace win95
{

class Image;

struct ImageError
{
    std::size_t line = 0; // 1-based line of the fault
    std::string what;     // what is wrong, in a few words
};

struct ImageDeleter
{
    void operator()(Image* image) const;
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

// Reads a REGEDIT4 text; null, with `error` filled, when it is not a valid image.
ImagePtr ReadImage(std::string text, ImageError& error);

// True once the registry has been changed since it was read.
bool ImageChanged(const Image& image);

// Writes the image out in pieces; stops and returns false as soon as `write` does.
bool WriteImage(const Image& image, const std::function<bool(const char*, std::size_t)>& write);

} // namespace win95
