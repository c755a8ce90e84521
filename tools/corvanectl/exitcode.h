#pragma once

// What corvanectl's exit status tells a script; the --help text lists the same.
enum class ExitCode : int {
    Success = 0,
    // The daemon reported an error, or the operation ended without its result.
    OperationFailed = 1,
    UsageError = 2,
    AccessDenied = 3,
    // The system bus or the daemon cannot be reached.
    Unreachable = 4,
    TimedOut = 5,
    Interrupted = 130,
};
