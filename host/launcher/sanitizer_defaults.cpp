// Built into the host only under AddressSanitizer: the JVM takes SIGSEGV for
// its own purposes (implicit null checks, safepoint polls), and the leak
// checker would report the JVM's deliberate never-freed memory at exit.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:detect_leaks=0:allow_user_segv_handler=1";
}
