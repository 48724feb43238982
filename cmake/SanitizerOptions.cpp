// Built into every test program: the sanitizers' options and the leak
// suppressions, so that they hold however a test is started (through CTest
// or by hand). Options given in the environment still take precedence.

#ifndef QUORVANE_LSAN_SUPPRESSIONS
#define QUORVANE_LSAN_SUPPRESSIONS ""
#endif

extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=1:"
           "detect_stack_use_after_return=1";
}

__attribute__((visibility("default"), used)) const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "suppressions=" QUORVANE_LSAN_SUPPRESSIONS ":print_suppressions=0";
}

}  // extern "C"
