// The registry image, the REGEDIT4 text storage (storage.h), as the machine
// takes it: its bytes, read and checked once, written back once. Sections
// that a run does not touch are written back byte for byte as they were
// read.
#pragma once

#include "platform/posix/os/fault.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace win95
{

class Image;

struct ImageDeleter
{
    void operator()(Image* image) const;
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

// The bytes of an image: a string, or the image file mapped read-only,
// which spares a large image a copy and the memory faults of a new buffer.
class ImageText
{
  public:
    ImageText(std::string text = {});
    // Maps the first `size` bytes of an open file; false, with the cause
    // for sys::Reason(), when it cannot.
    bool Map(int fd, std::size_t size);
    ImageText(const ImageText&) = delete;
    ImageText& operator=(const ImageText&) = delete;
    ImageText(ImageText&& other) noexcept;
    ImageText& operator=(ImageText&& other) noexcept;
    ~ImageText();

    std::string_view View() const;

  private:
    void Unmap();

    std::string owned_;            // the text, when it is held as a string
    const char* mapped_ = nullptr; // the mapping, when it is mapped
    std::size_t mappedSize_ = 0;
};

// Reads a REGEDIT4 text; null, with `fault` filled (its line number as the
// place), when it is not a valid image.
ImagePtr ReadImage(ImageText text, Fault& fault);

} // namespace win95
