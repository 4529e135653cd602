// Counts a program's heap allocations, for the benchmark's allocation budget.
// Loaded with LD_PRELOAD; every malloc, calloc, realloc and aligned
// allocation adds one to a counter that lives in the file named by
// VT_ALLOC_COUNTER (a shared mapping of its first 8 bytes), so the benchmark
// reads the count while the program runs, and every process of a server that
// forks adds to the same count. Without that variable it only passes the
// calls on.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* ptr, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static uint64_t before_mapping;
static uint64_t* counter = &before_mapping;

__attribute__((constructor)) static void map_counter(void) {
  const char* path = getenv("VT_ALLOC_COUNTER");
  if (!path) return;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  void* map =
      ftruncate(fd, 4096) == 0 ? mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  close(fd);
  if (map != MAP_FAILED) counter = map;
}

static void count(void) { __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED); }

void* malloc(size_t size) {
  count();
  return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
  count();
  return __libc_calloc(n, size);
}

void* realloc(void* ptr, size_t size) {
  count();
  return __libc_realloc(ptr, size);
}

void* memalign(size_t alignment, size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
