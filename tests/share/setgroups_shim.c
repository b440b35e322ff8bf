// For rpcbind in a test's user namespace. rpcbind drops its supplementary groups before it
// becomes its own user; in a namespace an unprivileged user made, the kernel refuses
// setgroups() for good (/proc/self/setgroups says "deny"), although there is nothing the
// namespace could drop. Only that refusal, for dropping every group, is turned into success;
// everything else reaches the kernel as it is.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>

static int setgroupsDenied(void)
{
    char state[16] = {0};
    FILE *file = fopen("/proc/self/setgroups", "r");
    if (!file)
        return 0;
    const int read = fgets(state, sizeof state, file) != NULL;
    fclose(file);
    return read && strncmp(state, "deny", 4) == 0;
}

int setgroups(size_t size, const gid_t *list)
{
    int (*kernel)(size_t, const gid_t *) = (int (*)(size_t, const gid_t *))dlsym(RTLD_NEXT, "setgroups");
    const int result = kernel ? kernel(size, list) : -1;
    if (result != 0 && errno == EPERM && size == 0 && setgroupsDenied())
        return 0;
    return result;
}
