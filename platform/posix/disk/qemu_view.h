// Disk images kept in the formats of QEMU's block layer (qcow2, with or
// without a backing file, VDI, VMDK, dynamic and differencing VHD, VHDX),
// seen as one plain raw disk: qemu-storage-daemon exports the image
// through FUSE as a file in a private folder, which the disk code then
// reads and writes as it does a raw image. The daemon writes only the
// image itself (an overlay, never its backing file), and flushes it when
// it stops. It is tied to this process: should the process die, even by
// SIGKILL, the daemon is sent SIGTERM, unmounts the view and ends, and
// only the empty private folder is left.
#pragma once

#include "platform/posix/os/fault.h"

#include <memory>
#include <string>
#include <sys/types.h>

namespace win95
{

// QEMU's name of the image's format, told from its contents ("qcow2",
// "vdi", "vmdk", "vpc", "vhdx"), or "" for what is read directly: a raw
// disk, a bare partition or a fixed VHD.
std::string QemuFormatOf(int fd, off_t size);

class QemuView
{
  public:
    // Exports the image; null, with `fault` naming what is missing or
    // what QEMU said, when it cannot.
    static std::unique_ptr<QemuView> Start(const std::string& image, const std::string& format,
                                           Fault& fault);
    ~QemuView();
    QemuView(const QemuView&) = delete;
    QemuView& operator=(const QemuView&) = delete;

    // The raw view of the disk.
    const std::string& Path() const;
    // Ends the export, which writes out what the image holds; false, with
    // `fault`, when the daemon did not end cleanly.
    bool Stop(Fault& fault);

  private:
    QemuView(std::string image, std::string folder, pid_t daemon);
    bool Exported(const std::string& what, Fault& fault);

    std::string image_;  // the image's host path
    std::string folder_; // the private folder holding the view
    std::string view_;
    pid_t daemon_;
};

} // namespace win95
