// liblxi as the tests of `quillon --serve` use it: each target asked COUNT times *IDN?, in
// turn, and each distinct reply printed (hex) with how often it came. Each call may take 10 s:
// eight of these at once on a sanitized server and a busy machine wait long for their turns.
//   lxi_client HOST COUNT TARGET...   TARGET: vxi11:DEVICE (through the portmapper) or raw:PORT
#include <lxi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_TARGETS 8
#define MAX_REPLIES 4

struct Target
{
    const char *name;
    int device;
    char replies[MAX_REPLIES][256];
    int counts[MAX_REPLIES];
    int distinct;
    int failed;
};

static void count(struct Target *target, const char *reply, int length)
{
    char hex[256] = {0};
    for (int i = 0; i < length && i < 120; ++i)
        sprintf(hex + 2 * i, "%02x", (unsigned char)reply[i]);
    for (int i = 0; i < target->distinct; ++i)
        if (strcmp(target->replies[i], hex) == 0) {
            ++target->counts[i];
            return;
        }
    if (target->distinct == MAX_REPLIES)
        return;
    strcpy(target->replies[target->distinct], hex);
    target->counts[target->distinct++] = 1;
}

int main(int argc, char **argv)
{
    if (argc < 4 || argc - 3 > MAX_TARGETS) {
        fprintf(stderr, "usage: lxi_client HOST COUNT TARGET...\n");
        return 2;
    }
    const char *host = argv[1];
    const int rounds = atoi(argv[2]);
    struct Target targets[MAX_TARGETS];
    const int n = argc - 3;
    lxi_init();
    for (int i = 0; i < n; ++i) {
        struct Target *target = &targets[i];
        memset(target, 0, sizeof *target);
        target->name = argv[i + 3];
        if (strncmp(target->name, "vxi11:", 6) == 0)
            target->device = lxi_connect(host, 0, target->name + 6, 10000, VXI11);
        else
            target->device = lxi_connect(host, atoi(target->name + 4), NULL, 10000, RAW);
        if (target->device < 0) {
            fprintf(stderr, "lxi_client: cannot connect to %s\n", target->name);
            return 1;
        }
    }
    char reply[65536];
    for (int round = 0; round < rounds; ++round)
        for (int i = 0; i < n; ++i) {
            struct Target *target = &targets[i];
            if (lxi_send(target->device, "*IDN?\n", 6, 10000) < 0) {
                ++target->failed;
                continue;
            }
            int length = lxi_receive(target->device, reply, sizeof reply, 10000);
            if (length < 0) {
                ++target->failed;
                continue;
            }
            while (length > 0 && (reply[length - 1] == '\n' || reply[length - 1] == '\r'))
                --length;
            count(target, reply, length);
        }
    for (int i = 0; i < n; ++i) {
        for (int r = 0; r < targets[i].distinct; ++r)
            printf("%s %s %d\n", targets[i].name, targets[i].replies[r], targets[i].counts[r]);
        if (targets[i].failed)
            printf("%s failed %d\n", targets[i].name, targets[i].failed);
        lxi_disconnect(targets[i].device);
    }
    return 0;
}
