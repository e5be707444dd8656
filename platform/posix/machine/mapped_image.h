// The registry image file stays mapped for the whole run. Should another
// program, ignoring the machine's lock, cut it short meanwhile, reading
// the part it lost raises SIGBUS: the run then ends as a run on an
// unreadable image does, with one line (exit status 0, or 1 under
// WIN95STRICT=1), and the image is not rewritten.
#pragma once

#include "platform/posix/storage/regedit4/image.h"

#include <cstddef>
#include <string>

namespace win95
{

// Maps the `size` bytes of the open image file into `text` and keeps the
// file open, until ReleaseImageMapping, for the save to copy from; false,
// with the cause kept, when it cannot be mapped.
bool MapImageFile(int fd, std::size_t size, ImageText& text);

// Guards the mapping: a read of a part cut off ends the run with the line
// that names the image at `path`.
void GuardImageMapping(std::string_view text, const std::string& path);

// Writes all the bytes; those that are a piece of the mapped image are
// copied by the kernel from the image file.
bool WriteMaybeMapped(int fd, const char* data, std::size_t size);

// Once the new image is written, the old one's pages are of no more use:
// a second thread lets go of them while the new image is flushed. Should
// anything read the mapping after that, it reads the file again.
void LetGoOfImageMapping();

// Waits for that thread, and closes the image file.
void ReleaseImageMapping();

} // namespace win95
