// Built into every test program: the sanitizers' options and the leak
// suppressions, so that they hold however a test is started (through CTest
// or by hand) and wherever the tree lies. Options given in the environment
// still take precedence. The suppressions are compiled in rather than named
// by a file path: the options' parser splits its values at blanks and colons,
// so a path in them breaks in a folder named "my project".

extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=1:"
           "detect_stack_use_after_return=1";
}

__attribute__((visibility("default"), used)) const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "print_suppressions=0";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    // Allocations made once per process by system libraries and never
    // released; libpacparser leaks a copy of each answer of
    // pacparser_find_proxy.
    return "leak:libfontconfig\n"
           "leak:libdbus\n"
           "leak:libpacparser\n";
}

}  // extern "C"
