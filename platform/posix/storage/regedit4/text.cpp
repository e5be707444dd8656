// The bytes of an image: a string, or its file mapped read-only.
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/regedit4/image.h"

namespace win95
{

ImageText::ImageText(std::string text) : owned_(std::move(text)) {}

bool ImageText::Map(int fd, std::size_t size)
{
    void* mapping = sys::Map(fd, size);
    if (mapping == nullptr)
        return false;
    Unmap();
    owned_.clear();
    mapped_ = static_cast<const char*>(mapping);
    mappedSize_ = size;
    return true;
}

ImageText::ImageText(ImageText&& other) noexcept
    : owned_(std::move(other.owned_)), mapped_(other.mapped_), mappedSize_(other.mappedSize_)
{
    other.mapped_ = nullptr;
    other.mappedSize_ = 0;
}

ImageText& ImageText::operator=(ImageText&& other) noexcept
{
    if (this != &other)
    {
        Unmap();
        owned_ = std::move(other.owned_);
        mapped_ = other.mapped_;
        mappedSize_ = other.mappedSize_;
        other.mapped_ = nullptr;
        other.mappedSize_ = 0;
    }
    return *this;
}

ImageText::~ImageText()
{
    Unmap();
}

std::string_view ImageText::View() const
{
    return mapped_ != nullptr ? std::string_view(mapped_, mappedSize_) : std::string_view(owned_);
}

void ImageText::Unmap()
{
    if (mapped_ != nullptr)
        sys::Unmap(const_cast<char*>(mapped_), mappedSize_);
    mapped_ = nullptr;
    mappedSize_ = 0;
}

} // namespace win95
