// libpulse is not instrumented: it hands packets and memory blocks between its threads through
// lock-free lists whose atomics ThreadSanitizer cannot see, and would be reported as racing.
// Accesses made inside uninstrumented libraries are left out; everything our code does on the
// same memory is still checked. Read only by ThreadSanitizer builds.
extern "C" const char* __tsan_default_options();
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
