#ifndef TORPOR_TESTS_C_INTERFACE_H
#define TORPOR_TESTS_C_INTERFACE_H
#ifdef __cplusplus
extern "C" {
#endif
/* Calls every module from a C translation unit, with files in dir; the
 * number of calls that gave an unexpected result. */
int c_interface_run(const char *dir);
#ifdef __cplusplus
}
#endif
#endif
