"""PackageKit's enumerations as numbers on the bus, and lookup of their names in state files."""

import re

# Indexes, in the order of the public enumerations of PackageKit-Qt (and of PackageKit).
ROLES = [
    'Unknown', 'Cancel', 'DependsOn', 'GetDetails', 'GetFiles', 'GetPackages', 'GetRepoList',
    'RequiredBy', 'GetUpdateDetail', 'GetUpdates', 'InstallFiles', 'InstallPackages',
    'InstallSignature', 'RefreshCache', 'RemovePackages', 'RepoEnable', 'RepoSetData', 'Resolve',
    'SearchDetails', 'SearchFile', 'SearchGroup', 'SearchName', 'UpdatePackages', 'WhatProvides',
    'AcceptEula', 'DownloadPackages', 'GetDistroUpgrades', 'GetCategories', 'GetOldTransactions',
    'RepairSystem', 'GetDetailsLocal', 'GetFilesLocal', 'RepoRemove', 'UpgradeSystem',
]

ERRORS = [
    'Unknown', 'Oom', 'NoNetwork', 'NotSupported', 'InternalError', 'GpgFailure',
    'PackageIdInvalid', 'PackageNotInstalled', 'PackageNotFound', 'PackageAlreadyInstalled',
    'PackageDownloadFailed', 'GroupNotFound', 'GroupListInvalid', 'DepResolutionFailed',
    'FilterInvalid', 'CreateThreadFailed', 'TransactionError', 'TransactionCancelled', 'NoCache',
    'RepoNotFound', 'CannotRemoveSystemPackage', 'ProcessKill', 'FailedInitialization',
    'FailedFinalise', 'FailedConfigParsing', 'CannotCancel', 'CannotGetLock',
    'NoPackagesToUpdate', 'CannotWriteRepoConfig', 'LocalInstallFailed', 'BadGpgSignature',
    'MissingGpgSignature', 'CannotInstallSourcePackage', 'RepoConfigurationError',
    'NoLicenseAgreement', 'FileConflicts', 'PackageConflicts', 'RepoNotAvailable',
    'InvalidPackageFile', 'PackageInstallBlocked', 'PackageCorrupt', 'AllPackagesAlreadyInstalled',
    'FileNotFound', 'NoMoreMirrorsToTry', 'NoDistroUpgradeData', 'IncompatibleArchitecture',
    'NoSpaceOnDevice', 'MediaChangeRequired', 'NotAuthorized', 'UpdateNotFound',
    'CannotInstallRepoUnsigned', 'CannotUpdateRepoUnsigned', 'CannotGetFilelist',
    'CannotGetRequires', 'CannotDisableRepository', 'RestrictedDownload',
    'PackageFailedToConfigure', 'PackageFailedToBuild', 'PackageFailedToInstall',
    'PackageFailedToRemove', 'UpdateFailedDueToRunningProcess', 'PackageDatabaseChanged',
    'ProvideTypeNotSupported', 'InstallRootInvalid', 'CannotFetchSources', 'CancelledPriority',
    'UnfinishedTransaction', 'LockRequired',
]

EXITS = [
    'Unknown', 'Success', 'Failed', 'Cancelled', 'KeyRequired', 'EulaRequired', 'Killed',
    'MediaChangeRequired', 'NeedUntrusted', 'CancelledPriority', 'RepairRequired',
]

ROLE = {name: index for index, name in enumerate(ROLES)}
ERROR = {name: index for index, name in enumerate(ERRORS)}
EXIT = {name: index for index, name in enumerate(EXITS)}

STATUS_WAIT = 1
STATUS_SETUP = 2
STATUS_RUNNING = 3
STATUS_QUERY = 4
STATUS_REFRESH_CACHE = 7
STATUS_DOWNLOAD = 8
STATUS_UPDATE = 10
STATUS_DEP_RESOLVE = 13
STATUS_REQUEST = 17
STATUS_FINISHED = 18
STATUS_CANCEL = 19
STATUS_WAITING_FOR_AUTH = 31

INFO_INSTALLED = 1
INFO_AVAILABLE = 2
INFO_DOWNLOADING = 10
INFO_UPDATING = 11
INFO_INSTALLING = 12
INFO_REMOVING = 13

# Filters and transaction flags travel as bit fields: bit n stands for enumerator n.
FILTER_NONE = 1 << 1
FILTER_INSTALLED = 1 << 2
FILTER_NOT_INSTALLED = 1 << 3
FILTER_SOURCE = 1 << 20
FILTER_NOT_SOURCE = 1 << 21

FLAG_ONLY_TRUSTED = 1 << 1
FLAG_SIMULATE = 1 << 2
FLAG_ONLY_DOWNLOAD = 1 << 3

UPGRADE_KIND_MINIMAL = 1

PERCENTAGE_UNKNOWN = 101
NETWORK_ONLINE = 2
AUTHORIZE_YES = 1
AUTHORIZE_NO = 2
AUTHORIZE_INTERACTIVE = 3

# Roles that change the system wait for one another: at most one of them runs at a time,
# whatever the transaction flags (a simulated upgrade waits too). Everything else starts at once.
EXCLUSIVE_ROLES = frozenset(ROLE[name] for name in (
    'InstallFiles', 'InstallPackages', 'RemovePackages', 'UpdatePackages', 'RepairSystem',
    'UpgradeSystem'))


def role_text(number):
    """PackageKit's text form of a role: UpgradeSystem -> upgrade-system."""
    return re.sub(r'(?<!^)(?=[A-Z])', '-', ROLES[number]).lower()


def _key(text):
    return re.sub(r'[-_ ]', '', text).lower()


def lookup(table, kind, value):
    """Returns the number of an enumerator given as a number, as its PackageKit-Qt name with or
    without the prefix (RoleInstallPackages, InstallPackages) or as PackageKit's text form
    (install-packages). Raises ValueError for anything else."""
    if isinstance(value, bool):
        raise ValueError(f'{kind}: {value!r} is not a {kind.lower()}')
    if isinstance(value, int):
        if 0 <= value < len(table):
            return value
        raise ValueError(f'{kind}: {value} is out of range')
    if isinstance(value, str):
        wanted = _key(value)
        for name, number in table.items():
            if wanted in (_key(name), _key(kind + name)):
                return number
    raise ValueError(f'{kind}: unknown value {value!r}')
