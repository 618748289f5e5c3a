/*
 * kxreaper COMMAND [ARG...]: runs COMMAND as a child subreaper.
 *
 * The daemon tests find a detached kxRedIro, wait for it and read its exit
 * status because the test program is the subreaper of what it starts
 * (kxdaemon.cpp). qemu-user (7.2, Debian 12) does not pass that prctl of an
 * emulated program on to the kernel: it answers EINVAL, and the detached
 * daemon would then go to init, out of the test's reach, holding its
 * mailboxes. A cross build therefore starts its test programs through this
 * small program of the build machine, in front of the emulator: it sets the
 * attribute, which survives execve, and becomes the emulator.
 *
 * A test program run by an ordinary user moves itself into a user
 * namespace (kxtest.cpp), which the kernel grants only to a single-threaded
 * process, and qemu-user has a thread of its own from the start. So for an
 * ordinary user this program takes that step before qemu, mapping the user
 * to root as the test program would; a program that the test starts in
 * turn runs as that root and stays in the same namespace.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

static int writeFile(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == (ssize_t)strlen(text) ? 0 : -1;
}

static int becomeRootInUserNamespace(void)
{
    char uidMap[64];
    char gidMap[64];
    snprintf(uidMap, sizeof uidMap, "0 %u 1", (unsigned)geteuid());
    snprintf(gidMap, sizeof gidMap, "0 %u 1", (unsigned)getegid());
    if (unshare(CLONE_NEWUSER) != 0 || writeFile("/proc/self/setgroups", "deny") != 0 ||
        writeFile("/proc/self/uid_map", uidMap) != 0)
        return -1;
    return writeFile("/proc/self/gid_map", gidMap);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARG...]\n", argv[0]);
        return 2;
    }
    if (geteuid() != 0 && becomeRootInUserNamespace() != 0) {
        perror("kxreaper: user namespace");
        return 125;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("kxreaper: PR_SET_CHILD_SUBREAPER");
        return 125;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
