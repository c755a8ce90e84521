#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// True when the user with this UID belongs to the named group, as its primary group or as a
// supplementary member, by the system's user and group database.
bool zovoveva_access_control_hasgroup(uid_t uid, const char *group);

#ifdef __cplusplus
}
#endif
