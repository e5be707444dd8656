#include "platform/posix/os/child.h"

#include "platform/posix/os/descriptor.h"
#include "platform/posix/os/sys.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>

extern char** environ;

namespace win95
{
namespace
{

bool MakePipe(Descriptor& reading, Descriptor& writing)
{
    int ends[2];
    if (sys::Pipe(ends) != 0)
        return false;
    reading.Set(ends[0]);
    writing.Set(ends[1]);
    return true;
}

// Duplicating an open file onto itself clears close-on-exec, so the child
// reaches the very file we opened (and locked).
bool Prepare(const ChildSetup& setup, posix_spawn_file_actions_t& actions,
             posix_spawnattr_t& attributes)
{
    bool prepared =
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
        (setup.output >= 0
             ? posix_spawn_file_actions_adddup2(&actions, setup.output, 1) == 0
             : posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0);
    if (setup.errors >= 0)
        prepared = prepared && posix_spawn_file_actions_adddup2(&actions, setup.errors, 2) == 0;
    else if (!setup.errorFile.empty())
        prepared =
            prepared && posix_spawn_file_actions_addopen(&actions, 2, setup.errorFile.c_str(),
                                                         O_WRONLY | O_CREAT | O_TRUNC, 0600) == 0;
    else
        prepared = prepared &&
                   posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    for (int fd : setup.shared)
        prepared = prepared && posix_spawn_file_actions_adddup2(&actions, fd, fd) == 0;
    if (setup.ownGroup)
        prepared = prepared && posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP) == 0 &&
                   posix_spawnattr_setpgroup(&attributes, 0) == 0;
    return prepared;
}

// Collects both outputs of the child until it closes them; false, with
// the cause kept, when they cannot be read whole.
bool Collect(Descriptor& out, Descriptor& err, ChildOutput& left)
{
    char buffer[65536];
    Descriptor* sources[2] = {&out, &err};
    std::string* sinks[2] = {&left.out, &left.err};
    while (out.Get() >= 0 || err.Get() >= 0)
    {
        pollfd files[2] = {{out.Get(), POLLIN, 0}, {err.Get(), POLLIN, 0}};
        if (sys::Poll(files, 2, -1) < 0)
            return false;
        for (int i = 0; i < 2; ++i)
        {
            if (files[i].revents == 0)
                continue;
            const ssize_t got = sys::Read(sources[i]->Get(), buffer, sizeof buffer);
            if (got > 0)
                sinks[i]->append(buffer, static_cast<size_t>(got));
            else if (got == 0)
                sources[i]->Reset();
            else if (!sys::FailedFor(EINTR))
                return false;
        }
    }
    return true;
}

} // namespace

pid_t StartChild(const ChildSetup& setup)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    if (posix_spawnattr_init(&attributes) != 0)
    {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    std::vector<char*> argv, envp;
    for (const std::string& arg : setup.args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (const std::string& setting : setup.environment)
        envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);
    const pid_t child = Prepare(setup, actions, attributes)
                            ? sys::Spawn(argv[0], &actions, &attributes, argv.data(),
                                         setup.environment.empty() ? environ : envp.data())
                            : (errno = EINVAL, -1);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return child;
}

// The child's ends of the pipes are closed once it has them, so that the
// outputs end when it does.
bool RunChild(ChildSetup setup, ChildOutput& left)
{
    Descriptor out[2], err[2];
    if (!MakePipe(out[0], out[1]) || !MakePipe(err[0], err[1]))
        return false;
    if (setup.output < 0)
        setup.output = out[1].Get();
    setup.errors = err[1].Get();
    const pid_t child = StartChild(setup);
    if (child < 0)
        return false;
    out[1].Reset();
    err[1].Reset();
    int status = 0;
    if (!Collect(out[0], err[0], left))
    {
        // A child cut off from its outputs ends when it next writes to them.
        sys::CauseKept kept;
        out[0].Reset();
        err[0].Reset();
        sys::WaitPid(child, &status, 0);
        return false;
    }
    if (sys::WaitPid(child, &status, 0) < 0)
        return false;
    left.status = status;
    return true;
}

} // namespace win95
