#pragma once

#include <QString>

/**
 * Names of the values that the daemon's interface carries as plain integers. corvanectl keeps
 * its own tables: it depends on the bus interface only, not on the daemon's code.
 */
namespace EnumNames {

enum Method : int {
    AnyMethod = 0,
    PackageUpdate = 1,
    ResetUpdate = 2,
    UnknownMethod = -1,
};

enum Status : int {
    Idle = 0,
    Checking = 1,
    Preparing = 2,
    Downloading = 3,
    Installing = 4,
    UnknownStatus = -1,
};

// The key of the value, or "unrecognised value N" for one the table does not know.
QString status(int value);
QString method(int value);
QString updateError(int value);

// The method named on the command line ("package", "reset", "any", or a key such as
// "PackageUpdate", in any case); false when the text names none.
[[nodiscard]] bool methodFromText(const QString &text, int *value);

} // namespace EnumNames
