// What a run says on standard error: one line for a fault, headed by the
// program's name as Unix tools do, so that it stands apart from the
// remover's trace on the same stream. Only the machine speaks to the user.
#pragma once

namespace win95
{

// True when the environment variable is set to 1: WIN95STRICT,
// WIN95REPORT and WIN95DRYRUN ask for what they name so.
bool Asked(const char* variable);

// The run's one fault line: a fault that leads to others (no default
// machine, so no registry to read) is reported where it began, and the
// later ones are not. Writes without allocating memory. Marks the run as
// failed for WIN95STRICT.
__attribute__((format(printf, 1, 2))) void Complain(const char* format, ...);

// A line about something the run did that is no fault.
__attribute__((format(printf, 1, 2))) void Tell(const char* format, ...);

// The run's exit status: 0, as the programs promise, unless WIN95STRICT=1
// asks for the truth: then 1 once the run has complained.
int RunExitStatus();

} // namespace win95
