#include "bench/generator.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace bench
{

namespace
{

// splitmix64: small, and the same sequence on every platform and compiler.
class Random
{
  public:
    explicit Random(std::uint64_t seed) : state(seed) {}

    std::uint64_t Next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    unsigned Below(unsigned bound)
    {
        return static_cast<unsigned>(Next() % bound);
    }

    unsigned Between(unsigned low, unsigned high)
    {
        return low + Below(high - low + 1);
    }

    bool Chance(unsigned percent)
    {
        return Below(100) < percent;
    }

    template <typename T, std::size_t N> const T& Pick(const T (&items)[N])
    {
        return items[Below(N)];
    }

  private:
    std::uint64_t state;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

using Bytes = std::vector<unsigned char>;

// The bytes of a text with its terminating zero, as REG_SZ and REG_EXPAND_SZ hold it.
Bytes TextBytes(const std::string& text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

Bytes MultiText(const std::vector<std::string>& texts)
{
    Bytes bytes;
    for (const std::string& text : texts)
    {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

// Formats REGEDIT4 text as regedit writes it and hands it on in large pieces.
class Writer
{
  public:
    explicit Writer(const ImageSink& sink) : sink(sink)
    {
        text.reserve(flushSize + 4096);
        Verbatim("REGEDIT4\n");
    }

    std::size_t Size() const
    {
        return flushed + text.size();
    }

    // Ends the image; false when the sink failed on the way.
    bool Finish()
    {
        text += "\r\n";
        Flush();
        return ok;
    }

    // Text written as it stands, each line feed becoming CR LF.
    void Verbatim(const char* lines)
    {
        for (; *lines != '\0'; ++lines)
        {
            if (*lines == '\n')
                text += '\r';
            text += *lines;
        }
    }

    // Starts a section; a comment, when given, stands on its own line above it.
    void Key(const std::string& path, const std::string& comment = "")
    {
        if (text.size() >= flushSize)
            Flush();
        text += "\r\n";
        if (!comment.empty())
            Comment(comment);
        text += '[';
        text += path;
        text += "]\r\n";
    }

    void Comment(const std::string& comment)
    {
        text += "; ";
        text += comment;
        text += "\r\n";
    }

    void String(const std::string& name, const std::string& value)
    {
        Name(name);
        text += '"';
        Escaped(value);
        text += "\"\r\n";
    }

    void Dword(const std::string& name, std::uint32_t value)
    {
        Name(name);
        text += Format("dword:%08x\r\n", value);
    }

    // REG_BINARY as "hex:", every other type as "hex(type):", wrapped as
    // regedit wraps long lines.
    void Hex(const std::string& name, unsigned type, const Bytes& bytes)
    {
        std::size_t lineStart = text.size();
        Name(name);
        text += type == 3 ? std::string("hex:") : Format("hex(%x):", type);
        static const char digits[] = "0123456789abcdef";
        for (std::size_t at = 0; at < bytes.size(); ++at)
        {
            text += digits[bytes[at] >> 4];
            text += digits[bytes[at] & 15];
            if (at + 1 == bytes.size())
                break;
            text += ',';
            if (text.size() - lineStart > 76)
            {
                text += "\\\r\n  ";
                lineStart = text.size() - 2;
            }
        }
        text += "\r\n";
    }

  private:
    static constexpr std::size_t flushSize = 1 << 20;

    void Name(const std::string& name)
    {
        if (name.empty())
        {
            text += '@';
        }
        else
        {
            text += '"';
            Escaped(name);
            text += '"';
        }
        text += '=';
    }

    void Escaped(const std::string& value)
    {
        for (char c : value)
        {
            if (c == '\\' || c == '"')
                text += '\\';
            text += c;
        }
    }

    void Flush()
    {
        if (ok && !text.empty())
            ok = sink(text.data(), text.size());
        flushed += text.size();
        text.clear();
    }

    const ImageSink& sink;
    std::string text;        // formatted and not yet handed on
    std::size_t flushed = 0; // bytes handed on so far
    bool ok = true;          // the sink has taken every piece
};

struct Maker
{
    const char* name;   // as shown in descriptions and key names
    const char* prefix; // the start of its file names
};

const Maker makers[] = {
    {"Arvell", "ARV"},
    {"Brisco", "BRI"},
    {"Calder", "CAL"},
    {"Dunmore", "DUN"},
    {"Elwick", "ELW"},
    {"Fennmark", "FEN"},
    {"Garrow", "GAR"},
    {"Halvard", "HAL"},
    {"Jessop", "JES"},
    {"Kelmarsh", "KEL"},
    {"Lindqvist", "LIN"},
    {"Morrow", "MOR"},
    {"Norcastle", "NOR"},
    {"Pellworth", "PEL"},
    {"Quarrie", "QUA"},
    {"Rosslyn", "ROS"},
    {"Wexcombe", "WEX"},
    {"Zennor", "ZEN"},
    {"Sj\xF6"
     "berg",
     "SJO"},
    {"Br\xE5then", "BRA"},
};

constexpr unsigned makerCount = sizeof makers / sizeof makers[0];

struct DeviceKind
{
    const char* deviceClass; // the "Class" value and the driver key's class
    const char* description; // the end of "DeviceDesc"
    const char* inf;         // the start of the setup file's name
};

const DeviceKind deviceKinds[] = {
    {"Net", "Network Adapter", "NET"},        {"MEDIA", "Sound System", "WAVE"},
    {"Modem", "Data Fax Modem", "MDM"},       {"SCSIAdapter", "SCSI Host Adapter", "SCSI"},
    {"Display", "Display Adapter", "DISP"},   {"Keyboard", "Enhanced Keyboard", "KBD"},
    {"Mouse", "Serial Mouse", "MOUSE"},       {"hdc", "IDE Controller", "HDC"},
    {"fdc", "Floppy Disk Controller", "FDC"}, {"Ports", "Communications Port", "PORTS"},
    {"System", "System Timer", "MACHINE"},    {"Monitor", "Colour Monitor", "MONITOR"},
};

const char* const products[] = {"Ledger", "Sketch",  "Atlas",  "Scribe", "Tally",   "Harbour",
                                "Beacon", "Compass", "Quarry", "Mosaic", "Lantern", "Meridian"};

const char* const nouns[] = {"Document", "Chart", "Picture", "Viewer",  "Control",
                             "Toolbar",  "Font",  "Player",  "Storage", "Filter"};

const char* const printerSeries[] = {"Laserline",   "Inkwell", "Pagecraft",
                                     "Colorstream", "Dotline", "Quillpress"};

const char* const printerPorts[] = {
    "LPT1:", "LPT2:", "COM1:", "COM2:", "FILE:", "\\\\OFFICE\\LASER"};

// Printers besides "Generic / Text Only": many, yet few enough for the
// remover's list of all local printers.
constexpr int printerCount = 60;

const char* const printerDefaultsSection =
    "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Generic / Text "
    "Only]\n"
    "\"Attributes\"=dword:00000040\n"
    "\"Datatype\"=\"RAW\"\n"
    "\"Default DevMode\"=hex:47,65,6e,65,72,69,63,20,2f,20,54,65,78,74,20,4f,6e,6c,79,\\\n"
    "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,04,00,04,00\n"
    "\"Description\"=\"\"\n"
    "\"Location\"=\"\"\n"
    "\"Name\"=\"Generic / Text Only\"\n"
    "\"Parameters\"=\"\"\n"
    "\"Port\"=\"LPT1:\"\n"
    "\"Print Processor\"=\"WinPrint\"\n"
    "\"Printer Driver\"=\"Generic / Text Only\"\n"
    "\"Priority\"=dword:00000001\n"
    "\"Separator File\"=\"\"\n"
    "\"Share Name\"=\"\"\n"
    "\"StartTime\"=dword:00000000\n"
    "\"Status\"=dword:00000000\n"
    "\"UntilTime\"=dword:00000000\n";

const std::string hklm = "HKEY_LOCAL_MACHINE\\";
const std::string print = hklm + "System\\CurrentControlSet\\Control\\Print";
const std::string environment = print + "\\Environments\\Windows 4.0";

struct Driver
{
    std::string name; // the driver's key and the printers' "Printer Driver"
    std::string file; // its "Driver" file, never one the benchmark removes
    const char* maker;
};

// Builds one image: the default machine's keys in their places, and
// around them generated families, each filling its share of the size.
class Generator
{
  public:
    Generator(std::uint64_t seed, std::size_t size, Profile profile, const ImageSink& sink)
        : random(seed), size(size), crowded(profile == Profile::Crowded), out(sink)
    {
    }

    bool Run()
    {
        MakeDrivers(printerCount);
        Config();
        if (crowded)
        {
            Enum(Share(0.05));
            Classes(Share(0.985));
            System(out.Size());
            Users(std::max(size, out.Size() + 1));
            return out.Finish();
        }
        Enum(Share(0.30));
        Classes(Share(0.72));
        Software(Share(0.85));
        System(Share(0.975));
        Users(std::max(size, out.Size() + size / 64));
        return out.Finish();
    }

  private:
    std::size_t Share(double fraction) const
    {
        return static_cast<std::size_t>(static_cast<double>(size) * fraction);
    }

    // Where a family's part ends: `fraction` of the way from here to `end`.
    std::size_t Part(std::size_t end, double fraction) const
    {
        std::size_t here = out.Size();
        if (end <= here)
            return here;
        return here + static_cast<std::size_t>(static_cast<double>(end - here) * fraction);
    }

    bool Before(std::size_t end) const
    {
        return out.Size() < end;
    }

    Bytes RandomBytes(std::size_t count)
    {
        Bytes bytes(count);
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(random.Next());
        return bytes;
    }

    // Resource descriptors and the like: mostly zeros, a few small numbers.
    Bytes SparseBytes(std::size_t count)
    {
        Bytes bytes(count);
        for (unsigned char& byte : bytes)
            byte = random.Chance(70) ? 0 : static_cast<unsigned char>(random.Below(256));
        return bytes;
    }

    std::string Guid(unsigned counter)
    {
        return Format("{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(random.Next()),
                      counter >> 16, counter & 0xFFFF, random.Below(0x10000),
                      static_cast<unsigned long long>(random.Next() & 0xFFFFFFFFFFFFull));
    }

    void MakeDrivers(int count)
    {
        while (static_cast<int>(drivers.size()) < count)
        {
            const Maker& maker = random.Pick(makers);
            int number = 100 + static_cast<int>(drivers.size());
            drivers.push_back({Format("%s %s %d", maker.name, random.Pick(printerSeries), number),
                               Format("%s%04d.DRV", maker.prefix, number), maker.name});
        }
    }

    void Config()
    {
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\Config]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001]\n"
                     "\"Friendly Name\"=\"Original Configuration\"\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet\\Control]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet\\Control\\"
                     "Print]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet\\Control\\"
                     "Print\\Printers]\n"
                     "\"Default\"=\"Generic / Text Only\"\n"
                     "\n[HKEY_LOCAL_MACHINE\\Config\\0001\\System\\CurrentControlSet\\Control\\"
                     "Print\\Printers\\Generic / Text Only]\n");
        std::string printers = hklm + "Config\\0001\\System\\CurrentControlSet\\Control\\Print\\"
                                      "Printers\\";
        for (const Driver& driver : drivers)
            out.Key(printers + driver.name);
        out.Key(hklm + "Config\\0001\\Display");
        out.Key(hklm + "Config\\0001\\Display\\Settings");
        out.String("Resolution", "800,600");
        out.String("BitsPerPixel", "16");
        out.Key(hklm + "Config\\0002");
        out.String("Friendly Name", "Docked");
    }

    void Enum(std::size_t end)
    {
        out.Key(hklm + "Enum");
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0000]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0000\\00]\n"
                     "\"HardwareID\"=\"*PNP0000\"\n"
                     "\"Class\"=\"System\"\n"
                     "\"DeviceDesc\"=\"Programmable interrupt controller\"\n"
                     "\"Mfg\"=\"(Standard system devices)\"\n"
                     "\"ConfigFlags\"=hex:00,00,00,00\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0A]\n"
                     "\"HardwareID\"=\"*PNP0501\"\n"
                     "\"Class\"=\"Ports\"\n"
                     "\"DeviceDesc\"=\"Communications Port\"\n"
                     "\"Mfg\"=\"(Standard port types)\"\n"
                     "\"PORTNAME\"=\"COM1\"\n"
                     "\"ConfigFlags\"=hex:00,00,00,00\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0400]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0400\\0D]\n"
                     "\"HardwareID\"=\"*PNP0400\"\n"
                     "\"Class\"=\"Ports\"\n"
                     "\"DeviceDesc\"=\"Printer Port\"\n"
                     "\"Mfg\"=\"(Standard port types)\"\n"
                     "\"PORTNAME\"=\"LPT1\"\n"
                     "\"ConfigFlags\"=hex:00,00,00,00\n"
                     "\"ECP\"=hex:00\n");
        unsigned counter = 0x0B00;
        for (std::size_t part = Part(end, 0.10); !crowded && Before(part); ++counter)
            PnpDevice("BIOS", Format("*PNP%04X", counter), "%02X");
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\Enum\\Root]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0C01]\n"
                     "\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0C01\\0000]\n"
                     "\"HardwareID\"=\"*PNP0C01\"\n"
                     "\"Class\"=\"System\"\n"
                     "\"DeviceDesc\"=\"System board\"\n"
                     "\"Mfg\"=\"(Standard system devices)\"\n"
                     "\"ConfigFlags\"=hex:00,00,00,00\n");
        counter = 0x0C02;
        for (std::size_t part = Part(end, 0.15); !crowded && Before(part); ++counter)
            PnpDevice("Root", Format("*PNP%04X", counter), "%04X");
        out.Key(hklm + "Enum\\LPTENUM");
        out.Key(hklm + "Enum\\PCI");
        if (crowded)
        {
            for (; Before(end); ++counter)
                CrowdedDevice(counter);
            return;
        }
        for (std::size_t part = Part(end, 0.35); Before(part); ++counter)
            PciDevice(counter);
        out.Key(hklm + "Enum\\ISAPNP");
        for (std::size_t part = Part(end, 0.25); Before(part); ++counter)
            PnpDevice("ISAPNP", Format("%s%04X", random.Pick(makers).prefix, counter), "%08X");
        out.Key(hklm + "Enum\\SCSI");
        for (std::size_t part = Part(end, 0.35); Before(part); ++counter)
            ScsiDevice(counter);
        out.Key(hklm + "Enum\\MONITOR");
        for (std::size_t part = Part(end, 0.30); Before(part); ++counter)
            Monitor(counter);
        out.Key(hklm + "Enum\\Network");
        for (; Before(end); ++counter)
            NetworkComponent(counter);
    }

    // The values every device instance has.
    void DeviceValues(const std::string& hardwareId, const DeviceKind& kind, const Maker& maker)
    {
        out.String("HardwareID", hardwareId);
        out.String("Class", kind.deviceClass);
        std::string mark = random.Chance(10) ? "\xAE" : "";
        out.String("DeviceDesc", Format("%s%s %s %u", maker.name, mark.c_str(), kind.description,
                                        random.Between(100, 9999)));
        out.String("Mfg", maker.name);
        out.String("Driver", Format("%s\\%04u", kind.deviceClass, random.Below(40)));
        out.Hex("ConfigFlags", 3, Bytes{0, 0, 0, 0});
    }

    void PnpDevice(const char* enumerator, const std::string& deviceId, const char* instanceFormat)
    {
        std::string device = hklm + "Enum\\" + enumerator + "\\" + deviceId;
        out.Key(device);
        const DeviceKind& kind = random.Pick(deviceKinds);
        const Maker& maker = random.Pick(makers);
        for (unsigned instance = 0, count = random.Between(1, 3); instance < count; ++instance)
        {
            out.Key(device + "\\" + Format(instanceFormat, instance));
            DeviceValues(deviceId, kind, maker);
            if (std::string(kind.deviceClass) == "Ports")
                out.String("PORTNAME", Format("COM%u", random.Between(2, 8)));
            out.Hex("BootConfig", 3, SparseBytes(random.Between(40, 240)));
            if (random.Chance(20))
                out.Hex("ForcedConfig", 3, SparseBytes(random.Between(40, 120)));
            if (random.Chance(15))
                out.Hex("UINumber", 4, Bytes{static_cast<unsigned char>(instance), 0, 0, 0});
            out.String("InfName", Format("%s%s.INF", kind.inf, maker.prefix));
        }
    }

    void PciDevice(unsigned counter)
    {
        unsigned vendor = random.Between(0x1000, 0x1FFF);
        std::string deviceId = Format("VEN_%04X&DEV_%04X", vendor, counter & 0xFFFF);
        if (counter > 0xFFFF)
            deviceId += Format("&REV_%02X", counter >> 16);
        std::string device = hklm + "Enum\\PCI\\" + deviceId;
        out.Key(device);
        const DeviceKind& kind = random.Pick(deviceKinds);
        const Maker& maker = random.Pick(makers);
        unsigned subsystem = static_cast<unsigned>(random.Next());
        for (unsigned function = 0, count = random.Between(1, 2); function < count; ++function)
        {
            out.Key(
                device + "\\" +
                Format("BUS_%02X&DEV_%02X&FUNC_%02X", random.Below(4), random.Below(32), function));
            DeviceValues(
                Format("PCI\\VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%02X,PCI\\VEN_%04X&DEV_%04X", vendor,
                       counter & 0xFFFF, subsystem, random.Below(16), vendor, counter & 0xFFFF),
                kind, maker);
            out.String("HWRevision", Format("%03u", random.Below(16)));
            out.Hex("BootConfig", 3, SparseBytes(random.Between(80, 300)));
        }
    }

    void ScsiDevice(unsigned counter)
    {
        const Maker& maker = random.Pick(makers);
        std::string deviceId = Format("%s_____DISK_MODEL%u", maker.prefix, counter);
        std::string device = hklm + "Enum\\SCSI\\" + deviceId;
        out.Key(device);
        out.Key(device + "\\" + Format("MF&CHILD%04u&PCI&VEN_1000", random.Below(100)));
        out.String("HardwareID", "SCSI\\" + deviceId + ",GenDisk");
        out.String("Class", "DiskDrive");
        out.String("DeviceDesc", Format("%s DISK MODEL%u", maker.name, counter));
        out.String("Mfg", maker.name);
        out.String("Driver", Format("DiskDrive\\%04u", random.Below(8)));
        out.Hex("ConfigFlags", 3, Bytes{0, 0, 0, 0});
        out.String("CurrentDriveLetterAssignment", Format("%c", 'D' + random.Below(20)));
        out.Hex("Removable", 3, Bytes{static_cast<unsigned char>(random.Below(2))});
        out.String("SCSITargetID", Format("%u", random.Below(8)));
        out.String("SCSILUN", "0");
        out.Hex("Int13", 3, Bytes{0});
        out.String("RevisionLevel", Format("%u.%02u", random.Below(4), random.Below(100)));
    }

    void Monitor(unsigned counter)
    {
        const Maker& maker = random.Pick(makers);
        std::string device = hklm + "Enum\\MONITOR\\" + Format("%s%04X", maker.prefix, counter);
        out.Key(device);
        out.Key(device + "\\0001");
        out.String("Class", "Monitor");
        out.String("DeviceDesc",
                   Format("%s %u\" Colour Monitor", maker.name, random.Between(14, 21)));
        out.String("Mfg", maker.name);
        out.String("Driver", Format("Monitor\\%04u", random.Below(8)));
        out.String("MaxResolution", random.Chance(50) ? "1024,768" : "1280,1024");
        out.String("DPMS", "1");
        Bytes edid = RandomBytes(128);
        edid[0] = edid[7] = 0;
        for (int at = 1; at < 7; ++at)
            edid[static_cast<std::size_t>(at)] = 0xFF;
        out.Hex("EDID", 3, edid);
    }

    void NetworkComponent(unsigned counter)
    {
        std::string component = hklm + "Enum\\Network\\" + Format("NETCOMP%04u", counter);
        out.Key(component);
        for (unsigned instance = 0, count = random.Between(1, 3); instance < count; ++instance)
        {
            std::string key = component + "\\" + Format("%04u", instance);
            out.Key(key);
            const Maker& maker = random.Pick(makers);
            out.String("Class", "NetTrans");
            out.String("Driver", Format("NetTrans\\%04u", random.Below(40)));
            out.String("MasterCopy",
                       "Enum\\Network\\" + Format("NETCOMP%04u\\%04u", counter, instance));
            out.String("DeviceDesc", Format("%s Protocol %u", maker.name, counter));
            out.String("CompatibleIDs", Format("NETCOMP%04u", counter));
            out.String("Mfg", maker.name);
            out.Hex("ConfigFlags", 3, Bytes{0x10, 0, 0, 0});
            out.Key(key + "\\Bindings");
            for (unsigned binding = 0, bindings = random.Between(1, 5); binding < bindings;
                 ++binding)
                out.String(Format("NETBIND%u\\%04u", random.Below(50), binding), "");
        }
    }

    // A device of the crowded profile: 16 instances with one to three short values each.
    void CrowdedDevice(unsigned counter)
    {
        std::string device = hklm + "Enum\\PCI\\" +
                             Format("VEN_%04X&DEV_%04X", random.Between(0x1000, 0x1FFF), counter);
        const DeviceKind& kind = random.Pick(deviceKinds);
        out.Key(device);
        for (unsigned instance = 0; instance < 16; ++instance)
        {
            out.Key(device + Format("\\BUS_%02X&DEV_%02X&FUNC_%02X", instance / 8, random.Below(32),
                                    instance % 8));
            out.String("Class", kind.deviceClass);
            if (random.Chance(70))
                out.String("Driver", Format("%s\\%04u", kind.deviceClass, random.Below(40)));
            if (random.Chance(50))
                out.String("DeviceDesc",
                           Format("%s %s", random.Pick(makers).name, kind.description));
        }
    }

    void CrowdedFileType(const std::string& classes, unsigned counter)
    {
        std::string extension = Extension(counter);
        const Maker& maker = random.Pick(makers);
        const char* product = random.Pick(products);
        const char* noun = random.Pick(nouns);
        std::string progId = Format("%s.%s%s.%u", maker.name, product, noun, counter);
        out.Key(classes + "." + extension);
        out.String("", progId);
        if (random.Chance(80))
            out.String("Content Type",
                       Format("application/x-%s-%s", maker.prefix, extension.c_str()));
        if (random.Chance(40))
            out.String("PerceivedType", "document");
        out.Key(classes + progId);
        out.String("", Format("%s %s %s Document", maker.name, product, noun));
        if (random.Chance(60))
            out.Dword("EditFlags", random.Below(2) << 16);
        if (random.Chance(50))
            out.String("FriendlyTypeName", Format("%s %s %s", maker.name, product, noun));
    }

    // A class of the crowded profile: its name, and where its server is.
    void CrowdedClassId(const std::string& clsids, unsigned counter)
    {
        std::string key = clsids + Guid(counter);
        const Maker& maker = random.Pick(makers);
        const char* product = random.Pick(products);
        out.Key(key);
        out.String("", Format("%s %s %s Object", maker.name, product, random.Pick(nouns)));
        if (random.Chance(60))
            out.String("AppID", Guid(random.Below(4096)));
        out.Key(key + "\\InProcServer32");
        out.String("", Format("C:\\Program Files\\Common Files\\%s Shared\\%s\\%.3s%05u.DLL",
                              maker.name, product, maker.prefix, counter % 100000));
        out.String("ThreadingModel", random.Chance(60) ? "Apartment" : "Both");
    }

    void Classes(std::size_t end)
    {
        std::string classes = hklm + "SOFTWARE\\Classes\\";
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt]\n"
                     "@=\"txtfile\"\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\txtfile]\n"
                     "@=\"Text Document\"\n");
        unsigned counter = 0;
        for (std::size_t part = Part(end, crowded ? 0.27 : 0.22); Before(part); ++counter)
        {
            if (crowded)
                CrowdedFileType(classes, counter);
            else
                FileType(classes, counter);
        }
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{2227A280-3AEA-1069-A2DE-"
                     "08002B30309D}]\n"
                     "@=\"Printers\"\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{2227A280-3AEA-1069-A2DE-"
                     "08002B30309D}\\InProcServer32]\n"
                     "@=\"shell32.dll\"\n"
                     "\"ThreadingModel\"=\"Apartment\"\n");
        for (std::size_t part = Part(end, crowded ? 1.0 : 0.80); Before(part); ++counter)
        {
            if (crowded)
                CrowdedClassId(classes + "CLSID\\", counter);
            else
                ClassId(classes + "CLSID\\", counter);
        }
        if (!crowded)
        {
            out.Key(classes + "Interface");
            for (; Before(end); ++counter)
                Interface(classes + "Interface\\", counter);
        }
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Printers]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Printers\\shellex]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Printers\\shellex\\"
                     "ContextMenuHandlers]\n");
    }

    // Base 36 from four digits on, so that no extension is an existing one.
    static std::string Extension(unsigned counter)
    {
        static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        std::string text;
        for (unsigned value = counter + 36 * 36 * 36; value != 0; value /= 36)
            text.insert(text.begin(), digits[value % 36]);
        return text;
    }

    void FileType(const std::string& classes, unsigned counter)
    {
        std::string extension = Extension(counter);
        std::string progId = extension + "file";
        const Maker& maker = random.Pick(makers);
        const char* product = random.Pick(products);
        out.Key(classes + "." + extension);
        out.String("", progId);
        if (random.Chance(30))
            out.String("Content Type", "application/x-" + extension);
        if (random.Chance(15))
        {
            out.Key(classes + "." + extension + "\\ShellNew");
            out.String("NullFile", "");
        }
        out.Key(classes + progId);
        out.String("", Format("%s %s %s", maker.name, product, random.Pick(nouns)));
        out.Hex("EditFlags", 3, Bytes{0, 0, static_cast<unsigned char>(random.Below(2)), 0});
        std::string program =
            Format("C:\\Program Files\\%s\\%s\\%s.exe", maker.name, product, product);
        out.Key(classes + progId + "\\DefaultIcon");
        out.String("", Format("%s,%u", program.c_str(), random.Below(12)));
        out.Key(classes + progId + "\\shell");
        out.Key(classes + progId + "\\shell\\open");
        out.Key(classes + progId + "\\shell\\open\\command");
        out.String("", "\"" + program + "\" \"%1\"");
        if (random.Chance(40))
        {
            out.Key(classes + progId + "\\shell\\open\\ddeexec");
            out.String("", "[open(\"%1\")]");
            out.Key(classes + progId + "\\shell\\print");
            out.Key(classes + progId + "\\shell\\print\\command");
            out.String("", "\"" + program + "\" /p \"%1\"");
        }
    }

    void ClassId(const std::string& clsids, unsigned counter)
    {
        std::string key = clsids + Guid(counter);
        const Maker& maker = random.Pick(makers);
        const char* product = random.Pick(products);
        const char* noun = random.Pick(nouns);
        out.Key(key);
        out.String("", Format("%s %s %s Object", maker.name, product, noun));
        out.Key(key + "\\InProcServer32");
        out.String("", Format("C:\\WINDOWS\\SYSTEM\\%s%04u.DLL", maker.prefix, counter % 10000));
        out.String("ThreadingModel", random.Chance(60) ? "Apartment" : "Both");
        if (random.Chance(40))
        {
            out.Key(key + "\\ProgID");
            out.String("", Format("%s.%s.%u", product, noun, random.Between(1, 3)));
            out.Key(key + "\\VersionIndependentProgID");
            out.String("", Format("%s.%s", product, noun));
        }
        if (random.Chance(20))
        {
            out.Key(key + "\\DefaultIcon");
            out.String("", Format("C:\\WINDOWS\\SYSTEM\\%s%04u.DLL,%u", maker.prefix,
                                  counter % 10000, random.Below(8)));
        }
        if (random.Chance(15))
        {
            out.Key(key + "\\Implemented Categories");
            out.Key(key + "\\Implemented Categories\\" + Guid(random.Below(16)));
        }
        if (random.Chance(10))
        {
            out.Key(key + "\\MiscStatus");
            out.String("", "0");
            out.String("1", Format("%u", random.Below(200000)));
            out.Key(key + "\\ToolboxBitmap32");
            out.String("", Format("C:\\WINDOWS\\SYSTEM\\%s%04u.DLL,%u", maker.prefix,
                                  counter % 10000, random.Below(8)));
        }
        if (random.Chance(8))
        {
            out.Key(key + "\\Persisted");
            out.Hex("Data", 3, RandomBytes(random.Between(200, 2000)));
        }
        if (random.Chance(5))
        {
            out.Key(key + "\\shellex");
            out.Key(key + "\\shellex\\MayChangeDefaultMenu");
        }
    }

    void Interface(const std::string& interfaces, unsigned counter)
    {
        std::string key = interfaces + Guid(counter);
        out.Key(key);
        out.String("", Format("I%s%s", random.Pick(products), random.Pick(nouns)));
        out.Key(key + "\\ProxyStubClsid32");
        out.String("", "{00020424-0000-0000-C000-000000000046}");
        out.Key(key + "\\NumMethods");
        out.String("", Format("%u", random.Between(3, 40)));
    }

    void Software(std::size_t end)
    {
        std::string current = hklm + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows]\n"
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\n"
                     "\"Version\"=\"Windows 95\"\n"
                     "\"VersionNumber\"=\"4.00.950\"\n"
                     "\"SystemRoot\"=\"C:\\\\WINDOWS\"\n"
                     "\"DevicePath\"=\"C:\\\\WINDOWS\\\\INF\"\n");
        unsigned counter = 0;
        out.Key(current + "\\App Paths");
        for (std::size_t part = Part(end, 0.10); Before(part); ++counter)
        {
            const char* product = random.Pick(products);
            out.Key(current + "\\App Paths\\" + Format("%s%u.EXE", product, counter));
            out.String("", Format("C:\\PROGRA~1\\%s\\%s%u.EXE", product, product, counter));
            out.String("Path", Format("C:\\PROGRA~1\\%s;C:\\PROGRA~1\\COMMON~1", product));
        }
        out.Key(current + "\\SharedDLLs", "Counts of programs sharing each library");
        for (std::size_t part = Part(end, 0.10); Before(part); ++counter)
            out.Dword(
                Format("C:\\WINDOWS\\SYSTEM\\%s%05u.DLL", random.Pick(makers).prefix, counter),
                random.Between(1, 9));
        out.Key(current + "\\Uninstall");
        for (std::size_t part = Part(end, 0.15); Before(part); ++counter)
        {
            const Maker& maker = random.Pick(makers);
            const char* product = random.Pick(products);
            out.Key(current + "\\Uninstall\\" + Format("%s %s %u", maker.name, product, counter));
            out.String("DisplayName", Format("%s %s %u.%u", maker.name, product,
                                             random.Between(1, 9), random.Below(10)));
            out.String("UninstallString",
                       Format("\"C:\\Program Files\\%s\\UNINST.EXE\" -f\"C:\\Program Files\\%s\\"
                              "DeIsL%u.isu\"",
                              maker.name, maker.name, random.Between(1, 9)));
        }
        for (unsigned vendor = 0; Before(end); ++vendor)
            Vendor(vendor, end);
    }

    // Makers name the vendors; once each has had its turn, a number follows the name.
    static std::string VendorName(unsigned vendor)
    {
        std::string name = makers[vendor % makerCount].name;
        if (vendor >= makerCount)
            name += Format(" %u", vendor);
        return name;
    }

    void Vendor(unsigned vendor, std::size_t end)
    {
        const Maker& maker = makers[vendor % makerCount];
        std::string key = hklm + "SOFTWARE\\" + VendorName(vendor);
        out.Key(key, Format("Settings of %s programs", maker.name));
        for (unsigned product = 0, count = random.Between(1, 6); product < count && Before(end);
             ++product)
        {
            std::string productKey = key + "\\" + products[product];
            out.Key(productKey);
            std::string version =
                productKey + Format("\\%u.%u", random.Between(1, 9), random.Below(10));
            out.Key(version);
            out.String("InstallDir",
                       Format("C:\\Program Files\\%s\\%s", maker.name, products[product]));
            Settings(version + "\\Settings", vendor == 0 && product == 0);
            out.Key(version + "\\Recent File List");
            for (unsigned file = 1, files = random.Between(0, 9); file <= files; ++file)
                out.String(Format("File%u", file),
                           Format("C:\\My Documents\\%s %u.%s", random.Pick(nouns),
                                  random.Below(1000), Extension(random.Below(5000)).c_str()));
        }
    }

    // Settings with every kind of value; `all` makes sure each one is there.
    void Settings(const std::string& key, bool all)
    {
        out.Key(key);
        auto with = [&](unsigned percent) { return all || random.Chance(percent); };
        if (with(30))
            out.String("", "");
        out.String("Caption",
                   Format("Say \"%s\" to C:\\TEMP\\%u", random.Pick(nouns), random.Below(100)));
        out.Dword("Flags", static_cast<std::uint32_t>(random.Next()));
        if (with(50))
        {
            Bytes placement = SparseBytes(44);
            placement[0] = 44;
            out.Hex("WindowPlacement", 3, placement);
        }
        if (with(20))
            out.Comment("Paths below are expanded when the program starts");
        if (with(40))
            out.Hex("Path", 2,
                    TextBytes(Format("%%SystemRoot%%\\SYSTEM\\%s", random.Pick(products))));
        if (with(30))
            out.Hex(
                "Servers", 7,
                MultiText({Format("\\\\SERVER%u\\SHARE", random.Below(10)), "LOCAL", "BACKUP"}));
        if (with(15))
        {
            std::string label = Format("%s", random.Pick(nouns));
            Bytes bytes(label.begin(), label.end());
            bytes.push_back(0);
            bytes.insert(bytes.end(), label.begin(), label.end());
            bytes.push_back(0);
            out.Hex("Label", 1, bytes);
        }
        if (with(10))
            out.Hex("Empty", 3, Bytes{});
        if (with(10))
            out.Hex("Marker", 0, random.Chance(50) ? Bytes{} : RandomBytes(4));
        if (with(10))
            out.Hex("Order", 4, Bytes{static_cast<unsigned char>(random.Below(256)), 0, 0, 0});
        if (with(5))
            out.Hex("Network Order", 5,
                    Bytes{0, 0, 0, static_cast<unsigned char>(random.Below(256))});
        if (with(20))
            out.String("Greeting", "Caf\xE9 \xAB"
                                   "Bienvenue\xBB");
        if (with(2))
            out.Hex("Layout", 3, RandomBytes(random.Between(4096, 65536)));
    }

    void System(std::size_t end)
    {
        // The printers are a fixed number; the class drivers keep their
        // share even when the printers alone overrun a small image's.
        std::size_t servicesShare = (end - std::min(end, out.Size())) * 3 / 5;
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\System]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments\\Windows 4.0]\n"
                     "\"Directory\"=\"CHICAGO\"\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments\\Windows 4.0\\Drivers]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments\\Windows 4.0\\Drivers\\Generic / Text Only]\n"
                     "\"Driver\"=\"TTY.DRV\"\n"
                     "\"Data File\"=\"TTY.DRV\"\n"
                     "\"Configuration File\"=\"TTY.DRV\"\n"
                     "\"Help File\"=\"TTY.HLP\"\n"
                     "\"Dependent Files\"=hex:54,54,59,2e,44,52,56,00,54,54,59,2e,48,4c,50,00,"
                     "55,4e,49,\\\n"
                     "  44,52,56,2e,44,4c,4c,00,00,00\n"
                     "\"Version\"=dword:00000400\n");
        for (const Driver& driver : drivers)
            DriverKey(driver);
        for (std::size_t part = Part(end, 0.25); Before(part);)
        {
            MakeDrivers(static_cast<int>(drivers.size()) + 1);
            DriverKey(drivers.back());
        }
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments\\Windows 4.0\\Print Processors]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Environments\\Windows 4.0\\Print Processors\\WinPrint]\n"
                     "\"Driver\"=\"spoolss.dll\"\n");
        for (const Maker& maker : {makers[0], makers[5]})
        {
            out.Key(environment + "\\Print Processors\\" + maker.name + " Processor");
            out.String("Driver", Format("%sPROC.DLL", maker.prefix));
        }
        out.Verbatim("\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Monitors]\n"
                     "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                     "Monitors\\Local Port]\n"
                     "\"Driver\"=\"spoolss.dll\"\n");
        for (const Maker& maker : {makers[1], makers[7], makers[11]})
        {
            out.Key(print + "\\Monitors\\" + maker.name + " Port Monitor");
            out.String("Driver", Format("%sMON.DLL", maker.prefix));
        }
        out.Key(print + "\\Printers");
        out.Verbatim(printerDefaultsSection);
        for (int printer = 0; printer < printerCount; ++printer)
            Printer(drivers[static_cast<std::size_t>(printer)]);
        Services(std::max(end, out.Size() + servicesShare));
    }

    void DriverKey(const Driver& driver)
    {
        out.Key(environment + "\\Drivers\\" + driver.name);
        out.String("Driver", driver.file);
        std::string base = driver.file.substr(0, driver.file.size() - 4);
        out.String("Data File", base + ".DLL");
        out.String("Configuration File", driver.file);
        out.String("Help File", base + ".HLP");
        std::vector<std::string> files{driver.file, base + ".DLL", base + ".HLP"};
        for (unsigned file = 0, count = random.Between(2, 30); file < count; ++file)
            files.push_back(Format("%.3s%05u.DLL", driver.file.c_str(), random.Below(100000)));
        out.Hex("Dependent Files", 3, MultiText(files));
        if (random.Chance(30))
            out.String("Monitor", std::string(driver.maker) + " Port Monitor");
        out.Dword("Version", 0x400);
    }

    void Printer(const Driver& driver)
    {
        std::string key = print + "\\Printers\\" + driver.name;
        out.Key(key);
        out.Dword("Attributes", random.Chance(30) ? 0x840 : 0x40);
        out.String("Datatype", random.Chance(50) ? "RAW" : "EMF");
        Bytes devMode(driver.name.begin(), driver.name.end());
        devMode.resize(32);
        Bytes rest = SparseBytes(random.Between(124, 400));
        devMode.insert(devMode.end(), rest.begin(), rest.end());
        out.Hex("Default DevMode", 3, devMode);
        out.String("Description", "");
        out.String("Location", random.Chance(30) ? Format("Room %u", random.Below(500)) : "");
        out.String("Name", driver.name);
        out.String("Parameters", "");
        out.String("Port", random.Pick(printerPorts));
        out.String("Print Processor", "WinPrint");
        out.String("Printer Driver", driver.name);
        out.Dword("Priority", 1);
        out.String("Separator File", "");
        out.String("Share Name", random.Chance(20) ? Format("PRN%u", random.Below(100)) : "");
        out.Dword("StartTime", 0);
        out.Dword("Status", 0);
        out.Dword("UntilTime", 0);
        out.Key(key + "\\PrinterDriverData");
        out.Hex("FontCart", 3, SparseBytes(random.Between(16, 64)));
        out.Dword("Resolution", random.Chance(50) ? 300 : 600);
    }

    void Services(std::size_t end)
    {
        std::string services = hklm + "System\\CurrentControlSet\\Services";
        out.Key(services);
        out.Key(services + "\\Class");
        std::size_t kinds = sizeof deviceKinds / sizeof deviceKinds[0];
        for (std::size_t kind = 0; kind < kinds; ++kind)
        {
            std::string key = services + "\\Class\\" + deviceKinds[kind].deviceClass;
            out.Key(key);
            out.String("", deviceKinds[kind].description);
            out.String("Icon", Format("-%u", random.Between(1, 40)));
            std::size_t part = Part(end, 1.0 / static_cast<double>(kinds - kind));
            for (unsigned instance = 0; Before(part); ++instance)
                ClassDriver(key, deviceKinds[kind], instance);
        }
        out.Key(services + "\\VxD");
        for (const char* vxd : {"IOS", "VCOMM", "VFAT", "VCACHE", "VSHARE"})
        {
            out.Key(services + "\\VxD\\" + vxd);
            out.String("StaticVxD", std::string("*") + vxd);
            out.Hex("Start", 3, Bytes{0});
        }
    }

    void ClassDriver(const std::string& classKey, const DeviceKind& kind, unsigned instance)
    {
        const Maker& maker = random.Pick(makers);
        out.Key(classKey + Format("\\%04u", instance));
        out.String("DriverDesc", Format("%s %s", maker.name, kind.description));
        out.String("ProviderName", maker.name);
        out.String("InfPath", Format("%s%s.INF", kind.inf, maker.prefix));
        out.String("InfSection", Format("%s.Install", maker.prefix));
        out.String("DevLoader", "*CONFIGMG");
        out.String("DriverDate", Format("%2u-%2u-199%u", random.Between(1, 12),
                                        random.Between(1, 28), random.Between(3, 7)));
        out.String("MatchingDeviceId", Format("*%s%04X", maker.prefix, random.Below(0x10000)));
        if (random.Chance(30))
            out.Hex("ResourcePickerTags", 3, SparseBytes(random.Between(8, 64)));
    }

    void Users(std::size_t end)
    {
        out.Verbatim("\n[HKEY_USERS]\n"
                     "\n[HKEY_USERS\\.Default]\n"
                     "\n[HKEY_USERS\\.Default\\Control Panel]\n"
                     "\n[HKEY_USERS\\.Default\\Control Panel\\International]\n"
                     "\"Locale\"=\"00000409\"\n");
        std::string software = "HKEY_USERS\\.Default\\Software";
        out.Key(software);
        for (unsigned vendor = 0; Before(end); ++vendor)
        {
            std::string vendorKey = software + "\\" + VendorName(vendor);
            out.Key(vendorKey);
            for (unsigned product = 0, count = random.Between(1, 6); product < count; ++product)
            {
                std::string key = vendorKey + "\\" + products[product];
                out.Key(key);
                out.Hex("WindowPos", 3, SparseBytes(20));
                out.Dword("ShowToolbar", random.Below(2));
                out.Key(key + "\\Recent File List");
                for (unsigned file = 1, files = random.Between(1, 9); file <= files; ++file)
                    out.String(Format("File%u", file),
                               Format("C:\\My Documents\\%s %u.doc", random.Pick(nouns),
                                      random.Below(1000)));
            }
        }
    }

    Random random;
    std::size_t size;
    bool crowded; // the crowded profile rather than the varied one
    Writer out;
    std::vector<Driver> drivers; // every printer driver; the first ones have printers
};

} // namespace

bool GenerateImage(std::uint64_t seed, std::size_t size, const ImageSink& write, Profile profile)
{
    return Generator(seed, size, profile, write).Run();
}

std::string GenerateImage(std::uint64_t seed, std::size_t size, Profile profile)
{
    std::string image;
    image.reserve(size + size / 8 + 65536);
    GenerateImage(
        seed, size,
        [&image](const char* data, std::size_t length)
        {
            image.append(data, length);
            return true;
        },
        profile);
    return image;
}

} // namespace bench
