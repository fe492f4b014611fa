/*
 * Makes chosen file operations of a process fail, for tests of what a
 * program does when its disk is full. Loaded with LD_PRELOAD; the file named
 * by FAULT_SHIM_CONTROL says which operations fail, one per line:
 *
 *     rename NAME ERRNO   a rename onto a file named NAME (in any folder)
 *     open NAME ERRNO     an open of a file named NAME that may create it
 *
 * ERRNO is the decimal error number the call fails with. The file is read at
 * every such call, so a test changes the faults while the program runs; with
 * no file, nothing fails.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

/* The error number the call should fail with, or 0. */
static int injected_error(const char* call, const char* path) {
    const char* control = getenv("FAULT_SHIM_CONTROL");
    if (control == NULL || path == NULL) {
        return 0;
    }
    FILE* file = fopen(control, "re");
    if (file == NULL) {
        return 0;
    }
    int error = 0;
    char line[512];
    while (error == 0 && fgets(line, sizeof line, file) != NULL) {
        char line_call[16];
        char name[256];
        int number = 0;
        if (sscanf(line, "%15s %255s %d", line_call, name, &number) == 3 &&
            strcmp(line_call, call) == 0 && strcmp(name, base_name(path)) == 0) {
            error = number;
        }
    }
    fclose(file);
    return error;
}

int rename(const char* from, const char* to) {
    const int error = injected_error("rename", to);
    if (error != 0) {
        errno = error;
        return -1;
    }
    int (*next)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT,
                                                                                  "rename");
    return next(from, to);
}

typedef int (*open_function)(const char*, int, ...);

static int open_through(const char* name, const char* path, int flags, va_list arguments) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        mode = va_arg(arguments, mode_t);
    }
    if ((flags & O_CREAT) != 0) {
        const int error = injected_error("open", path);
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    const open_function next = (open_function)dlsym(RTLD_NEXT, name);
    return next(path, flags, mode);
}

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int result = open_through("open", path, flags, arguments);
    va_end(arguments);
    return result;
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int result = open_through("open64", path, flags, arguments);
    va_end(arguments);
    return result;
}
