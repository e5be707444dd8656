#include "platform/posix/disk/qemu_view.h"

#include "platform/posix/disk/partitions.h"
#include "platform/posix/os/child.h"
#include "platform/posix/os/sys.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace win95
{
namespace
{

bool Starts(const unsigned char* head, std::size_t got, const char* text)
{
    const std::size_t length = std::strlen(text);
    return got >= length && std::memcmp(head, text, length) == 0;
}

// A JSON string holding the text.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            quoted += {'\\', c};
        else if (byte < 0x20)
        {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        }
        else
            quoted += c;
    }
    return quoted + "\"";
}

// The folder for the view: the user's runtime folder where there is one.
std::string PrivateFolder()
{
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    struct stat info;
    if (base == nullptr || *base != '/' || sys::Stat(base, &info) != 0 || !S_ISDIR(info.st_mode))
        base = std::getenv("TMPDIR");
    if (base == nullptr || *base != '/')
        base = "/tmp";
    std::string folder = std::string(base) + "/tavrine-view.XXXXXX";
    return sys::MakeTempFolder(folder) ? folder : "";
}

bool Mounted(const std::string& view, const std::string& folder)
{
    struct stat file;
    struct stat above;
    return sys::Stat(view.c_str(), &file) == 0 && sys::Stat(folder.c_str(), &above) == 0 &&
           file.st_dev != above.st_dev;
}

// The first line the daemon wrote to its standard error, without QEMU's
// own program prefix.
std::string FirstLine(const std::string& path)
{
    std::string text;
    const int fd = sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        char buffer[512];
        const ssize_t got = sys::Read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.assign(buffer, static_cast<std::size_t>(got));
        sys::Close(fd);
    }
    text = text.substr(0, text.find('\n'));
    const std::string prefix = "qemu-storage-daemon: ";
    if (text.compare(0, prefix.size(), prefix) == 0)
        text.erase(0, prefix.size());
    // An error about one of its options starts with that option's text.
    const std::size_t option = text.rfind("}: ");
    if (text.compare(0, 2, "--") == 0 && option != std::string::npos)
        text.erase(0, option + 3);
    return text;
}

} // namespace

std::string QemuFormatOf(int fd, off_t size)
{
    unsigned char head[512] = {};
    const ssize_t read = size > 0 ? sys::ReadAt(fd, head, sizeof head, 0) : 0;
    const std::size_t got = read > 0 ? static_cast<std::size_t>(read) : 0;
    if (Starts(head, got, "QFI\xfb"))
        return "qcow2";
    if (got >= 0x44 && std::memcmp(head + 0x40, "\x7f\x10\xda\xbe", 4) == 0)
        return "vdi";
    if (Starts(head, got, "KDMV") || Starts(head, got, "COWD") ||
        Starts(head, got, "# Disk DescriptorFile"))
        return "vmdk";
    if (Starts(head, got, "vhdxfile"))
        return "vhdx";
    // A dynamic or differencing VHD starts with a copy of its footer; a
    // fixed one has its footer only at its end.
    if (Starts(head, got, "conectix") && got >= 0x40)
    {
        const std::uint32_t type = Be32(head + 0x3C);
        if (type == 3 || type == 4)
            return "vpc";
    }
    return "";
}

std::unique_ptr<QemuView> QemuView::Start(const std::string& image, const std::string& format,
                                          Fault& fault)
{
    const std::string what = "this disk image is in " + format + " format, ";
    struct stat fuse;
    if (sys::Stat("/dev/fuse", &fuse) != 0 || !S_ISCHR(fuse.st_mode) ||
        sys::Access("/dev/fuse", R_OK | W_OK) != 0)
    {
        fault = {image, what + "which needs FUSE, and there is no /dev/fuse this user may open "
                               "(is the fuse module loaded?)"};
        return nullptr;
    }
    const std::string folder = PrivateFolder();
    if (folder.empty())
    {
        fault = {image, "cannot make a folder for the view of the disk image: " +
                            std::string(sys::Reason())};
        return nullptr;
    }
    const std::string view = folder + "/disk";
    const int mountpoint = sys::Open(view.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (mountpoint >= 0)
        sys::Close(mountpoint);
    const std::string file =
        "{\"driver\":\"file\",\"node-name\":\"file\",\"filename\":" + Quoted(image) +
        ",\"locking\":\"off\"}";
    const std::string disk =
        "{\"driver\":" + Quoted(format) + ",\"node-name\":\"disk\",\"file\":\"file\"}";
    const std::string exported = "{\"type\":\"fuse\",\"id\":\"view\",\"node-name\":\"disk\","
                                 "\"mountpoint\":" +
                                 Quoted(view) + ",\"writable\":true}";
    // setpriv ties the daemon's life to this process's.
    ChildSetup setup;
    setup.args = {"setpriv",    "--pdeathsig", "TERM",       "--", "qemu-storage-daemon",
                  "--blockdev", file,          "--blockdev", disk, "--export",
                  exported};
    setup.errorFile = folder + "/errors";
    const pid_t daemon = StartChild(setup);
    std::unique_ptr<QemuView> started(new QemuView(image, folder, daemon));
    if (daemon < 0)
    {
        fault = {image, what + "and setpriv cannot be started: " + sys::Reason()};
        return nullptr;
    }
    if (!started->Exported(what, fault))
        return nullptr;
    return started;
}

// The daemon mounts the view once it exports the image, or ends with what
// kept it from doing so on its error output.
bool QemuView::Exported(const std::string& what, Fault& fault)
{
    for (int waited = 0; waited < 15000; waited += 10)
    {
        if (Mounted(view_, folder_))
            return true;
        int status = 0;
        if (sys::WaitPid(daemon_, &status, WNOHANG) == daemon_)
        {
            daemon_ = -1;
            const std::string said = FirstLine(folder_ + "/errors");
            if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
                fault = {image_, what + "which needs qemu-storage-daemon (Debian package "
                                        "qemu-system-common), and it is not installed"};
            else if (said.find("\" lock") != std::string::npos)
                fault = {image_,
                         "the disk image (or its backing file) is in use by another program: " +
                             said};
            else
                fault = {image_, what + "and qemu-storage-daemon cannot export it: " + said};
            return false;
        }
        sys::Sleep(10);
    }
    fault = {image_, what + "and qemu-storage-daemon did not export it within 15 seconds"};
    return false;
}

QemuView::QemuView(std::string image, std::string folder, pid_t daemon)
    : image_(std::move(image)), folder_(std::move(folder)), view_(folder_ + "/disk"),
      daemon_(daemon)
{
}

QemuView::~QemuView()
{
    Fault ignored;
    Stop(ignored);
}

const std::string& QemuView::Path() const
{
    return view_;
}

bool QemuView::Stop(Fault& fault)
{
    bool clean = true;
    if (daemon_ > 0)
    {
        // Unless it ends, and ends cleanly, what it holds may not be written.
        int status = 0;
        if (sys::Kill(daemon_, SIGTERM) != 0 || sys::WaitPid(daemon_, &status, 0) < 0)
        {
            fault = {image_, std::string("cannot stop qemu-storage-daemon: ") + sys::Reason()};
            clean = false;
        }
        else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        {
            fault = {image_,
                     "qemu-storage-daemon did not end cleanly: " + FirstLine(folder_ + "/errors")};
            clean = false;
        }
        daemon_ = -1;
    }
    if (!folder_.empty())
    {
        sys::Unlink((folder_ + "/errors").c_str());
        sys::Unlink(view_.c_str());
        sys::Rmdir(folder_.c_str());
        folder_.clear();
    }
    return clean;
}

} // namespace win95
