// A disk image's FAT file system reached through mtools: each operation
// runs one of its programs on the partition in use, named as
// /proc/self/fd/N@@offset so that it reaches the very image file we opened
// and locked, with only our own settings (MTOOLSRC=/dev/null).
#pragma once

#include "platform/posix/disk/disk_image.h"
#include "platform/posix/disk/listing.h"
#include "platform/posix/disk/qemu_view.h"
#include "platform/posix/os/child.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace win95
{

class MtoolsImage final : public DiskImage
{
  public:
    // The image open as `fd`, named `name` in messages.
    MtoolsImage(int fd, std::string name);
    ~MtoolsImage() override;

    // Reads and writes go from now on to the raw view, open as `raw`, of
    // an image in one of QEMU's formats; the image stays open and locked.
    void ReadThrough(std::unique_ptr<QemuView> view, int raw);
    // Chooses the partition at `offset` bytes into the image, `bytes` long.
    void Use(std::uint64_t offset, std::uint64_t bytes);

    bool Exists(const std::string& dosPath, Fault& fault) override;
    bool IsFolder(const std::string& dosPath, Fault& fault) override;
    bool List(const std::string& dosFolder, std::vector<std::string>& names, Fault& fault) override;
    bool ReadFile(const std::string& dosPath, std::string& bytes, Fault& fault) override;
    bool CreateFile(const std::string& dosPath, const std::string& bytes, Fault& fault) override;
    bool CreateFileFrom(const std::string& dosPath, int content, Fault& fault) override;
    bool RoomFor(std::uint64_t bytes, Fault& fault) override;
    bool Rename(const std::string& from, const std::string& to, Fault& fault) override;
    bool Remove(const std::string& dosPath, Fault& fault) override;
    bool GetAttributes(const std::string& dosPath, unsigned& attributes, Fault& fault) override;
    bool SetAttributes(const std::string& dosPath, unsigned attributes, Fault& fault) override;
    bool Flush(Fault& fault) override;

  private:
    bool Fail(Fault& fault, const std::string& message);
    bool Path(const std::string& dosPath, std::string& path, Fault& fault);
    bool Probe(const std::string& path, const char* suffix, Fault& fault);
    const Listing* Entries(const std::string& folder, bool& missing, Fault& fault);
    bool Look(const std::string& dosPath, bool folder, Fault& fault);
    bool Absent(const std::string& dosPath, Fault& fault);
    bool ReadsBack(const std::string& dosPath, int content, Fault& fault);
    bool Succeeded(const ChildOutput& child, Fault& fault);
    bool Tool(std::vector<std::string> args, int shared, ChildOutput& child, Fault& fault,
              int output = -1);

    int fd_;
    std::unique_ptr<QemuView> view_; // the raw view, for an image in one of QEMU's formats
    int imageFd_ = -1;               // that image, open and locked
    std::string name_;
    std::string drive_;
    std::vector<std::string> environment_;
    std::uint64_t end_ = 0; // the byte after the partition in use
    Listings listings_;
    bool written_ = false; // since the last flush
};

} // namespace win95
