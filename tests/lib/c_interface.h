#ifndef TORPOR_TESTS_C_INTERFACE_H
#define TORPOR_TESTS_C_INTERFACE_H
#ifdef __cplusplus
extern "C" {
#endif
/* Calls the library from a C translation unit; the number of failed calls. */
int c_interface_run(void);
#ifdef __cplusplus
}
#endif
#endif
