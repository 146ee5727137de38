//
// Sanitizer defaults for sanitizer builds of the Printer Application.
//
// PAPPL's command-line sub-commands and libcups keep small allocations
// until exit; those are theirs, not ours.
//

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
