#ifndef LUMO_INSTALL_TESTS_C_CALLER_H
#define LUMO_INSTALL_TESTS_C_CALLER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the library from C and calls a few of its functions; null when all
 * went as the header says, otherwise what went wrong. */
const char* call_from_c(const char* library_file);

#ifdef __cplusplus
}
#endif

#endif
