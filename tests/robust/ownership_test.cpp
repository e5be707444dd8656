// A run by root on a user's machine leaves the image the user's.
#include "processes.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

TEST(Ownership, RootRunKeepsTheImageItsOwners)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run on a machine that another user owns";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    std::string machine = support::MachineWithImage(support::Fixture("default.reg"));
    std::string image = machine + "/registry.reg";
    ASSERT_EQ(0, chown(machine.c_str(), nobody->pw_uid, nobody->pw_gid));
    ASSERT_EQ(0, chown(image.c_str(), nobody->pw_uid, nobody->pw_gid));
    ASSERT_EQ(0, chmod(image.c_str(), 0600));

    ASSERT_EQ(0, support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine)
                     .exitStatus);

    struct stat info;
    ASSERT_EQ(0, stat(image.c_str(), &info));
    EXPECT_NE(support::Fixture("default.reg"), support::ImageOf(machine));
    EXPECT_EQ(nobody->pw_uid, info.st_uid);
    EXPECT_EQ(nobody->pw_gid, info.st_gid);
    EXPECT_EQ(0600u, info.st_mode & 07777);
}

} // namespace
