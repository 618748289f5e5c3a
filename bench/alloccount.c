/*
 * Allocation counter, preloaded into a process under measurement:
 *   LD_PRELOAD=libkxalloccount.so KX_ALLOC_COUNT_FILE=/tmp/counts prog
 * Every malloc, calloc, realloc and aligned allocation adds one to a
 * counter that lives in the file (mapped shared), so that another process
 * can read it while the measured one runs, and its children (after fork)
 * count into the same place.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static unsigned long *counter;

__attribute__((constructor)) static void mapCounter(void)
{
    const char *path = getenv("KX_ALLOC_COUNT_FILE");
    if (path == NULL)
        return;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (ftruncate(fd, 4096) == 0) {
        void *p = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            counter = p;
    }
    close(fd);
}

static void count(void)
{
    if (counter != NULL)
        __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}

void *malloc(size_t n)
{
    count();
    return __libc_malloc(n);
}

void *calloc(size_t k, size_t n)
{
    count();
    return __libc_calloc(k, n);
}

void *realloc(void *p, size_t n)
{
    count();
    return __libc_realloc(p, n);
}

void *memalign(size_t align, size_t n)
{
    count();
    return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n)
{
    count();
    return __libc_memalign(align, n);
}

int posix_memalign(void **out, size_t align, size_t n)
{
    count();
    void *p = __libc_memalign(align, n);
    if (p == NULL)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}
