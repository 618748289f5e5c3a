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
 */
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARG...]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("kxreaper: PR_SET_CHILD_SUBREAPER");
        return 125;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
