/* LD_PRELOAD stand-in for the kernel pieces the command talks to. */
#define _GNU_SOURCE
#include <dlfcn.h>
