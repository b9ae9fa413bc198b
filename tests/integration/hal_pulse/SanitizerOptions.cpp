// libpulse is not instrumented: it hands packets and memory blocks between its threads through
// lock-free lists whose atomics ThreadSanitizer cannot see, and would be reported as racing.
// Accesses made inside uninstrumented libraries are left out; everything our code does on the
// same memory is still checked. Read only by ThreadSanitizer builds, by this name.
extern "C" const char* __tsan_default_options();   // NOLINT(bugprone-reserved-identifier)
extern "C" const char* __tsan_default_options() {  // NOLINT(bugprone-reserved-identifier)
    return "ignore_noninstrumented_modules=1";
}
