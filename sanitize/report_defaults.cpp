// Sanitizer settings compiled into the instrumented builds.
//
// Reports go to files, written when the fault is found: the relay ends with
// _exit, the end-to-end tests SIGKILL it, and its standard error goes to a pipe
// nobody reads, so a report printed to stderr or deferred to exit would be lost.
// scripts/sanitize.sh fails the run when any file appears in the folder.

#if defined(__SANITIZE_ADDRESS__)
#define QB_ADDRESS_SANITIZER 1
#elif defined(__SANITIZE_THREAD__)
#define QB_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QB_ADDRESS_SANITIZER 1
#elif __has_feature(thread_sanitizer)
#define QB_THREAD_SANITIZER 1
#endif
#endif

extern "C" {

#if defined(QB_ADDRESS_SANITIZER)
const char* __asan_default_options() {
    return "log_path=" QB_SANITIZER_REPORT_DIR "/asan"
           ":halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1"
           ":strict_init_order=1:strict_string_checks=1";
}

// clang's combined runtime shares one report file between the two; whichever
// options are read last set its name, so both name the same one.
const char* __ubsan_default_options() {
    return "log_path=" QB_SANITIZER_REPORT_DIR "/asan:halt_on_error=1:print_stacktrace=1";
}
#endif

#if defined(QB_THREAD_SANITIZER)
// halt_on_error=0: one race must not hide the next, and the relay keeps
// serving so the test's own assertions still run.
const char* __tsan_default_options() {
    return "log_path=" QB_SANITIZER_REPORT_DIR "/tsan"
           ":halt_on_error=0:second_deadlock_stack=1:history_size=4"
           ":suppressions=" QB_TSAN_SUPPRESSIONS;
}
#endif

}  // extern "C"
