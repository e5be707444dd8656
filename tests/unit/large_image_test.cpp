// Images large enough to be read in pieces on two threads: a fault is
// reported at its own line whichever piece holds it (the first fault when
// several do), and keys named in several pieces are one key.
#include "platform/posix/storage/regedit4/storage.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using win95::KeyId;
using win95::NoKey;

const std::string header = "REGEDIT4\r\n\r\n";

// Sections of HKEY_LOCAL_MACHINE\Big\<n>, each of three lines.
std::string Numbered(int from, int count)
{
    std::string text;
    for (int n = from; n < from + count; ++n)
        text += "[HKEY_LOCAL_MACHINE\\Big\\" + std::to_string(n) + "]\r\n\"v\"=\"" +
                std::string(40, 'x') + "\"\r\n\r\n";
    return text;
}

constexpr int half = 60000; // sections in each half: about 4.5 MB

// A NUL byte is reported before any other fault, wherever it stands.
TEST(LargeImage, FaultIsReportedAtItsLineInEitherHalf)
{
    const std::string bad = "\"a\"=\"unterminated\r\n";
    const std::string nul = std::string("\"a\"=\"\0\"\r\n", 9);
    const std::string text = header + Numbered(0, 2 * half);
    // After the 2 header lines each section takes 3, so the line below the
    // key line of section n is line 4 + 3n.
    auto spoil = [&text](std::initializer_list<std::pair<int, std::string>> lines)
    {
        std::string spoilt = text;
        for (const auto& [n, line] : lines)
        {
            std::string key = "[HKEY_LOCAL_MACHINE\\Big\\" + std::to_string(n) + "]\r\n";
            spoilt.insert(spoilt.find(key) + key.size(), line);
        }
        return spoilt;
    };
    struct Case
    {
        std::string text;
        std::size_t line;
        const char* what;
    };
    const char* unterminated = "unterminated string";
    const Case cases[] = {
        {spoil({{9, bad}}), 4 + 3 * 9, unterminated},
        {spoil({{2 * half - 10, bad}}), 4 + 3 * (2 * half - 10), unterminated},
        {spoil({{2 * half - 10, bad}, {9, bad}}), 4 + 3 * 9, unterminated},
        {spoil({{2 * half - 10, nul}, {9, bad}}), 4 + 3 * (2 * half - 10) + 1, "NUL byte"},
        {spoil({{half / 2, nul}, {2 * half - 10, bad}}), 4 + 3 * (half / 2), "NUL byte"},
    };
    for (const Case& spoilt : cases)
    {
        win95::Fault error;
        EXPECT_EQ(win95::ReadImage(spoilt.text, error), nullptr);
        EXPECT_EQ(error.where, std::to_string(spoilt.line));
        EXPECT_EQ(error.what, spoilt.what);
    }
}

TEST(LargeImage, KeyNamedInBothHalvesIsOneKey)
{
    std::string text = header + "[HKEY_LOCAL_MACHINE\\Big]\r\n\"early\"=\"1\"\r\n\r\n" +
                       Numbered(0, 2 * half) + "[HKEY_LOCAL_MACHINE\\Big]\r\n\"late\"=\"2\"\r\n";
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(text, error);
    ASSERT_NE(image, nullptr) << error.where << ": " << error.what;
    KeyId big = image->Find(image->LocalMachine(), "big");
    ASSERT_NE(big, NoKey);
    EXPECT_NE(image->FindValue(big, "early"), nullptr);
    EXPECT_NE(image->FindValue(big, "late"), nullptr);
    for (int n : {0, half - 1, half, 2 * half - 1})
        EXPECT_EQ(image->Name(image->Subkey(big, static_cast<std::uint32_t>(n))),
                  std::to_string(n));
    EXPECT_EQ(image->Subkey(big, 2 * half), NoKey);
    EXPECT_EQ(image->Subkey(image->LocalMachine(), 1), NoKey);
}

} // namespace
