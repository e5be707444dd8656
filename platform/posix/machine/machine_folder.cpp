// The emulated machine folder: registry.reg, the registry image in
// REGEDIT4 text, and drive_c/, its C: drive. A folder without an image
// becomes the built-in default machine.
#include "platform/posix/machine/host_form.h"

#include "platform/posix/machine/mapped_image.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/machine/registry_file.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/regedit4/storage.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace win95
{

extern const unsigned char defaultMachine[];
extern const std::size_t defaultMachineSize;

namespace
{

// Regedit on Windows 2000 and later exports "Windows Registry Editor
// Version 5.00" files, in UTF-16 unless told otherwise; such a file is
// named for what it is rather than for the first thing wrong with it.
const char* ForeignFormat(std::string_view text)
{
    static const char version5[] = "Windows Registry Editor Version 5.00";
    std::string_view start = text.substr(0, 2);
    bool utf16 = start == "\xFF\xFE" || start == "\xFE\xFF";
    std::string narrow;
    for (std::size_t at = 3; utf16 && at < text.size() && narrow.size() < sizeof version5 - 1;
         at += 2)
        narrow += text[start == "\xFF\xFE" ? at - 1 : at];
    if (!utf16)
        narrow = text.substr(0, sizeof version5 - 1);
    if (narrow == version5)
        return utf16 ? "a Unicode registry export (\"Windows Registry Editor Version 5.00\", "
                       "UTF-16), as regedit writes on Windows 2000 and later; this machine reads "
                       "REGEDIT4 images"
                     : "a \"Windows Registry Editor Version 5.00\" export, as regedit writes on "
                       "Windows 2000 and later; this machine reads REGEDIT4 images";
    if (utf16)
        return "UTF-16 text; this machine reads REGEDIT4 images, in 8-bit text";
    return nullptr;
}

class MachineFolder final : public HostFolderForm
{
  public:
    MachineFolder(const std::string& folder, int lock, const std::string& fault)
        : HostFolderForm(lock, folder + "/drive_c"), folder_(folder),
          image_(folder + "/registry.reg")
    {
        registry_ = fault.empty() ? image_ : folder;
        fault_ = fault;
        target_.path = image_;
        target_.temporary = image_ + ".new";
        target_.folder = lock;
    }

    // Finds the file the image is, and makes the default machine where
    // there is none.
    void Take()
    {
        if (!fault_.empty())
            return;
        FollowLink();
        if (!fault_.empty())
            return;
        // A run that ended before its commit may have left its temporary image.
        sys::Unlink(target_.temporary.c_str());
        struct stat entry;
        if (sys::Lstat(image_.c_str(), &entry) != 0 && sys::FailedFor(ENOENT) &&
            !CreateDefaultMachine())
            Complain("%s: cannot create the default machine: %s", image_.c_str(), sys::Reason());
    }

    std::unique_ptr<Storage> ReadRegistry() override
    {
        if (SayFault())
            return nullptr;
        ImageText text;
        if (!MapImage(text))
            return nullptr;
        if (const char* foreign = ForeignFormat(text.View()))
        {
            Complain("%s:1: %s", image_.c_str(), foreign);
            return nullptr;
        }
        GuardImageMapping(text.View(), image_);
        sys::CheckMemory();
        Fault fault;
        ImagePtr image = ReadImage(std::move(text), fault);
        if (!image)
        {
            Complain("%s:%s: %s", image_.c_str(), fault.where.c_str(), fault.what.c_str());
            return nullptr;
        }
        OpenDriveC();
        return std::unique_ptr<Storage>(image.release());
    }

    std::string WindowsDirectory() const override
    {
        return "C:\\WINDOWS";
    }

  private:
    // A link to an image elsewhere is followed: the save replaces the file
    // it links to, so that the link stays. A link to nothing is an error,
    // not a missing image: it often means a disk that is not mounted, and
    // a default machine there would hide that.
    void FollowLink()
    {
        struct stat entry;
        if (sys::Lstat(image_.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode))
            return;
        std::string target = sys::RealPath(image_.c_str());
        if (target.empty())
        {
            fault_ = sys::FailedFor(ENOENT) ? "it is a link to " + sys::ReadLink(image_.c_str()) +
                                                  ", which does not exist"
                                            : sys::Reason();
            return;
        }
        target_.path = target;
        target_.temporary = target_.path + ".new";
        target_.folder = -1;
    }

    // Nothing that is already there is overwritten.
    bool CreateDefaultMachine()
    {
        for (const char* folder : {"/drive_c/WINDOWS/INF", "/drive_c/WINDOWS/SYSTEM"})
            if (!MakeFolders(folder_ + folder))
                return false;
        TerminationHeld held;
        bool written = WriteTemporary(
            target_, [](const WriteSink& write)
            { return write(reinterpret_cast<const char*>(defaultMachine), defaultMachineSize); });
        return written && ReplaceWithTemporary(target_);
    }

    // Reads the whole image at once, as a read-only mapping of the file;
    // the file stays open until the run ends.
    bool MapImage(ImageText& text)
    {
        struct stat info;
        int fd = OpenRegistryFile(registry_, target_, info);
        if (fd < 0)
            return false;
        if (MapImageFile(fd, static_cast<std::size_t>(info.st_size), text))
            return true;
        Complain("%s: cannot read the registry image: %s", image_.c_str(), sys::Reason());
        sys::Close(fd);
        return false;
    }

    std::string folder_;
    std::string image_; // registry.reg
};

} // namespace

std::unique_ptr<MachineForm> MachineFolderForm(const std::string& folder, int lock,
                                               const std::string& fault)
{
    auto form = std::make_unique<MachineFolder>(folder, lock, fault);
    form->Take();
    return form;
}

} // namespace win95
