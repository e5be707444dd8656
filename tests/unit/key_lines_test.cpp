// Key lines read after one that begins the same way: the reader takes the
// names they share byte for byte from the line before, and looks up only
// the rest.
#include "platform/posix/storage/regedit4/storage.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using win95::Image;
using win95::KeyId;
using win95::NoKey;

std::string Subkeys(Image& image, KeyId key)
{
    std::string names;
    for (std::uint32_t index = 0; image.Subkey(key, index) != NoKey; ++index)
        names += std::string(image.Name(image.Subkey(key, index))) + ";";
    return names;
}

TEST(KeyLines, NamesSharedWithTheLineBeforeAreTheSameKeys)
{
    const std::string text = "REGEDIT4\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\BC]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"x\"=\"1\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\b\\D]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\a\\B\\c]\r\n\"y\"=\"2\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\a\\B\\c]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\AB\\C]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\AB\\CD]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\BC\\D\\E]\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\BC\\D]\r\n\r\n";
    struct Expected
    {
        std::vector<const char*> path;
        const char* subkeys;
    };
    const Expected expected[] = {
        {{}, "A;AB;"},       {{"A"}, "BC;B;"},         {{"A", "B"}, "C;D;"}, {{"A", "B", "C"}, ""},
        {{"A", "BC"}, "D;"}, {{"A", "BC", "D"}, "E;"}, {{"AB"}, "C;CD;"},
    };
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(text, error);
    ASSERT_NE(image, nullptr) << error.where << ": " << error.what;
    for (const Expected& key : expected)
    {
        KeyId at = image->LocalMachine();
        std::string path;
        for (const char* name : key.path)
        {
            at = image->Find(at, name);
            path += std::string("\\") + name;
            ASSERT_NE(at, NoKey) << path;
        }
        EXPECT_EQ(key.subkeys, Subkeys(*image, at)) << path;
    }
    KeyId c = image->Find(image->Find(image->Find(image->LocalMachine(), "A"), "B"), "C");
    ASSERT_NE(c, NoKey);
    EXPECT_NE(image->FindValue(c, "x"), nullptr) << "from its first section";
    EXPECT_NE(image->FindValue(c, "y"), nullptr) << "from a later one";
}

} // namespace
