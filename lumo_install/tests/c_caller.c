/* An installer written in C: the header alone tells it how to call the
 * library it loads by name. */

#include "lumo_install/tests/c_caller.h"

#include <dlfcn.h>
#include <string.h>

#include "lumo_install/lumo_install.h"

typedef __typeof__(load_config_file) load_config_file_fn;
typedef __typeof__(get_config) get_config_fn;
typedef __typeof__(test_port) test_port_fn;
typedef __typeof__(url_encode) url_encode_fn;

#define FIND(handle, name) ((name##_fn*)find_function(handle, #name))

static void* find_function(void* handle, const char* name) {
    return dlsym(handle, name);
}

const char* call_from_c(const char* library_file) {
    void* handle = dlopen(library_file, RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL) {
        return "dlopen failed";
    }
    load_config_file_fn* load = FIND(handle, load_config_file);
    get_config_fn* get = FIND(handle, get_config);
    test_port_fn* port_free = FIND(handle, test_port);
    url_encode_fn* encode = FIND(handle, url_encode);
    if (load == NULL || get == NULL || port_free == NULL || encode == NULL) {
        return "dlsym failed";
    }

    char buffer[32];
    int32_t length = (int32_t)sizeof buffer;
    encode("a b/c", buffer, &length);
    if (length != 9 || strcmp(buffer, "a%20b%2Fc") != 0) {
        return "url_encode";
    }

    if (load(NULL) != NULL) {
        return "load_config_file of no path";
    }
    length = (int32_t)sizeof buffer;
    get(NULL, "config.qen.rtmp.port", "1935", buffer, &length);
    if (length != 4 || strcmp(buffer, "1935") != 0) {
        return "get_config without a configuration";
    }

    bool free_port = port_free(70000, false);
    if (free_port) {
        return "test_port out of range";
    }
    return NULL;
}
