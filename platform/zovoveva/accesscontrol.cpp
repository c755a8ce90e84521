#include "accesscontrol.h"

#include <grp.h>
#include <pwd.h>

#include <cstring>
#include <vector>

bool zovoveva_access_control_hasgroup(uid_t uid, const char *group)
{
    if (!group)
        return false;

    struct passwd pwd;
    struct passwd *user = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &pwd, buffer.data(), buffer.size(), &user) != 0 || !user)
        return false;

    int count = 32;
    std::vector<gid_t> groups(count);
    while (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
        groups.resize(count);
    groups.resize(count);

    for (gid_t gid : groups) {
        struct group grp;
        struct group *entry = nullptr;
        std::vector<char> groupBuffer(16384);
        if (getgrgid_r(gid, &grp, groupBuffer.data(), groupBuffer.size(), &entry) == 0 && entry &&
            std::strcmp(entry->gr_name, group) == 0) {
            return true;
        }
    }
    return false;
}
