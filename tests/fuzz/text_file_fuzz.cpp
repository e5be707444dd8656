// Text-mode files on any bytes: reading delivers what the C runtime's text
// mode delivers (CR LF as LF, a lone CR kept, the end at Ctrl-Z) in pieces
// that end at a line feed or fill the buffer; writing puts CR LF for every
// LF; and the installer's copy of its setup information file is the one
// those two make. The expected text is worked out here, byte by byte, on
// its own.
#include "platform/files.h"
#include "prnsetup/prnsetup.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

const char* const fileNames[] = {"/in.txt", "/out.txt", "/WIN95.INF", "/INF/OEM0.INF", "/INF"};

// A folder of this process for its two files, in memory where there is
// /dev/shm; removed when the process exits.
struct Scratch
{
    std::string folder;

    Scratch()
    {
        char pattern[] = "/dev/shm/tavrine-fuzz-XXXXXX";
        char fallback[] = "/tmp/tavrine-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr)
            made = mkdtemp(fallback);
        if (made == nullptr)
            std::abort();
        folder = made;
        if (mkdir((folder + "/INF").c_str(), 0755) != 0)
            std::abort();
    }
    ~Scratch()
    {
        for (const char* name : fileNames)
            remove((folder + name).c_str());
        rmdir(folder.c_str());
    }
};

const std::string& Folder()
{
    static const Scratch scratch;
    return scratch.folder;
}

std::string WindowsPath(const std::string& host)
{
    std::string path = "Z:" + host;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

void Store(const std::string& path, const std::string& bytes)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
        std::abort();
    std::fclose(out);
}

std::string Load(const std::string& path)
{
    std::string bytes;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        std::abort();
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.append(buffer, got);
    std::fclose(in);
    return bytes;
}

std::vector<std::string> ExpectedPieces(const std::string& raw, int capacity)
{
    std::string text;
    for (std::size_t i = 0; i < raw.size() && raw[i] != '\x1A'; ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n'))
            text += raw[i];
    std::vector<std::string> pieces;
    std::size_t limit = static_cast<std::size_t>(capacity - 1);
    for (std::size_t at = 0; at < text.size() && limit > 0;)
    {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        end = std::min(end, at + limit);
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

void CheckReading(const std::string& raw, int capacity)
{
    std::string host = Folder() + fileNames[0];
    Store(host, raw);
    TextFile* file = OpenTextFile(WindowsPath(host).c_str(), FALSE);
    if (file == nullptr)
        std::abort();
    std::vector<char> buffer(static_cast<std::size_t>(capacity));
    std::vector<std::string> pieces;
    int length;
    while ((length = ReadTextPiece(file, buffer.data(), capacity)) > 0)
    {
        if (length >= capacity || buffer[static_cast<std::size_t>(length)] != '\0')
            std::abort();
        pieces.emplace_back(buffer.data(), static_cast<std::size_t>(length));
    }
    if (length != 0 || !CloseTextFile(file) || pieces != ExpectedPieces(raw, capacity))
        std::abort();
}

void CheckWriting(const std::string& raw)
{
    std::string text = raw.substr(0, raw.find('\0'));
    std::string expected;
    for (char c : text)
        expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string host = Folder() + fileNames[1];
    TextFile* file = OpenTextFile(WindowsPath(host).c_str(), TRUE);
    if (file == nullptr || !WriteText(file, text.c_str()) || !CloseTextFile(file) ||
        Load(host) != expected)
        std::abort();
}

// Each piece of 254 characters or up to a line feed is written up to its
// first zero byte.
void CheckCopy(const std::string& raw)
{
    std::string expected;
    for (const std::string& piece : ExpectedPieces(raw, 255))
        for (char c : piece.substr(0, piece.find('\0')))
            expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Store(Folder() + fileNames[2], raw);
    std::string copy = Folder() + fileNames[3];
    std::remove(copy.c_str());
    std::snprintf(programDir, sizeof programDir, "%s\\", WindowsPath(Folder()).c_str());
    std::snprintf(infDir, sizeof infDir, "%s\\INF", WindowsPath(Folder()).c_str());
    if (PlaceSetupInf() != 1 || Load(copy) != expected)
        std::abort();
}

} // namespace

// The first byte chooses the reader's buffer size; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    int capacity = 2 + data[0] % 300;
    std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckReading(raw, capacity);
    CheckWriting(raw);
    CheckCopy(raw);
    return 0;
}
