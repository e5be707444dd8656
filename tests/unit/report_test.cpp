// The report of what a run changed in the registry.
#include "platform/posix/storage/recorder.h"
#include "platform/posix/storage/regedit4/image.h"
#include "platform/posix/storage/regedit4/storage.h"

#include <gtest/gtest.h>

namespace
{

using win95::KeyId;

// Keys added with their values, values changed, a deleted key with all it
// held; nothing for a value set as it was, nor for a key made and deleted
// again.
TEST(ChangeReport, GivesEachKeyAndValueTheRunChanged)
{
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(
        std::string("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"Kept\"=\"same\"\r\n"
                    "\"Old\"=\"before\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Gone]\r\n"
                    "\"X\"=dword:00000001\r\n\r\n[HKEY_LOCAL_MACHINE\\Gone\\Below]\r\n"
                    "@=\"deep\"\r\n\r\n"),
        error);
    win95::ChangeRecorder recorder(std::unique_ptr<win95::Storage>(image.release()));
    const KeyId machine = recorder.LocalMachine();
    const KeyId a = recorder.Find(machine, "A");
    recorder.SetValue(a, "Kept", 1, std::string("same", 5));
    recorder.SetValue(a, "Old", 1, std::string("after", 6));
    const KeyId child = recorder.Create(recorder.Create(machine, "New"), "Child");
    recorder.SetValue(child, "Port", 1, std::string("LPT1:", 6));
    recorder.Delete(recorder.Create(machine, "Passing"));
    recorder.Delete(recorder.Find(machine, "Gone"));
    EXPECT_EQ("--- registry before the run\n"
              "+++ registry after the run\n"
              "\n"
              " [HKEY_LOCAL_MACHINE\\A]\n"
              "-\"Old\"=\"before\"\n"
              "+\"Old\"=\"after\"\n"
              "\n"
              "+[HKEY_LOCAL_MACHINE\\New]\n"
              "\n"
              "+[HKEY_LOCAL_MACHINE\\New\\Child]\n"
              "+\"Port\"=\"LPT1:\"\n"
              "\n"
              "-[HKEY_LOCAL_MACHINE\\Gone]\n"
              "-\"X\"=dword:00000001\n"
              "\n"
              "-[HKEY_LOCAL_MACHINE\\Gone\\Below]\n"
              "-@=\"deep\"\n",
              recorder.Report());
}

} // namespace
