// Linked into every fuzz target. Qt from Debian keeps no frame pointers, so the sanitizer's fast
// unwinder guesses past its frames, and every allocation made inside Qt got a stack it had not
// seen: the sanitizer keeps each for good, and a long run grew by kilobytes an execution until it
// ran out of memory. The first frames, which can be trusted, still say where a block came from.
extern "C" const char *__asan_default_options()
{
    return "malloc_context_size=3";
}
