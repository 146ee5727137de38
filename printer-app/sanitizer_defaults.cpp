//
// Sanitizer defaults for sanitizer builds of the Printer Application.
//
// PAPPL's command-line sub-commands and libcups keep small allocations
// until exit; those are theirs, not ours.  Neither library has frame
// pointers, so the slow unwinder is needed to attribute them.
//

extern "C" const char *
__asan_default_options(void)
{
  return ("fast_unwind_on_malloc=0");
}

extern "C" const char *
__lsan_default_suppressions(void)
{
  return ("leak:libcups.so\nleak:pappl\nleak:_pappl\n");
}

extern "C" const char *
__lsan_default_options(void)
{
  return ("print_suppressions=0");
}
